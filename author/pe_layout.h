// Host executables: the PE properties an executable must have to carry a
// package, checked independently of the installer's own package walk, and
// the post-link step that gives a freshly linked executable those properties.
#ifndef AUTHOR_PE_LAYOUT_H
#define AUTHOR_PE_LAYOUT_H

#include "author/pe_image.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace author {

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
// long and the last resource data of the section; image checksum 0, which is
// how the tool writes installers (the installer never reads it): with
// Trailing::Allowed a signed file may carry the checksum its signer set.
// A file that ends inside its ".rsrc" section is reported as cut short.
// Throws LayoutError naming the first property that fails.
HostLayout CheckHost(std::span<const std::uint8_t> image, Trailing trailing = Trailing::Forbidden);

// A bare host (Trailing::Forbidden) that passed CheckHost, with what the
// check found: the one check a host needs before its resources are rebuilt
// or a package is written into it.
class CheckedHost {
public:
    // Throws LayoutError as CheckHost does.
    explicit CheckedHost(std::vector<std::uint8_t> image) : layout_(CheckHost(image)), image_(std::move(image)) {}

    std::span<const std::uint8_t> Image() const { return image_; }
    const HostLayout& Layout() const { return layout_; }

private:
    HostLayout layout_;
    std::vector<std::uint8_t> image_;
};

// Post-link step for a freshly linked host: moves the "LASTRES" data behind
// every other resource's data, clears the image checksum, sets BaseOfData
// to the first section that is not code, drops the import lookup tables
// and compacts the headers. The linker writes resource data in directory
// order, which puts "LASTRES" first.
// The two passes that only make the file smaller can be left out (to
// measure what they save).
struct FixPasses {
    bool dropImportLookupTables = true;
    bool compactHeaders = true;
};
void FixHost(std::vector<std::uint8_t>& image, FixPasses passes = {});

// Leaves out the import lookup tables when they are the last bytes of their
// section and that shortens its raw data by at least one file-alignment
// block: every descriptor then sends the loader to its address table. Images
// with bound imports, a certificate table or debug data are left as they are.
void DropImportNameTable(std::vector<std::uint8_t>& image);

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
