// Reading PE32 images: the headers, addresses, imports and the resource tree.
#include "author/pe_image.h"

#include "package/layout.h"

#include <cstring>

namespace author {
namespace {

constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr int kResourceLevels = 3;  // type, name, language
constexpr std::size_t kLongestImportName = 512;

}  // namespace

std::uint32_t GetLe(std::span<const std::uint8_t> bytes, std::uint64_t at, int width, const char* problem) {
    if (at > bytes.size() || bytes.size() - at < std::uint64_t(width)) throw LayoutError(problem);
    std::uint32_t v = 0;
    for (int i = width - 1; i >= 0; i--) v = (v << 8) | bytes[at + i];
    return v;
}

void PutLe(std::vector<std::uint8_t>& bytes, std::uint64_t at, std::uint32_t value, int width) {
    for (int i = 0; i < width; i++) bytes.at(at + i) = std::uint8_t(value >> (8 * i));
}

PeImage ReadPeImage(std::span<const std::uint8_t> f) {
    PeImage img;
    img.bytes = f;
    if (f.size() < kDosHeaderSize || f[0] != 'M' || f[1] != 'Z') throw LayoutError("not an executable: no MZ header");
    img.peHeader = img.U32(kDosNewHeader);
    if (img.U32(img.peHeader) != kPeSignature) throw LayoutError("not a PE image: no PE signature at e_lfanew");
    std::uint32_t sectionCount = img.U16(std::uint64_t(img.peHeader) + kPeNumberOfSections);
    if (img.U16(std::uint64_t(img.peHeader) + kPeSizeOfOptionalHeader) != PE_OPTIONAL_HEADER_SIZE)
        throw LayoutError("optional header is not 224 bytes (PE32 with 16 data directories)");
    img.optionalHeader = img.peHeader + kPeOptionalHeader;
    if (img.U16(std::uint64_t(img.optionalHeader) + kOptionalMagic) != kPe32Magic) throw LayoutError("not a PE32 (32-bit) image");
    std::uint64_t table = std::uint64_t(img.optionalHeader) + PE_OPTIONAL_HEADER_SIZE;
    for (std::uint32_t i = 0; i < sectionCount; i++) {
        std::uint64_t at = table + std::uint64_t(PE_SECTION_HEADER_SIZE) * i;
        if (at + PE_SECTION_HEADER_SIZE > f.size()) throw LayoutError("section table runs past the end of the file");
        PeSection s;
        const char* name = reinterpret_cast<const char*>(&f[at + kSectionName]);
        s.name.assign(name, strnlen(name, 8));
        s.header = at;
        s.virtualSize = img.U32(at + kSectionVirtualSize);
        s.virtualAddress = img.U32(at + kSectionVirtualAddress);
        s.rawSize = img.U32(at + kSectionRawSize);
        s.rawOffset = img.U32(at + kSectionRawOffset);
        s.characteristics = img.U32(at + kSectionCharacteristics);
        if (s.name == ".rsrc" && img.resources < 0) img.resources = int(i);
        img.sections.push_back(s);
    }
    if (img.resources < 0) throw LayoutError("no \".rsrc\" section");
    return img;
}

DataDirectory PeImage::Directory(int directory) const {
    std::uint64_t entry = DirectoryEntry(directory);
    return {U32(entry + kDirectoryAddress), U32(entry + kDirectorySize)};
}

const PeSection* PeImage::SectionHolding(std::uint32_t rva) const {
    for (const PeSection& s : sections)
        if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize) return &s;
    return nullptr;
}

std::uint64_t PeImage::FileOffset(std::uint32_t rva, const char* problem) const {
    const PeSection* s = SectionHolding(rva);
    if (!s) throw LayoutError(problem);
    return std::uint64_t(s->rawOffset) + (rva - s->virtualAddress);
}

namespace {
constexpr const char* kImportOutside = "import table points outside the sections";
constexpr const char* kImportCutShort = "import table runs past the end of the file";
}  // namespace

std::vector<ImportDescriptor> PeImage::ImportDescriptors() const {
    std::vector<ImportDescriptor> descriptors;
    std::uint32_t directory = Directory(kImportDirectory).address;
    if (directory == 0) return descriptors;
    for (std::uint32_t d = directory;; d += kImportDescriptorSize) {
        ImportDescriptor e;
        e.at = FileOffset(d, kImportOutside);
        e.lookup = GetLe(bytes, e.at + kImportLookupTable, 4, kImportCutShort);
        e.timeStamp = GetLe(bytes, e.at + kImportTimeStamp, 4, kImportCutShort);
        e.name = GetLe(bytes, e.at + kImportName, 4, kImportCutShort);
        e.addresses = GetLe(bytes, e.at + kImportAddressTable, 4, kImportCutShort);
        if (e.lookup == 0 && e.name == 0 && e.addresses == 0) break;
        descriptors.push_back(e);
    }
    return descriptors;
}

std::uint32_t PeImage::ImportValue(std::uint32_t rva) const {
    return GetLe(bytes, FileOffset(rva, kImportOutside), 4, kImportCutShort);
}

std::string PeImage::ImportText(std::uint32_t rva) const {
    std::uint64_t at = FileOffset(rva, kImportOutside);
    std::string text;
    while (at < bytes.size() && bytes[at] && text.size() < kLongestImportName) text.push_back(char(bytes[at++]));
    if (at >= bytes.size()) throw LayoutError("import name runs past the end of the file");
    return text;
}

std::optional<CertificateTable> PeImage::Certificate(std::uint64_t fileSize) const {
    DataDirectory d = Directory(kSecurityDirectory);
    CertificateTable table{d.address, d.size};
    if (table.size == 0) return std::nullopt;
    if (std::uint64_t(table.offset) + table.size > fileSize)
        throw LayoutError("the security directory describes a certificate table (" + std::to_string(table.size) +
                          " bytes at " + std::to_string(table.offset) + ") that runs past the end of the file");
    return table;
}

void CheckCertificateEntries(std::span<const std::uint8_t> table) {
    constexpr const char* kCut = "the certificate table ends inside an entry's header";
    for (std::uint64_t at = 0; at < table.size();) {
        std::uint32_t length = GetLe(table, at, 4, kCut), revision = GetLe(table, at + 4, 2, kCut),
                      type = GetLe(table, at + 6, 2, kCut);
        std::string which = "the certificate entry at " + std::to_string(at) + " of the table";
        if (length < kCertificateHeader || length > table.size() - at)
            throw LayoutError(which + " claims " + std::to_string(length) + " bytes, of " +
                              std::to_string(table.size() - at) + " left in the table");
        if (revision != kCertificateRevision || type != kCertificatePkcsSignedData)
            throw LayoutError(which + " has revision " + std::to_string(revision) + " and type " +
                              std::to_string(type) + "; a signature is revision 512 (0x0200), type 2");
        at = (at + length + kCertificateAlignment - 1) / kCertificateAlignment * kCertificateAlignment;
    }
}

std::optional<CertificateTable> FindCertificateTable(std::span<const std::uint8_t> f) {
    return FindCertificateTable(f, f.size());
}

std::optional<CertificateTable> FindCertificateTable(std::span<const std::uint8_t> headers, std::uint64_t fileSize) {
    return ReadPeImage(headers).Certificate(fileSize);
}

ResourceTree::ResourceTree(const PeImage& image) : section_(image.ResourceSection()) {
    if (std::uint64_t(section_.rawOffset) + section_.rawSize > image.bytes.size())
        throw LayoutError("\".rsrc\" raw data runs past the end of the file");
    raw_ = image.bytes.subspan(section_.rawOffset, section_.rawSize);
}

std::uint32_t ResourceTree::Get(std::uint32_t offset, int width) const {
    return GetLe(raw_, offset, width, "resource directory points outside \".rsrc\"");
}

std::uint32_t ResourceTree::Named(std::uint32_t dir) const { return Get(dir + kResourceNamedEntries, 2); }

std::uint32_t ResourceTree::Ids(std::uint32_t dir) const { return Get(dir + kResourceIdEntries, 2); }

std::uint32_t ResourceTree::EntryName(std::uint32_t dir, std::uint32_t i) const {
    return Get(dir + kResourceDirectoryHeader + kResourceEntrySize * i, 4);
}

std::uint32_t ResourceTree::EntryTarget(std::uint32_t dir, std::uint32_t i) const {
    return Get(dir + kResourceDirectoryHeader + kResourceEntrySize * i + 4, 4);
}

ResourceKey ResourceTree::Key(std::uint32_t field) const {
    if (!(field & kResourceHighBit)) return {{}, std::uint16_t(field)};
    std::uint32_t at = field & ~kResourceHighBit;
    std::uint32_t length = Get(at, 2);
    ResourceKey key;
    for (std::uint32_t i = 0; i < length; i++) key.name.push_back(char16_t(Get(at + 2 + 2 * i, 2)));
    if (key.name.empty()) throw LayoutError("a resource name is an empty string");
    return key;
}

ResourceTree::Leaf ResourceTree::Data(std::uint32_t offset) const {
    Leaf leaf;
    leaf.at = std::uint64_t(section_.rawOffset) + offset;
    leaf.rva = Get(offset + kResourceDataRva, 4);
    leaf.size = Get(offset + kResourceDataSize, 4);
    leaf.codePage = Get(offset + kResourceDataCodePage, 4);
    return leaf;
}

void ResourceTree::Walk(std::uint32_t dir, int depth, Leaf& path, std::vector<Leaf>& out,
                        std::size_t& entriesLeft) const {
    std::uint32_t count = Named(dir) + Ids(dir);
    for (std::uint32_t i = 0; i < count; i++) {
        // Each entry of a tree that is not crafted has 8 bytes of the
        // section to itself: directories that share entries cannot multiply.
        if (entriesLeft-- == 0) throw LayoutError("resource tree holds more entries than its section has room for");
        std::uint32_t target = EntryTarget(dir, i);
        ResourceKey key = Key(EntryName(dir, i));
        if (depth == 1) path.type = key;
        if (depth == 2) path.name = key;
        if (depth == 3) path.language = key.id;
        if (target & kResourceHighBit) {
            if (depth == kResourceLevels) throw LayoutError("resource tree deeper than type/name/language");
            Walk(target & ~kResourceHighBit, depth + 1, path, out, entriesLeft);
            continue;
        }
        Leaf leaf = Data(target);
        leaf.type = path.type;
        leaf.name = path.name;
        leaf.language = path.language;
        leaf.depth = depth;
        out.push_back(std::move(leaf));
    }
}

std::vector<ResourceTree::Leaf> ResourceTree::Leaves() const {
    std::vector<Leaf> out;
    Leaf path;
    std::size_t entriesLeft = raw_.size() / kResourceEntrySize;
    Walk(0, 1, path, out, entriesLeft);
    return out;
}

std::span<const std::uint8_t> ResourceTree::Bytes(const Leaf& leaf) const {
    if (leaf.rva < section_.virtualAddress || std::uint64_t(leaf.rva - section_.virtualAddress) + leaf.size > raw_.size())
        throw LayoutError("resource data lies outside the \".rsrc\" raw data");
    return raw_.subspan(leaf.rva - section_.virtualAddress, leaf.size);
}

}  // namespace author
