// Host executables: the PE properties an executable must have to carry a
// package, checked independently of the installer's own package walk, and
// the post-link step that gives a freshly linked executable those properties.
#ifndef AUTHOR_PE_LAYOUT_H
#define AUTHOR_PE_LAYOUT_H

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace author {

// A host property that does not hold; what() names it.
class LayoutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct HostLayout {
    std::uint32_t packageStart = 0;  // file offset of the "LASTRES" data
    std::uint32_t sectionEnd = 0;    // file offset where ".rsrc" raw data ends
};

enum class Trailing {
    Forbidden,  // a bare host: nothing may follow the ".rsrc" raw data
    Allowed     // an installer: its package runs on past the section
};

// Verifies, in this order: a PE32 image with a 224-byte optional header;
// ".rsrc" present and the last section, nothing behind it (unless allowed);
// "LASTRES" the only named type and the first root entry; exactly one id
// 1000 under it and one language 1033 under that; its data declared 4 bytes
// long and the last resource data of the section; image checksum 0.
// Throws LayoutError naming the first property that fails.
HostLayout CheckHost(std::span<const std::uint8_t> image, Trailing trailing = Trailing::Forbidden);

// Post-link step for a freshly linked host: moves the "LASTRES" data behind
// every other resource's data, clears the image checksum, sets BaseOfData
// to the first section that is not code, and compacts the headers. The
// linker writes resource data in directory order, which puts "LASTRES"
// first.
void FixHost(std::vector<std::uint8_t>& image);

// Gives the image a shorter DOS stub when that lets its headers fit in one
// file-alignment block fewer, and moves every section's raw data down by
// that block (addresses in memory are unchanged). Leaves images alone that
// would gain nothing, that carry a certificate table or debug data, or
// whose header blocks hold anything behind the section table.
void CompactHeaders(std::vector<std::uint8_t>& image);

std::vector<std::uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace author

#endif
