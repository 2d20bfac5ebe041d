// The version resource (type 16, id 1) that Explorer shows as a file's
// details.
//
// It is a tree of blocks, each: total length (u16), value length (u16: bytes
// for binary values, UTF-16 units with the NUL for text), type (1 text, 0
// binary), a NUL-terminated UTF-16 key, padding to 4 bytes, the value,
// padding to 4 bytes, the child blocks (each starting 4-aligned):
//
//   "VS_VERSION_INFO"  VS_FIXEDFILEINFO (52 bytes: signature 0xFEEF04BD,
//                      structure version 1.0, file and product version as
//                      two u32 each (X<<16|Y, Z<<16|W), flags, OS, type)
//     "StringFileInfo"
//       "<language><code page>" in 8 hex digits, e.g. "040904E4"
//         "CompanyName", "FileDescription", ... text values
//     "VarFileInfo"
//       "Translation"  u16 language, u16 code page
#ifndef AUTHOR_VERSION_RESOURCE_H
#define AUTHOR_VERSION_RESOURCE_H

#include "author/resources.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace author {

using FileVersion = std::array<std::uint16_t, 4>;

struct VersionInfo {
    FileVersion version{1, 0, 0, 0};  // file and product version alike
    std::u16string fileDescription, productName;
    std::u16string companyName;       // left out when empty
    std::uint16_t language = 1033;
    std::uint16_t codePage = 1252;
};

// "X.Y.Z.W", four decimal numbers of 0 to 65535 (leading zeros allowed).
// Throws std::invalid_argument saying what is wrong.
FileVersion ParseFileVersion(std::string_view text);

// "X.Y.Z.W" as the string values show it.
std::string FileVersionText(const FileVersion& version);

// Strings the resource cannot hold: every block's length is 16-bit, so a
// block, its children included, holds at most 65,535 bytes. what() names
// the block and the bytes it would need.
class VersionTooLong : public std::length_error {
public:
    using std::length_error::length_error;
};
constexpr std::size_t kLongestVersionBlock = 0xFFFF;

// The resource's bytes. Throws VersionTooLong.
std::vector<std::uint8_t> VersionResourceData(const VersionInfo& info);

// Why data is no well-formed version resource: a block shorter than its
// header or claiming more bytes than its parent holds, a key without its
// NUL, a value running past its block, blocks nested deeper than the four
// levels (root, StringFileInfo, table, string), or a root that is not
// "VS_VERSION_INFO" with the 52-byte fixed information and its signature.
// "" when sound.
std::string VersionResourceProblem(std::span<const std::uint8_t> data);

// Replaces every version resource with this one, id 1 in info.language.
void ReplaceVersion(std::vector<Resource>& resources, const VersionInfo& info);

}  // namespace author

#endif
