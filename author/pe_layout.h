// Host executables: the PE properties an executable must have to carry a
// package, checked independently of the installer's own package walk, and
// the post-link step that gives a freshly linked executable those properties.
#ifndef AUTHOR_PE_LAYOUT_H
#define AUTHOR_PE_LAYOUT_H

#include <cstdint>
#include <optional>
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

// Field offsets within the PE32 optional header.
enum : std::uint32_t {
    kOptionalSizeOfInitializedData = 8,
    kOptionalSectionAlignment = 32,
    kOptionalFileAlignment = 36,
    kOptionalSizeOfImage = 56,
    kOptionalCheckSum = 64,
    kOptionalDataDirectories = 96  // 8 bytes each: RVA (a file offset for security), size
};
// Data directories. The security directory holds a file offset, not an RVA;
// the debug directory's entries hold file offsets too.
enum : int {
    kImportDirectory = 1,
    kResourceDirectory = 2,
    kSecurityDirectory = 4,
    kDebugDirectory = 6,
    kBoundImportDirectory = 11
};

struct PeSection {
    std::string name;
    std::uint64_t header = 0;  // file offset of its 40-byte section header
    std::uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawOffset = 0;
    std::uint32_t characteristics = 0;
};

struct PeImage {
    std::uint32_t optionalHeader = 0;  // file offset
    std::vector<PeSection> sections;
    int resources = -1;                // index of ".rsrc"
};

// The headers of a PE32 image with a 224-byte optional header and a ".rsrc"
// section. Throws LayoutError naming what is missing or cut short.
PeImage ReadPeImage(std::span<const std::uint8_t> image);

// The section whose raw data holds the address rva; null when none does.
const PeSection* SectionHolding(const PeImage& image, std::uint32_t rva);

// Where a signer put its certificate table: the security directory's file
// offset and size.
struct CertificateTable {
    std::uint32_t offset = 0, size = 0;
};

// The certificate table the security directory describes; nothing when the
// directory is empty (the file is not signed). Throws LayoutError when the
// table does not lie within the file. The headers may be the file's first
// bytes only, with the whole file's size.
std::optional<CertificateTable> FindCertificateTable(std::span<const std::uint8_t> headers, std::uint64_t fileSize);
std::optional<CertificateTable> FindCertificateTable(std::span<const std::uint8_t> image);

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
