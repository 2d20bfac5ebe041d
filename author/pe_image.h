// PE32 images as the authoring side reads them: the one reader of the
// headers, the section table, the data directories, the import descriptors
// and the resource tree, by name. Host checks, the post-link passes, the
// resource rebuild and the import audit all read through it, and write
// header fields back through the offsets it names.
//
// The installer's own LocatePackage (package/layout.h) stays apart on
// purpose: it walks first entries by fixed offsets, and the host check
// proves that this reading by names and ids lands on the same byte.
//
// Layout, with the offsets below:
//   DOS header      64 bytes; e_lfanew at 60: file offset of the PE signature
//   PE signature    "PE\0\0", then the 20-byte file header (NumberOfSections,
//                   SizeOfOptionalHeader), then the optional header
//   optional header PE32: 224 bytes, 16 data directories of 8 bytes
//   section table   one 40-byte header per section
#ifndef AUTHOR_PE_IMAGE_H
#define AUTHOR_PE_IMAGE_H

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace author {

// A host property that does not hold, or an image that cannot be read;
// what() names it.
class LayoutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Field offsets within the DOS header.
enum : std::uint32_t {
    kDosLastPageBytes = 2,  // bytes in the DOS program's last 512-byte page
    kDosPages = 4,          // 512-byte pages of the DOS program
    kDosNewHeader = 60,     // e_lfanew
    kDosHeaderSize = 64
};
// Field offsets from the PE signature (the file header follows it).
enum : std::uint32_t {
    kPeNumberOfSections = 6,
    kPeSizeOfOptionalHeader = 20,
    kPeOptionalHeader = 24  // the signature and the file header
};
// Field offsets within the PE32 optional header.
enum : std::uint32_t {
    kOptionalMagic = 0,
    kOptionalSizeOfInitializedData = 8,
    kOptionalBaseOfData = 24,
    kOptionalSectionAlignment = 32,
    kOptionalFileAlignment = 36,
    kOptionalSizeOfImage = 56,
    kOptionalSizeOfHeaders = 60,
    kOptionalCheckSum = 64,
    kOptionalDataDirectories = 96  // 8 bytes each: RVA (a file offset for security), size
};
// Field offsets within a 40-byte section header.
enum : std::uint32_t {
    kSectionName = 0,  // 8 bytes, NUL-filled
    kSectionVirtualSize = 8,
    kSectionVirtualAddress = 12,
    kSectionRawSize = 16,    // SizeOfRawData
    kSectionRawOffset = 20,  // PointerToRawData
    kSectionCharacteristics = 36
};
constexpr std::uint32_t kSectionHoldsCode = 0x20;
// A data directory's entry: address, then size.
enum : std::uint32_t { kDirectoryAddress = 0, kDirectorySize = 4 };
// Data directories. The security directory holds a file offset, not an RVA;
// the debug directory's entries hold file offsets too.
enum : int {
    kImportDirectory = 1,
    kResourceDirectory = 2,
    kSecurityDirectory = 4,
    kDebugDirectory = 6,
    kBoundImportDirectory = 11
};
// An import descriptor: 20 bytes, one per DLL, the list ended by an all-zero
// one. The lookup table (or, when it is 0, the address table) holds 32-bit
// entries: an ordinal (top bit set) or the address of a 2-byte hint and the
// function's name.
enum : std::uint32_t {
    kImportLookupTable = 0,
    kImportTimeStamp = 4,
    kImportName = 12,
    kImportAddressTable = 16,
    kImportDescriptorSize = 20
};
constexpr std::uint32_t kImportByOrdinal = 0x80000000u;
// The resource tree: directories of a 16-byte header (named and id entry
// counts at 12 and 14) and 8-byte entries (name or id, target), ending in
// 16-byte data entries (RVA, size, code page, reserved). The high bit of a
// name field marks a name string (a 16-bit length and UTF-16 units), of a
// target a subdirectory.
enum : std::uint32_t {
    kResourceNamedEntries = 12,
    kResourceIdEntries = 14,
    kResourceDirectoryHeader = 16,
    kResourceEntrySize = 8,
    kResourceDataEntrySize = 16,
    kResourceDataRva = 0,
    kResourceDataSize = 4,
    kResourceDataCodePage = 8
};
constexpr std::uint32_t kResourceHighBit = 0x80000000u;

// Little-endian values of 1 to 4 bytes. Get throws LayoutError(problem)
// when the bytes are not all there; Put requires them (std::out_of_range
// otherwise).
std::uint32_t GetLe(std::span<const std::uint8_t> bytes, std::uint64_t at, int width, const char* problem);
void PutLe(std::vector<std::uint8_t>& bytes, std::uint64_t at, std::uint32_t value, int width = 4);

struct PeSection {
    std::string name;
    std::uint64_t header = 0;  // file offset of its 40-byte section header
    std::uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawOffset = 0;
    std::uint32_t characteristics = 0;
};

struct DataDirectory {
    std::uint32_t address = 0, size = 0;  // an RVA; a file offset for the security directory
};

struct ImportDescriptor {
    std::uint64_t at = 0;  // file offset of the descriptor
    std::uint32_t lookup = 0, timeStamp = 0, name = 0, addresses = 0;
};

// Where a signer put its certificate table: the security directory's file
// offset and size.
struct CertificateTable {
    std::uint32_t offset = 0, size = 0;
};

// The certificate table is a list of WIN_CERTIFICATE entries, each starting
// 8-aligned: length (u32, the 8-byte header included), revision (u16,
// 0x0200), type (u16, 0x0002 for a PKCS#7 signature), then the certificate.
enum : std::uint32_t { kCertificateHeader = 8, kCertificateAlignment = 8 };
constexpr std::uint16_t kCertificateRevision = 0x0200, kCertificatePkcsSignedData = 0x0002;

// Throws LayoutError naming the first entry of the table's bytes that is
// not a well-formed WIN_CERTIFICATE, or that runs past the table.
void CheckCertificateEntries(std::span<const std::uint8_t> table);

// The headers of a PE32 image with a 224-byte optional header and a ".rsrc"
// section, over bytes that stay alive and in place while it is used (a pass
// that moves bytes reads the image again). The bytes may be the file's
// first bytes only: what lies beyond them reads as cut short.
struct PeImage {
    static constexpr const char* kCutShort = "file too short for its headers";

    std::span<const std::uint8_t> bytes;
    std::uint32_t peHeader = 0;        // file offset of the PE signature
    std::uint32_t optionalHeader = 0;  // file offset
    std::vector<PeSection> sections;
    int resources = -1;                // index of ".rsrc"

    std::uint32_t U16(std::uint64_t at) const { return GetLe(bytes, at, 2, kCutShort); }
    std::uint32_t U32(std::uint64_t at) const { return GetLe(bytes, at, 4, kCutShort); }
    std::uint32_t Optional(std::uint32_t field) const { return U32(std::uint64_t(optionalHeader) + field); }
    // File offset of the directory's 8-byte entry in the optional header.
    std::uint64_t DirectoryEntry(int directory) const {
        return std::uint64_t(optionalHeader) + kOptionalDataDirectories + 8ull * directory;
    }
    DataDirectory Directory(int directory) const;
    const PeSection& ResourceSection() const { return sections[std::size_t(resources)]; }

    // The section whose raw data holds the address rva; null when none does.
    const PeSection* SectionHolding(std::uint32_t rva) const;
    // The file offset of an address inside some section's raw data. Throws
    // LayoutError(problem) otherwise.
    std::uint64_t FileOffset(std::uint32_t rva, const char* problem) const;

    // The import descriptors in table order, the all-zero one left out;
    // none when the import directory is empty. Throws LayoutError when the
    // table leaves the sections or the file.
    std::vector<ImportDescriptor> ImportDescriptors() const;
    // A 32-bit value at an address (an import lookup or address entry).
    std::uint32_t ImportValue(std::uint32_t rva) const;
    // The NUL-terminated text at an address (a DLL or function name).
    std::string ImportText(std::uint32_t rva) const;

    // The certificate table the security directory describes; nothing when
    // the directory is empty (the file is not signed). Throws LayoutError
    // when the table does not lie within a file of fileSize bytes.
    std::optional<CertificateTable> Certificate(std::uint64_t fileSize) const;
};

// Reads the headers. Throws LayoutError naming what is missing or cut short.
PeImage ReadPeImage(std::span<const std::uint8_t> image);

// The certificate table of an image, or of a file whose first bytes are
// headers and whose size is fileSize (see PeImage::Certificate).
std::optional<CertificateTable> FindCertificateTable(std::span<const std::uint8_t> headers, std::uint64_t fileSize);
std::optional<CertificateTable> FindCertificateTable(std::span<const std::uint8_t> image);

// A type or name: a string, or an id when the string is empty.
struct ResourceKey {
    std::u16string name;
    std::uint16_t id = 0;

    bool Named() const { return !name.empty(); }
    bool operator==(const ResourceKey&) const = default;
};

// The resource tree of an image's ".rsrc" section, read by names and ids.
// Every read stays inside the section's raw data.
class ResourceTree {
public:
    // Throws LayoutError when the section's raw data runs past the file.
    explicit ResourceTree(const PeImage& image);

    // A directory (by its offset in the section) and its entries.
    std::uint32_t Named(std::uint32_t directory) const;
    std::uint32_t Ids(std::uint32_t directory) const;
    std::uint32_t EntryName(std::uint32_t directory, std::uint32_t i) const;    // raw name field
    std::uint32_t EntryTarget(std::uint32_t directory, std::uint32_t i) const;  // raw target field
    // A name field as a key; throws for an empty name string.
    ResourceKey Key(std::uint32_t nameField) const;

    // One data entry, reached through type, name and language.
    struct Leaf {
        ResourceKey type, name;
        std::uint16_t language = 0;
        int depth = 0;         // directories passed through: 3 in a well-formed tree
        std::uint64_t at = 0;  // file offset of the 16-byte data entry
        std::uint32_t rva = 0, size = 0, codePage = 0;
    };
    // The data entry at an offset in the section (its keys left empty).
    Leaf Data(std::uint32_t offset) const;
    // Every data entry in directory order. Throws LayoutError for a tree
    // deeper than type, name and language, or with more entries than its
    // section could hold side by side (directories that share entries).
    std::vector<Leaf> Leaves() const;
    // A data entry's bytes; throws LayoutError unless they lie within the
    // section's raw data.
    std::span<const std::uint8_t> Bytes(const Leaf& leaf) const;

    const PeSection& Section() const { return section_; }

private:
    std::uint32_t Get(std::uint32_t offset, int width) const;
    void Walk(std::uint32_t directory, int depth, Leaf& path, std::vector<Leaf>& out, std::size_t& entriesLeft) const;

    std::span<const std::uint8_t> raw_;  // the section's raw data
    PeSection section_;
};

}  // namespace author

#endif
