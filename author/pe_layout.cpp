// Host executable layout, read through the PE model (by names and ids,
// unlike the installer's first-entry walk), and the post-link passes.
#include "author/pe_layout.h"

#include "package/layout.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace author {
namespace {

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

using Leaf = ResourceTree::Leaf;

bool IsPackageType(const std::u16string& name) {
    std::string_view type = PACKAGE_RESOURCE_TYPE;
    return std::equal(name.begin(), name.end(), type.begin(), type.end());
}

// Finds the package resource's data entry, checking the tree's shape on the way.
Leaf FindPackageData(const ResourceTree& tree) {
    if (tree.Named(0) != 1) throw LayoutError("root of the resource tree must have exactly one named type");
    std::uint32_t typeName = tree.EntryName(0, 0);
    if (!(typeName & kResourceHighBit) || !IsPackageType(tree.Key(typeName).name))
        throw LayoutError("first root resource entry is not the type \"LASTRES\"");
    std::uint32_t type = tree.EntryTarget(0, 0);
    if (!(type & kResourceHighBit)) throw LayoutError("\"LASTRES\" is not a directory");
    type &= ~kResourceHighBit;
    if (tree.Named(type) != 0 || tree.Ids(type) != 1 || tree.EntryName(type, 0) != PACKAGE_RESOURCE_ID)
        throw LayoutError("\"LASTRES\" must hold exactly one resource, id 1000");
    std::uint32_t name = tree.EntryTarget(type, 0);
    if (!(name & kResourceHighBit)) throw LayoutError("\"LASTRES\" 1000 is not a directory");
    name &= ~kResourceHighBit;
    if (tree.Named(name) != 0 || tree.Ids(name) != 1 || tree.EntryName(name, 0) != PACKAGE_LANGUAGE)
        throw LayoutError("\"LASTRES\" 1000 must have exactly one language, 1033");
    std::uint32_t data = tree.EntryTarget(name, 0);
    if (data & kResourceHighBit) throw LayoutError("\"LASTRES\" 1000 language 1033 is not a data entry");
    return tree.Data(data);
}

}  // namespace

HostLayout CheckHost(std::span<const std::uint8_t> f, Trailing trailing) {
    PeImage img = ReadPeImage(f);
    const PeSection& rsrc = img.ResourceSection();
    std::uint64_t rsrcEnd = std::uint64_t(rsrc.rawOffset) + rsrc.rawSize;
    for (const PeSection& s : img.sections) {
        if (&s != &rsrc && s.rawSize != 0 && std::uint64_t(s.rawOffset) + s.rawSize > rsrc.rawOffset)
            throw LayoutError("\".rsrc\" is not the last section: \"" + s.name + "\" has raw data behind it");
    }
    if (f.size() < rsrcEnd)
        throw LayoutError("the file is cut short: it ends " + std::to_string(rsrcEnd - f.size()) +
                          " bytes before the end of its \".rsrc\" section");
    if (trailing == Trailing::Forbidden && f.size() != rsrcEnd)
        throw LayoutError("bytes follow the \".rsrc\" section (relocations, symbols or other data)");

    ResourceTree tree(img);
    Leaf package = FindPackageData(tree);
    if (package.size != PACKAGE_DECLARED_SIZE) throw LayoutError("\"LASTRES\" data must be declared 4 bytes long");
    if (package.rva < rsrc.virtualAddress || package.rva - rsrc.virtualAddress + std::uint64_t(PACKAGE_DECLARED_SIZE) > rsrc.rawSize)
        throw LayoutError("\"LASTRES\" data lies outside the \".rsrc\" raw data");

    for (const Leaf& d : tree.Leaves()) {
        if (d.at != package.at && std::uint64_t(d.rva) + d.size > package.rva)
            throw LayoutError("\"LASTRES\" data is not the last resource data in the section");
    }
    if (img.Optional(kOptionalCheckSum) != 0 && (trailing == Trailing::Forbidden || !img.Certificate(f.size())))
        throw LayoutError("image checksum is not 0: installers are written with checksum 0 (the installer never "
                          "reads it), and only signing, which comes last, sets one");

    return {package.rva - rsrc.virtualAddress + rsrc.rawOffset, std::uint32_t(rsrcEnd)};
}

void FixHost(std::vector<std::uint8_t>& f, FixPasses passes) {
    PeImage img = ReadPeImage(f);
    const PeSection& rsrc = img.ResourceSection();
    ResourceTree tree(img);
    Leaf package = FindPackageData(tree);
    std::vector<Leaf> all = tree.Leaves();
    std::sort(all.begin(), all.end(), [](const Leaf& a, const Leaf& b) { return a.rva < b.rva; });

    // Lay the data out again in the same region, 8-byte aligned, with the
    // package marker last.
    std::uint32_t start = all.front().rva;
    std::uint32_t limit = rsrc.virtualAddress + rsrc.rawSize;
    std::vector<Leaf> order;
    for (const Leaf& d : all)
        if (d.at != package.at) order.push_back(d);
    order.push_back(package);

    std::vector<std::uint8_t> region;
    std::vector<std::uint32_t> newRva;
    for (const Leaf& d : order) {
        while (region.size() % 8) region.push_back(0);
        newRva.push_back(start + std::uint32_t(region.size()));
        std::span<const std::uint8_t> data = tree.Bytes(d);
        region.insert(region.end(), data.begin(), data.end());
    }
    if (start + region.size() > limit) throw LayoutError("resource data does not fit its section after reordering");
    std::uint64_t regionAt = std::uint64_t(start) - rsrc.virtualAddress + rsrc.rawOffset;
    std::copy(region.begin(), region.end(), f.begin() + regionAt);
    for (std::size_t i = 0; i < order.size(); i++) PutLe(f, order[i].at + kResourceDataRva, newRva[i]);
    PutLe(f, img.optionalHeader + kOptionalCheckSum, 0);
    // GNU ld leaves BaseOfData 0 without a section called ".data"; loaders
    // of today ignore it, but the old ones are given what their own
    // linkers wrote: the address of the first section that is not code.
    for (const PeSection& s : img.sections) {
        if (!(s.characteristics & kSectionHoldsCode)) {
            PutLe(f, img.optionalHeader + kOptionalBaseOfData, s.virtualAddress);
            break;
        }
    }
    if (passes.dropImportLookupTables) DropImportNameTable(f);
    if (passes.compactHeaders) CompactHeaders(f);
}

namespace {

// Directories that hold file offsets: raw data must not move under them.
bool HasFileOffsetDirectories(const PeImage& img) {
    for (int d : {kSecurityDirectory, kDebugDirectory})
        if (img.Directory(d).size != 0) return true;
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
    const std::uint32_t alignment = img.Optional(kOptionalFileAlignment);
    const std::uint32_t directory = img.Directory(kImportDirectory).address;
    if (directory == 0 || alignment == 0 || (alignment & (alignment - 1)) || HasFileOffsetDirectories(img) ||
        img.Directory(kBoundImportDirectory).size != 0)
        return;
    const PeSection* home = img.SectionHolding(directory);
    if (!home) return;

    // Every descriptor unbound, its lookup table a copy of its address
    // table, and the lookup tables together the section's last bytes.
    const std::vector<ImportDescriptor> descriptors = img.ImportDescriptors();
    std::uint32_t tablesStart = UINT32_MAX, tablesEnd = 0, tablesSize = 0;
    for (const ImportDescriptor& d : descriptors) {
        if (d.lookup == 0 || d.timeStamp != 0 || img.SectionHolding(d.lookup) != home) return;
        std::uint32_t count = 0;
        for (;; count++) {
            std::uint32_t value = img.ImportValue(d.lookup + 4 * count);
            if (value != img.ImportValue(d.addresses + 4 * count)) return;
            if (value == 0) break;
        }
        tablesStart = std::min(tablesStart, d.lookup);
        tablesEnd = std::max(tablesEnd, d.lookup + 4 * (count + 1));
        tablesSize += 4 * (count + 1);
    }
    const std::uint32_t contentEnd = home->virtualAddress + home->virtualSize;
    if (descriptors.empty() || tablesEnd - tablesStart != tablesSize || tablesEnd != contentEnd) return;
    const std::uint32_t kept = (tablesStart - home->virtualAddress + alignment - 1) / alignment * alignment;
    if (kept >= home->rawSize) return;

    const std::uint64_t tablesAt = img.FileOffset(tablesStart, "import table points outside the sections");
    for (const ImportDescriptor& d : descriptors) PutLe(f, d.at + kImportLookupTable, 0);
    std::fill(f.begin() + tablesAt, f.begin() + home->rawOffset + kept, 0);
    PutLe(f, img.DirectoryEntry(kImportDirectory) + kDirectorySize,
           kImportDescriptorSize * std::uint32_t(descriptors.size() + 1));
    const std::uint32_t cut = home->rawSize - kept;
    const std::uint32_t initialised = img.Optional(kOptionalSizeOfInitializedData);
    PutLe(f, img.optionalHeader + kOptionalSizeOfInitializedData, initialised >= cut ? initialised - cut : 0);
    for (const PeSection& s : img.sections)
        if (s.rawSize != 0 && s.rawOffset > home->rawOffset)
            PutLe(f, s.header + kSectionRawOffset, s.rawOffset - cut);
    PutLe(f, home->header + kSectionRawSize, kept);
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
    const std::uint32_t pe = img.peHeader;
    const std::uint32_t alignment = img.Optional(kOptionalFileAlignment);
    const std::uint32_t oldSize = img.Optional(kOptionalSizeOfHeaders);
    if (alignment < 512 || (alignment & (alignment - 1)) || oldSize % alignment) return;
    if (HasFileOffsetDirectories(img)) return;

    const std::uint32_t stub = sizeof kDosStubCode + sizeof kDosStubText - 1;
    const std::uint32_t newPe = (kDosHeaderSize + stub + 7) & ~7u;
    const std::uint32_t headers =
        std::uint32_t(kPeOptionalHeader) + PE_OPTIONAL_HEADER_SIZE + PE_SECTION_HEADER_SIZE * std::uint32_t(img.sections.size());
    const std::uint32_t newSize = (newPe + headers + alignment - 1) / alignment * alignment;
    if (newPe >= pe || newSize >= oldSize) return;
    for (const PeSection& s : img.sections)
        if (s.rawSize != 0 && s.rawOffset < oldSize) return;
    for (std::uint64_t at = pe + headers; at < oldSize; at++)
        if (f.at(at) != 0) return;  // something of the linker's own behind the section table

    const std::uint32_t shift = oldSize - newSize;
    std::vector<std::uint8_t> out(newSize, 0);
    std::copy(f.begin(), f.begin() + kDosHeaderSize, out.begin());
    std::copy(std::begin(kDosStubCode), std::end(kDosStubCode), out.begin() + kDosHeaderSize);
    std::copy(kDosStubText, kDosStubText + sizeof kDosStubText - 1, out.begin() + kDosHeaderSize + sizeof kDosStubCode);
    std::copy(f.begin() + pe, f.begin() + pe + headers, out.begin() + newPe);
    PutLe(out, kDosLastPageBytes, newPe, 2);  // the DOS program's length: header and stub, one page
    PutLe(out, kDosPages, 1, 2);
    PutLe(out, kDosNewHeader, newPe);
    // The headers keep their order, newPe - pe bytes further down.
    PutLe(out, img.optionalHeader - pe + newPe + kOptionalSizeOfHeaders, newSize);
    for (const PeSection& s : img.sections)
        if (s.rawOffset != 0) PutLe(out, s.header - pe + newPe + kSectionRawOffset, s.rawOffset - shift);
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
