// Making an installer: the saver, its data file and further files, each
// compressed or stored, written as a package into the installer executable.
#ifndef AUTHOR_SAVERPACK_PACK_H
#define AUTHOR_SAVERPACK_PACK_H

#include "author/pe_layout.h"
#include "author/version_resource.h"
#include "compress/compress.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace saverpack {

enum class Storage {
    Smaller,     // compressed, unless the stream is not smaller than the file
    Stored,      // every entry stored raw
    Compressed   // every entry compressed
};

struct PackRequest {
    std::filesystem::path saver;                 // entry 0
    std::optional<std::filesystem::path> data;   // entry 1
    std::vector<std::filesystem::path> files;    // entries 2 and on
    std::string title;                           // UTF-8
    unsigned firstFileNumber = 0;
    unsigned codePage = 1252;
    codec::Level level = codec::Level::Default;
    Storage storage = Storage::Smaller;
    std::filesystem::path stub;                  // the installer executable
    std::optional<std::filesystem::path> icon;   // .ico replacing icon group 101
    author::FileVersion fileVersion{1, 0, 0, 0};
    std::string publisher;                       // UTF-8; CompanyName, left out when empty
    std::string installerName = "installer.exe"; // the output's file name, which names entries 0 and 1
};

// Progress over all entries to compress: the entry being compressed, and
// the input bytes done and in all.
using PackProgress = std::function<void(std::size_t entry, std::uint64_t done, std::uint64_t total)>;

// The finished installer, in memory. Deterministic: the same request gives
// the same bytes. Throws Refusal (files.h) for anything the installer could
// not carry, naming the input and the reason.
std::vector<std::uint8_t> BuildInstaller(const PackRequest& request, const PackProgress& progress = {});

// The installer executable as the request brands it: its icon group 101
// replaced by the request's icon, and a version resource naming the title,
// the file version and the publisher. Throws Refusal for a signed stub
// (signing comes last), a stub that is no host (checked here, once) or an
// icon file that is not one.
author::CheckedHost BrandedStub(std::vector<std::uint8_t> stub, const PackRequest& request);

// The title as the package carries it: at most 32 bytes of the code page.
std::string TitleField(const std::string& utf8, unsigned codePage);

// The record extension of a further file: its name from the last '.' on,
// in the code page, at most 4 bytes, NUL-filled; empty when it has no '.'.
std::array<char, 4> FurtherFileExtension(const std::filesystem::path& file, unsigned codePage);

}  // namespace saverpack

#endif
