// Reading a resource tree into a list, and laying a list out as a tree.
//
// The new section holds, in this order: every directory (root, the type
// directories, the name directories), every data entry, the name strings,
// then the data, each 8-byte aligned, the "LASTRES" data last.
#include "author/resources.h"

#include "author/pe_layout.h"

#include <algorithm>
#include <map>

namespace author {
namespace {

std::uint32_t AlignUp(std::uint64_t v, std::uint32_t to) { return std::uint32_t((v + to - 1) / to * to); }

char16_t Folded(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; }

bool IsPackageMarker(const Resource& r) { return r.type.name == u"LASTRES"; }

}  // namespace

bool ResourceOrder(const ResourceKey& a, const ResourceKey& b) {
    if (a.Named() != b.Named()) return a.Named();
    if (!a.Named()) return a.id < b.id;
    return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                        [](char16_t x, char16_t y) { return Folded(x) < Folded(y); });
}

std::vector<Resource> ReadResources(std::span<const std::uint8_t> image) {
    ResourceTree tree(ReadPeImage(image));
    std::vector<Resource> out;
    for (const ResourceTree::Leaf& leaf : tree.Leaves()) {
        if (leaf.depth != 3) throw LayoutError("resource tree is not three levels deep (type, name, language)");
        std::span<const std::uint8_t> data = tree.Bytes(leaf);
        out.push_back({leaf.type, leaf.name, leaf.language, leaf.codePage, {data.begin(), data.end()}});
    }
    return out;
}

std::vector<std::uint8_t> ReplaceResources(std::span<const std::uint8_t> host, std::vector<Resource> resources) {
    CheckedHost rebuilt = ReplaceResources(CheckedHost({host.begin(), host.end()}), std::move(resources));
    return {rebuilt.Image().begin(), rebuilt.Image().end()};
}

CheckedHost ReplaceResources(const CheckedHost& checked, std::vector<Resource> resources) {
    std::span<const std::uint8_t> host = checked.Image();
    PeImage img = ReadPeImage(host);
    const PeSection& rsrc = img.ResourceSection();

    using Names = std::map<ResourceKey, std::map<std::uint16_t, const Resource*>, decltype(&ResourceOrder)>;
    std::map<ResourceKey, Names, decltype(&ResourceOrder)> tree(&ResourceOrder);
    for (const Resource& r : resources) {
        auto& names = tree.try_emplace(r.type, &ResourceOrder).first->second;
        auto& languages = names[r.name];
        if (!languages.emplace(r.language, &r).second)
            throw LayoutError("two resources share one type, name and language");
    }

    // Sizes of the directory part, then where each piece goes.
    auto directorySize = [](std::size_t entries) {
        return kResourceDirectoryHeader + kResourceEntrySize * std::uint32_t(entries);
    };
    std::uint32_t directories = directorySize(tree.size()), dataEntries = 0;
    for (const auto& [type, names] : tree) {
        directories += directorySize(names.size());
        for (const auto& [name, languages] : names) {
            directories += directorySize(languages.size());
            dataEntries += kResourceDataEntrySize * std::uint32_t(languages.size());
        }
    }
    std::vector<std::uint8_t> s(directories + dataEntries, 0);
    std::uint32_t nextDirectory = 0, nextDataEntry = directories;

    std::map<std::u16string, std::uint32_t> strings;
    auto nameField = [&](const ResourceKey& key) -> std::uint32_t {
        if (!key.Named()) return key.id;
        auto [it, added] = strings.try_emplace(key.name, std::uint32_t(s.size()));
        if (added) {
            s.push_back(std::uint8_t(key.name.size()));
            s.push_back(std::uint8_t(key.name.size() >> 8));
            for (char16_t c : key.name) s.insert(s.end(), {std::uint8_t(c), std::uint8_t(c >> 8)});
        }
        return kResourceHighBit | it->second;
    };
    // Writes a directory header for these keys, returns its offset; entries
    // are filled by the caller through the returned offset.
    auto directory = [&](auto begin, auto end) {
        std::uint32_t at = nextDirectory;
        std::uint32_t named = 0, ids = 0;
        for (auto it = begin; it != end; ++it) (it->first.Named() ? named : ids)++;
        PutLe(s, at + kResourceNamedEntries, named, 2);
        PutLe(s, at + kResourceIdEntries, ids, 2);
        nextDirectory += directorySize(named + ids);
        return at;
    };
    auto languageDirectory = [&](const std::map<std::uint16_t, const Resource*>& languages) {
        std::uint32_t at = nextDirectory;
        PutLe(s, at + kResourceIdEntries, std::uint32_t(languages.size()), 2);
        nextDirectory += directorySize(languages.size());
        return at;
    };

    struct Placed {
        std::uint32_t entry;  // offset of its data entry
        const Resource* r;
    };
    std::vector<Placed> data;
    std::uint32_t root = directory(tree.begin(), tree.end());
    std::uint32_t rootEntry = root + kResourceDirectoryHeader;
    // Breadth first: the root, then the type directories, then the name
    // directories, so that every directory precedes the data entries.
    std::vector<std::pair<std::uint32_t, const Names*>> typeDirectories;
    for (const auto& [type, names] : tree) {
        std::uint32_t dir = directory(names.begin(), names.end());
        PutLe(s, rootEntry, nameField(type));
        PutLe(s, rootEntry + 4, kResourceHighBit | dir);
        rootEntry += kResourceEntrySize;
        typeDirectories.emplace_back(dir, &names);
    }
    for (const auto& [dir, names] : typeDirectories) {
        std::uint32_t entry = dir + kResourceDirectoryHeader;
        for (const auto& [name, languages] : *names) {
            std::uint32_t sub = languageDirectory(languages);
            PutLe(s, entry, nameField(name));
            PutLe(s, entry + 4, kResourceHighBit | sub);
            entry += kResourceEntrySize;
            std::uint32_t languageEntry = sub + kResourceDirectoryHeader;
            for (const auto& [language, r] : languages) {
                PutLe(s, languageEntry, language);
                PutLe(s, languageEntry + 4, nextDataEntry);
                languageEntry += kResourceEntrySize;
                data.push_back({nextDataEntry, r});
                nextDataEntry += kResourceDataEntrySize;
            }
        }
    }

    std::stable_partition(data.begin(), data.end(), [](const Placed& p) { return !IsPackageMarker(*p.r); });
    for (const Placed& p : data) {
        s.resize(AlignUp(s.size(), 8), 0);
        PutLe(s, p.entry + kResourceDataRva, rsrc.virtualAddress + std::uint32_t(s.size()));
        PutLe(s, p.entry + kResourceDataSize, std::uint32_t(p.r->data.size()));
        PutLe(s, p.entry + kResourceDataCodePage, p.r->codePage);
        s.insert(s.end(), p.r->data.begin(), p.r->data.end());
    }

    std::uint32_t used = std::uint32_t(s.size());
    // A header without alignments (a hand-made host) gets the linker's.
    std::uint32_t fileAlignment = img.Optional(kOptionalFileAlignment);
    std::uint32_t sectionAlignment = img.Optional(kOptionalSectionAlignment);
    if (fileAlignment == 0) fileAlignment = 0x200;
    if (sectionAlignment == 0) sectionAlignment = 0x1000;
    std::uint32_t raw = AlignUp(used, fileAlignment);
    s.resize(raw, 0);

    std::vector<std::uint8_t> out(host.begin(), host.begin() + rsrc.rawOffset);
    out.insert(out.end(), s.begin(), s.end());
    PutLe(out, rsrc.header + kSectionVirtualSize, used);
    PutLe(out, rsrc.header + kSectionRawSize, raw);
    std::uint32_t initialized = img.Optional(kOptionalSizeOfInitializedData);
    PutLe(out, img.optionalHeader + kOptionalSizeOfInitializedData, initialized - rsrc.rawSize + raw);
    std::uint32_t imageSize = 0;
    for (std::size_t i = 0; i < img.sections.size(); i++) {
        const PeSection& section = img.sections[i];
        std::uint32_t size = int(i) == img.resources ? used : std::max(section.virtualSize, section.rawSize);
        imageSize = std::max(imageSize, AlignUp(std::uint64_t(section.virtualAddress) + size, sectionAlignment));
    }
    PutLe(out, img.optionalHeader + kOptionalSizeOfImage, imageSize);
    PutLe(out, img.DirectoryEntry(kResourceDirectory) + kDirectoryAddress, rsrc.virtualAddress);
    PutLe(out, img.DirectoryEntry(kResourceDirectory) + kDirectorySize, used);
    PutLe(out, img.optionalHeader + kOptionalCheckSum, 0);
    return CheckedHost(std::move(out));
}

}  // namespace author
