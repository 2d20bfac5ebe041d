// Host executable layout: an independent reading of the PE headers and the
// resource tree (by names and ids, unlike the installer's first-entry walk).
#include "author/pe_layout.h"

#include "package/layout.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace author {
namespace {

constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint32_t kBaseOfDataOffset = 24;  // within the optional header
constexpr std::uint32_t kSizeOfHeadersOffset = 60;
constexpr std::uint32_t kDosHeaderSize = 64;
constexpr std::uint32_t kSectionHoldsCode = 0x20;
constexpr std::uint32_t kSubdirectoryBit = 0x80000000u;
constexpr int kMaxDepth = 3;

std::uint32_t U16(std::span<const std::uint8_t> f, std::uint64_t at) {
    if (at + 2 > f.size()) throw LayoutError("file too short for its headers");
    return f[at] | (f[at + 1] << 8);
}

std::uint32_t U32(std::span<const std::uint8_t> f, std::uint64_t at) {
    if (at + 4 > f.size()) throw LayoutError("file too short for its headers");
    return f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) | (std::uint32_t(f[at + 3]) << 24);
}

void PutU32(std::vector<std::uint8_t>& f, std::uint64_t at, std::uint32_t v) {
    for (int i = 0; i < 4; i++) f.at(at + i) = std::uint8_t(v >> (8 * i));
}

void PutU16(std::vector<std::uint8_t>& f, std::uint64_t at, std::uint32_t v) {
    f.at(at) = std::uint8_t(v);
    f.at(at + 1) = std::uint8_t(v >> 8);
}

// The program MS-DOS runs instead of the image: print the text, exit with 1.
// Loaded at the paragraph after the 64-byte header, so the text's offset is
// counted from the stub's first byte.
constexpr std::uint8_t kDosStubCode[] = {
    0x0E,              // push cs
    0x1F,              // pop ds
    0xBA, 0x0E, 0x00,  // mov dx, 14 (the text)
    0xB4, 0x09,        // mov ah, 9 (print up to '$')
    0xCD, 0x21,        // int 21h
    0xB8, 0x01, 0x4C,  // mov ax, 4C01h (exit 1)
    0xCD, 0x21,        // int 21h
};
constexpr char kDosStubText[] = "Needs Windows.\r\n$";

using Section = PeSection;

struct DataEntry {
    std::uint64_t at;  // file offset of the 16-byte data entry
    std::uint32_t rva, size;
};

}  // namespace

PeImage ReadPeImage(std::span<const std::uint8_t> f) {
    PeImage img;
    if (f.size() < 64 || f[0] != 'M' || f[1] != 'Z') throw LayoutError("not an executable: no MZ header");
    std::uint32_t pe = U32(f, 60);
    if (U32(f, pe) != 0x00004550) throw LayoutError("not a PE image: no PE signature at e_lfanew");
    std::uint32_t sectionCount = U16(f, pe + 6);
    if (U16(f, pe + 20) != PE_OPTIONAL_HEADER_SIZE)
        throw LayoutError("optional header is not 224 bytes (PE32 with 16 data directories)");
    img.optionalHeader = pe + 24;
    if (U16(f, img.optionalHeader) != kPe32Magic) throw LayoutError("not a PE32 (32-bit) image");
    std::uint64_t table = std::uint64_t(img.optionalHeader) + PE_OPTIONAL_HEADER_SIZE;
    for (std::uint32_t i = 0; i < sectionCount; i++) {
        std::uint64_t at = table + std::uint64_t(PE_SECTION_HEADER_SIZE) * i;
        if (at + PE_SECTION_HEADER_SIZE > f.size()) throw LayoutError("section table runs past the end of the file");
        Section s;
        const char* name = reinterpret_cast<const char*>(&f[at]);
        s.name.assign(name, strnlen(name, 8));
        s.header = at;
        s.virtualSize = U32(f, at + 8);
        s.virtualAddress = U32(f, at + 12);
        s.rawSize = U32(f, at + 16);
        s.rawOffset = U32(f, at + 20);
        s.characteristics = U32(f, at + 36);
        if (s.name == ".rsrc" && img.resources < 0) img.resources = int(i);
        img.sections.push_back(s);
    }
    if (img.resources < 0) throw LayoutError("no \".rsrc\" section");
    return img;
}

const PeSection* SectionHolding(const PeImage& image, std::uint32_t rva) {
    for (const PeSection& s : image.sections)
        if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize) return &s;
    return nullptr;
}

std::optional<CertificateTable> FindCertificateTable(std::span<const std::uint8_t> f) {
    return FindCertificateTable(f, f.size());
}

std::optional<CertificateTable> FindCertificateTable(std::span<const std::uint8_t> f, std::uint64_t fileSize) {
    PeImage img = ReadPeImage(f);
    std::uint64_t entry = img.optionalHeader + kOptionalDataDirectories + 8ull * kSecurityDirectory;
    CertificateTable table{U32(f, entry), U32(f, entry + 4)};
    if (table.size == 0) return std::nullopt;
    if (std::uint64_t(table.offset) + table.size > fileSize)
        throw LayoutError("the security directory describes a certificate table (" + std::to_string(table.size) +
                          " bytes at " + std::to_string(table.offset) + ") that runs past the end of the file");
    return table;
}

namespace {

class ResourceTree {
public:
    ResourceTree(std::span<const std::uint8_t> f, const Section& s) : f_(f), s_(s) {
        if (std::uint64_t(s.rawOffset) + s.rawSize > f.size())
            throw LayoutError("\".rsrc\" raw data runs past the end of the file");
    }

    std::uint32_t Named(std::uint32_t dir) const { return U16(f_, At(dir) + 12); }
    std::uint32_t Ids(std::uint32_t dir) const { return U16(f_, At(dir) + 14); }
    std::uint32_t EntryName(std::uint32_t dir, std::uint32_t i) const { return U32(f_, At(dir) + 16 + 8 * i); }
    std::uint32_t EntryTarget(std::uint32_t dir, std::uint32_t i) const { return U32(f_, At(dir) + 20 + 8 * i); }

    std::u16string NameString(std::uint32_t nameField) const {
        std::uint32_t at = nameField & ~kSubdirectoryBit;
        std::uint32_t length = U16(f_, At(at));
        std::u16string name;
        for (std::uint32_t i = 0; i < length; i++) name.push_back(char16_t(U16(f_, At(at) + 2 + 2 * i)));
        return name;
    }

    DataEntry Data(std::uint32_t offset) const {
        return {At(offset), U32(f_, At(offset)), U32(f_, At(offset) + 4)};
    }

    void CollectData(std::uint32_t dir, int depth, std::vector<DataEntry>& out) const {
        if (depth > kMaxDepth) throw LayoutError("resource tree deeper than type/name/language");
        std::uint32_t count = Named(dir) + Ids(dir);
        for (std::uint32_t i = 0; i < count; i++) {
            std::uint32_t target = EntryTarget(dir, i);
            if (target & kSubdirectoryBit)
                CollectData(target & ~kSubdirectoryBit, depth + 1, out);
            else
                out.push_back(Data(target));
        }
    }

private:
    std::uint64_t At(std::uint32_t sectionOffset) const {
        if (sectionOffset >= s_.rawSize) throw LayoutError("resource directory points outside \".rsrc\"");
        return std::uint64_t(s_.rawOffset) + sectionOffset;
    }
    std::span<const std::uint8_t> f_;
    const Section& s_;
};

bool IsPackageType(const std::u16string& name) {
    std::string_view type = PACKAGE_RESOURCE_TYPE;
    return std::equal(name.begin(), name.end(), type.begin(), type.end());
}

// Finds the package resource's data entry, checking the tree's shape on the way.
DataEntry FindPackageData(const ResourceTree& tree) {
    if (tree.Named(0) != 1) throw LayoutError("root of the resource tree must have exactly one named type");
    std::uint32_t typeName = tree.EntryName(0, 0);
    if (!(typeName & kSubdirectoryBit) || !IsPackageType(tree.NameString(typeName)))
        throw LayoutError("first root resource entry is not the type \"LASTRES\"");
    std::uint32_t type = tree.EntryTarget(0, 0);
    if (!(type & kSubdirectoryBit)) throw LayoutError("\"LASTRES\" is not a directory");
    type &= ~kSubdirectoryBit;
    if (tree.Named(type) != 0 || tree.Ids(type) != 1 || tree.EntryName(type, 0) != PACKAGE_RESOURCE_ID)
        throw LayoutError("\"LASTRES\" must hold exactly one resource, id 1000");
    std::uint32_t name = tree.EntryTarget(type, 0);
    if (!(name & kSubdirectoryBit)) throw LayoutError("\"LASTRES\" 1000 is not a directory");
    name &= ~kSubdirectoryBit;
    if (tree.Named(name) != 0 || tree.Ids(name) != 1 || tree.EntryName(name, 0) != PACKAGE_LANGUAGE)
        throw LayoutError("\"LASTRES\" 1000 must have exactly one language, 1033");
    std::uint32_t data = tree.EntryTarget(name, 0);
    if (data & kSubdirectoryBit) throw LayoutError("\"LASTRES\" 1000 language 1033 is not a data entry");
    return tree.Data(data);
}

}  // namespace

HostLayout CheckHost(std::span<const std::uint8_t> f, Trailing trailing) {
    PeImage img = ReadPeImage(f);
    const Section& rsrc = img.sections[img.resources];
    std::uint64_t rsrcEnd = std::uint64_t(rsrc.rawOffset) + rsrc.rawSize;
    for (const Section& s : img.sections) {
        if (&s != &rsrc && s.rawSize != 0 && std::uint64_t(s.rawOffset) + s.rawSize > rsrc.rawOffset)
            throw LayoutError("\".rsrc\" is not the last section: \"" + s.name + "\" has raw data behind it");
    }
    if (f.size() < rsrcEnd)
        throw LayoutError("the file is cut short: it ends " + std::to_string(rsrcEnd - f.size()) +
                          " bytes before the end of its \".rsrc\" section");
    if (trailing == Trailing::Forbidden && f.size() != rsrcEnd)
        throw LayoutError("bytes follow the \".rsrc\" section (relocations, symbols or other data)");

    ResourceTree tree(f, rsrc);
    DataEntry package = FindPackageData(tree);
    if (package.size != PACKAGE_DECLARED_SIZE) throw LayoutError("\"LASTRES\" data must be declared 4 bytes long");
    if (package.rva < rsrc.virtualAddress || package.rva - rsrc.virtualAddress + std::uint64_t(PACKAGE_DECLARED_SIZE) > rsrc.rawSize)
        throw LayoutError("\"LASTRES\" data lies outside the \".rsrc\" raw data");

    std::vector<DataEntry> all;
    tree.CollectData(0, 1, all);
    for (const DataEntry& d : all) {
        if (d.at != package.at && std::uint64_t(d.rva) + d.size > package.rva)
            throw LayoutError("\"LASTRES\" data is not the last resource data in the section");
    }
    if (U32(f, img.optionalHeader + kOptionalCheckSum) != 0 &&
        (trailing == Trailing::Forbidden || !FindCertificateTable(f)))
        throw LayoutError("image checksum is not 0: installers are written with checksum 0 (the installer never "
                          "reads it), and only signing, which comes last, sets one");

    return {package.rva - rsrc.virtualAddress + rsrc.rawOffset, std::uint32_t(rsrcEnd)};
}

void FixHost(std::vector<std::uint8_t>& f, FixPasses passes) {
    PeImage img = ReadPeImage(f);
    const Section& rsrc = img.sections[img.resources];
    ResourceTree tree(f, rsrc);
    DataEntry package = FindPackageData(tree);
    std::vector<DataEntry> all;
    tree.CollectData(0, 1, all);
    std::sort(all.begin(), all.end(), [](const DataEntry& a, const DataEntry& b) { return a.rva < b.rva; });

    // Lay the data out again in the same region, 8-byte aligned, with the
    // package marker last.
    std::uint32_t start = all.front().rva;
    std::uint32_t limit = rsrc.virtualAddress + rsrc.rawSize;
    std::vector<DataEntry> order;
    for (const DataEntry& d : all)
        if (d.at != package.at) order.push_back(d);
    order.push_back(package);

    std::vector<std::uint8_t> region;
    std::vector<std::uint32_t> newRva;
    for (const DataEntry& d : order) {
        while (region.size() % 8) region.push_back(0);
        newRva.push_back(start + std::uint32_t(region.size()));
        std::uint64_t from = std::uint64_t(d.rva) - rsrc.virtualAddress + rsrc.rawOffset;
        if (d.rva < rsrc.virtualAddress || from + d.size > f.size())
            throw LayoutError("resource data lies outside the \".rsrc\" raw data");
        region.insert(region.end(), f.begin() + from, f.begin() + from + d.size);
    }
    if (start + region.size() > limit) throw LayoutError("resource data does not fit its section after reordering");
    std::uint64_t regionAt = std::uint64_t(start) - rsrc.virtualAddress + rsrc.rawOffset;
    std::copy(region.begin(), region.end(), f.begin() + regionAt);
    for (std::size_t i = 0; i < order.size(); i++) PutU32(f, order[i].at, newRva[i]);
    PutU32(f, img.optionalHeader + kOptionalCheckSum, 0);
    // GNU ld leaves BaseOfData 0 without a section called ".data"; loaders
    // of today ignore it, but the old ones are given what their own
    // linkers wrote: the address of the first section that is not code.
    for (const Section& s : img.sections) {
        if (!(s.characteristics & kSectionHoldsCode)) {
            PutU32(f, img.optionalHeader + kBaseOfDataOffset, s.virtualAddress);
            break;
        }
    }
    if (passes.dropImportLookupTables) DropImportNameTable(f);
    if (passes.compactHeaders) CompactHeaders(f);
}

namespace {

// Directories that hold file offsets: raw data must not move under them.
bool HasFileOffsetDirectories(std::span<const std::uint8_t> f, std::uint32_t optionalHeader) {
    for (std::uint32_t d : {kSecurityDirectory, kDebugDirectory})
        if (U32(f, optionalHeader + kOptionalDataDirectories + 8 * d + 4) != 0) return true;
    return false;
}

}  // namespace

// Each imported DLL has two lists of the same entries (name or ordinal
// references): the lookup table, which only bound imports need, and the
// address table, which the loader reads and then overwrites. A descriptor
// whose lookup table is 0 sends every loader to the address table (as
// images of other linkers have always done, from Windows 95 and NT 3.1
// on). The linker script puts the lookup tables last in their section, so
// leaving them out shortens its raw data, and the file, by whole blocks;
// in memory the space stays, zero-filled, unused.
void DropImportNameTable(std::vector<std::uint8_t>& f) {
    PeImage img = ReadPeImage(f);
    const std::uint32_t opt = img.optionalHeader;
    const std::uint32_t alignment = U32(f, opt + kOptionalFileAlignment);
    const std::uint32_t directory = U32(f, opt + kOptionalDataDirectories + 8 * kImportDirectory);
    if (directory == 0 || alignment == 0 || (alignment & (alignment - 1)) || HasFileOffsetDirectories(f, opt) ||
        U32(f, opt + kOptionalDataDirectories + 8 * kBoundImportDirectory + 4) != 0)
        return;
    const Section* home = SectionHolding(img, directory);
    if (!home) return;
    auto at = [&](std::uint32_t rva) -> std::uint64_t {
        const Section* s = SectionHolding(img, rva);
        if (!s) throw LayoutError("import table points outside the sections");
        return std::uint64_t(s->rawOffset) + (rva - s->virtualAddress);
    };

    // Every descriptor unbound, its lookup table a copy of its address
    // table, and the lookup tables together the section's last bytes.
    std::vector<std::uint64_t> descriptors;
    std::uint32_t tablesStart = UINT32_MAX, tablesEnd = 0, tablesSize = 0;
    for (std::uint32_t d = directory;; d += 20) {
        std::uint64_t entry = at(d);
        std::uint32_t lookup = U32(f, entry), stamp = U32(f, entry + 4), name = U32(f, entry + 12),
                      addresses = U32(f, entry + 16);
        if (lookup == 0 && name == 0 && addresses == 0) break;
        if (lookup == 0 || stamp != 0 || SectionHolding(img, lookup) != home) return;
        std::uint32_t count = 0;
        for (;; count++) {
            std::uint32_t value = U32(f, at(lookup + 4 * count));
            if (value != U32(f, at(addresses + 4 * count))) return;
            if (value == 0) break;
        }
        descriptors.push_back(entry);
        tablesStart = std::min(tablesStart, lookup);
        tablesEnd = std::max(tablesEnd, lookup + 4 * (count + 1));
        tablesSize += 4 * (count + 1);
    }
    const std::uint32_t contentEnd = home->virtualAddress + home->virtualSize;
    if (descriptors.empty() || tablesEnd - tablesStart != tablesSize || tablesEnd != contentEnd) return;
    const std::uint32_t kept = (tablesStart - home->virtualAddress + alignment - 1) / alignment * alignment;
    if (kept >= home->rawSize) return;

    for (std::uint64_t entry : descriptors) PutU32(f, entry, 0);
    std::fill(f.begin() + at(tablesStart), f.begin() + home->rawOffset + kept, 0);
    PutU32(f, opt + kOptionalDataDirectories + 8 * kImportDirectory + 4, 20 * std::uint32_t(descriptors.size() + 1));
    const std::uint32_t cut = home->rawSize - kept;
    const std::uint32_t initialised = U32(f, opt + kOptionalSizeOfInitializedData);
    PutU32(f, opt + kOptionalSizeOfInitializedData, initialised >= cut ? initialised - cut : 0);
    for (const Section& s : img.sections)
        if (s.rawSize != 0 && s.rawOffset > home->rawOffset) PutU32(f, s.header + 20, s.rawOffset - cut);
    PutU32(f, home->header + 16, kept);
    f.erase(f.begin() + home->rawOffset + kept, f.begin() + home->rawOffset + home->rawSize);
}

// The linker's DOS stub is 64 bytes of code and text behind the 64-byte
// header, which puts the PE headers at 0x80; with four sections they end at
// 536 bytes, 24 past the first 512-byte block, so the headers take 1,024
// bytes of the file. A shorter stub lets them fit one block fewer: the PE
// headers move down, every section's raw data with them, and nothing that
// is addressed in memory changes. Images with a certificate table or debug
// data (file offsets in directories) and images that gain nothing are left
// as they are.
void CompactHeaders(std::vector<std::uint8_t>& f) {
    PeImage img = ReadPeImage(f);
    const std::uint32_t pe = U32(f, 60);
    const std::uint32_t opt = img.optionalHeader;
    const std::uint32_t alignment = U32(f, opt + kOptionalFileAlignment);
    const std::uint32_t oldSize = U32(f, opt + kSizeOfHeadersOffset);
    if (alignment < 512 || (alignment & (alignment - 1)) || oldSize % alignment) return;
    if (HasFileOffsetDirectories(f, opt)) return;

    const std::uint32_t stub = sizeof kDosStubCode + sizeof kDosStubText - 1;
    const std::uint32_t newPe = (kDosHeaderSize + stub + 7) & ~7u;
    const std::uint32_t headers = 24 + PE_OPTIONAL_HEADER_SIZE + PE_SECTION_HEADER_SIZE * std::uint32_t(img.sections.size());
    const std::uint32_t newSize = (newPe + headers + alignment - 1) / alignment * alignment;
    if (newPe >= pe || newSize >= oldSize) return;
    for (const Section& s : img.sections)
        if (s.rawSize != 0 && s.rawOffset < oldSize) return;
    for (std::uint64_t at = pe + headers; at < oldSize; at++)
        if (f.at(at) != 0) return;  // something of the linker's own behind the section table

    const std::uint32_t shift = oldSize - newSize;
    std::vector<std::uint8_t> out(f.begin(), f.begin() + kDosHeaderSize);
    out.resize(newSize, 0);
    std::copy(std::begin(kDosStubCode), std::end(kDosStubCode), out.begin() + kDosHeaderSize);
    std::copy(kDosStubText, kDosStubText + sizeof kDosStubText - 1, out.begin() + kDosHeaderSize + sizeof kDosStubCode);
    std::copy(f.begin() + pe, f.begin() + pe + headers, out.begin() + newPe);
    PutU16(out, 2, newPe);  // the DOS program's length: header and stub, one page
    PutU16(out, 4, 1);
    PutU32(out, 60, newPe);
    const std::uint32_t newOpt = newPe + 24;
    PutU32(out, newOpt + kSizeOfHeadersOffset, newSize);
    for (std::size_t i = 0; i < img.sections.size(); i++) {
        std::uint64_t at = newOpt + PE_OPTIONAL_HEADER_SIZE + PE_SECTION_HEADER_SIZE * i + 20;
        if (img.sections[i].rawOffset != 0) PutU32(out, at, img.sections[i].rawOffset - shift);
    }
    out.insert(out.end(), f.begin() + oldSize, f.end());
    f = std::move(out);
}

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    return bytes;
}

void WriteFileBytes(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace author
