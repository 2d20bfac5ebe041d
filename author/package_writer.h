// Writing a package into a host executable.
//
// The package replaces everything from the "LASTRES" data on: the header
// (title NUL-filled, firstFileNumber), one record per entry with contiguous
// absolute data offsets, the all-zero terminator, then each entry's data in
// table order up to the end of the file (layout in package/layout.h); or,
// when that would end the file inside the ".rsrc" section, zero bytes up to
// the section's end.
#ifndef AUTHOR_PACKAGE_WRITER_H
#define AUTHOR_PACKAGE_WRITER_H

#include "author/pe_layout.h"

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
    std::array<char, 4> extension{};    // NUL-filled when shorter
};

struct PackageContents {
    std::string title;                  // ANSI bytes, at most TITLE_SIZE
    std::uint16_t firstFileNumber = 0;
    std::vector<PackageEntry> entries;
};

// Returns the installer: the host with the package written at its
// "LASTRES" data. Throws PackageError for contents the installer could not
// carry: a title longer than its field, an empty entry, a size or data
// reaching the package limit.
std::vector<std::uint8_t> WritePackage(const CheckedHost& host, const PackageContents& contents);
// The same for a host not checked yet: throws LayoutError for a bad one.
std::vector<std::uint8_t> WritePackage(std::span<const std::uint8_t> host, const PackageContents& contents);

}  // namespace author

#endif
