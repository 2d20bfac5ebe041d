// Writing a package into a host executable.
//
// The package replaces everything from the "LASTRES" data on: the 34-byte
// header (title NUL-filled to 32 bytes, firstFileNumber), one 16-byte record
// per entry with contiguous absolute data offsets, the all-zero terminator,
// then each entry's data in table order up to the end of the file; or, when
// that would end the file inside the ".rsrc" section, zero bytes up to the
// section's end.
#ifndef AUTHOR_PACKAGE_WRITER_H
#define AUTHOR_PACKAGE_WRITER_H

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace author {

class PackageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PackageEntry {
    std::vector<std::uint8_t> data;     // the stored bytes (a stream when compressed)
    std::uint32_t expandedSize = 0;     // 0: stored raw
    std::array<char, 4> extension{};    // NUL-filled when shorter than 4
};

struct PackageContents {
    std::string title;                  // ANSI bytes, at most 32
    std::uint16_t firstFileNumber = 0;
    std::vector<PackageEntry> entries;
};

// Returns the installer: host (checked for every host property first) with
// the package written at its "LASTRES" data. Throws LayoutError for a bad
// host and PackageError for contents the installer could not carry: a title
// over 32 bytes, an empty entry, a size of 2^31 or more, data reaching 2^31.
std::vector<std::uint8_t> WritePackage(std::span<const std::uint8_t> host, const PackageContents& contents);

}  // namespace author

#endif
