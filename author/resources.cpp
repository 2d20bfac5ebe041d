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

constexpr std::uint32_t kHigh = 0x80000000u;  // a name string / a subdirectory
constexpr int kLevels = 3;

std::uint32_t Get(std::span<const std::uint8_t> f, std::uint64_t at, int width) {
    if (at + width > f.size()) throw LayoutError("resource tree runs past the end of its section");
    std::uint32_t v = 0;
    for (int i = width - 1; i >= 0; i--) v = (v << 8) | f[at + i];
    return v;
}

void Set(std::vector<std::uint8_t>& f, std::uint64_t at, std::uint32_t v, int width = 4) {
    for (int i = 0; i < width; i++) f.at(at + i) = std::uint8_t(v >> (8 * i));
}

std::uint32_t AlignUp(std::uint64_t v, std::uint32_t to) { return std::uint32_t((v + to - 1) / to * to); }

char16_t Folded(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; }

struct Reader {
    std::span<const std::uint8_t> section;  // the raw data of ".rsrc"
    std::uint32_t virtualAddress;

    ResourceKey Key(std::uint32_t field) const {
        if (!(field & kHigh)) return {{}, std::uint16_t(field)};
        std::uint32_t at = field & ~kHigh;
        std::uint32_t length = Get(section, at, 2);
        ResourceKey key;
        for (std::uint32_t i = 0; i < length; i++) key.name.push_back(char16_t(Get(section, at + 2 + 2 * i, 2)));
        if (key.name.empty()) throw LayoutError("a resource name is an empty string");
        return key;
    }

    void Walk(std::uint32_t dir, int level, Resource& path, std::vector<Resource>& out) const {
        std::uint32_t count = Get(section, dir + 12, 2) + Get(section, dir + 14, 2);
        for (std::uint32_t i = 0; i < count; i++) {
            std::uint32_t nameField = Get(section, dir + 16 + 8 * i, 4);
            std::uint32_t target = Get(section, dir + 20 + 8 * i, 4);
            ResourceKey key = Key(nameField);
            if (level == 0) path.type = key;
            if (level == 1) path.name = key;
            if (level == 2) path.language = key.id;
            bool subdirectory = target & kHigh;
            if (subdirectory != (level < kLevels - 1))
                throw LayoutError("resource tree is not three levels deep (type, name, language)");
            if (subdirectory) {
                Walk(target & ~kHigh, level + 1, path, out);
                continue;
            }
            Resource r = path;
            std::uint32_t rva = Get(section, target, 4), size = Get(section, target + 4, 4);
            r.codePage = Get(section, target + 8, 4);
            if (rva < virtualAddress || std::uint64_t(rva - virtualAddress) + size > section.size())
                throw LayoutError("resource data lies outside the \".rsrc\" raw data");
            auto from = section.begin() + (rva - virtualAddress);
            r.data.assign(from, from + size);
            out.push_back(std::move(r));
        }
    }
};

bool IsPackageMarker(const Resource& r) { return r.type.name == u"LASTRES"; }

}  // namespace

bool ResourceOrder(const ResourceKey& a, const ResourceKey& b) {
    if (a.Named() != b.Named()) return a.Named();
    if (!a.Named()) return a.id < b.id;
    return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                        [](char16_t x, char16_t y) { return Folded(x) < Folded(y); });
}

std::vector<Resource> ReadResources(std::span<const std::uint8_t> image) {
    PeImage img = ReadPeImage(image);
    const PeSection& rsrc = img.sections[img.resources];
    if (std::uint64_t(rsrc.rawOffset) + rsrc.rawSize > image.size())
        throw LayoutError("\".rsrc\" raw data runs past the end of the file");
    Reader reader{image.subspan(rsrc.rawOffset, rsrc.rawSize), rsrc.virtualAddress};
    std::vector<Resource> out;
    Resource path;
    reader.Walk(0, 0, path, out);
    return out;
}

std::vector<std::uint8_t> ReplaceResources(std::span<const std::uint8_t> host, std::vector<Resource> resources) {
    CheckHost(host);
    PeImage img = ReadPeImage(host);
    const PeSection& rsrc = img.sections[img.resources];

    using Names = std::map<ResourceKey, std::map<std::uint16_t, const Resource*>, decltype(&ResourceOrder)>;
    std::map<ResourceKey, Names, decltype(&ResourceOrder)> tree(&ResourceOrder);
    for (const Resource& r : resources) {
        auto& names = tree.try_emplace(r.type, &ResourceOrder).first->second;
        auto& languages = names[r.name];
        if (!languages.emplace(r.language, &r).second)
            throw LayoutError("two resources share one type, name and language");
    }

    // Sizes of the directory part, then where each piece goes.
    std::uint32_t directories = 16 + 8 * std::uint32_t(tree.size()), dataEntries = 0;
    for (const auto& [type, names] : tree) {
        directories += 16 + 8 * std::uint32_t(names.size());
        for (const auto& [name, languages] : names) {
            directories += 16 + 8 * std::uint32_t(languages.size());
            dataEntries += 16 * std::uint32_t(languages.size());
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
        return kHigh | it->second;
    };
    // Writes a directory header for these keys, returns its offset; entries
    // are filled by the caller through the returned offset.
    auto directory = [&](auto begin, auto end) {
        std::uint32_t at = nextDirectory;
        std::uint32_t named = 0, ids = 0;
        for (auto it = begin; it != end; ++it) (it->first.Named() ? named : ids)++;
        Set(s, at + 12, named, 2);
        Set(s, at + 14, ids, 2);
        nextDirectory += 16 + 8 * (named + ids);
        return at;
    };
    auto languageDirectory = [&](const std::map<std::uint16_t, const Resource*>& languages) {
        std::uint32_t at = nextDirectory;
        Set(s, at + 14, std::uint32_t(languages.size()), 2);
        nextDirectory += 16 + 8 * std::uint32_t(languages.size());
        return at;
    };

    struct Placed {
        std::uint32_t entry;  // offset of its data entry
        const Resource* r;
    };
    std::vector<Placed> data;
    std::uint32_t root = directory(tree.begin(), tree.end());
    std::uint32_t rootEntry = root + 16;
    // Breadth first: the root, then the type directories, then the name
    // directories, so that every directory precedes the data entries.
    std::vector<std::pair<std::uint32_t, const Names*>> typeDirectories;
    for (const auto& [type, names] : tree) {
        std::uint32_t dir = directory(names.begin(), names.end());
        Set(s, rootEntry, nameField(type));
        Set(s, rootEntry + 4, kHigh | dir);
        rootEntry += 8;
        typeDirectories.emplace_back(dir, &names);
    }
    for (const auto& [dir, names] : typeDirectories) {
        std::uint32_t entry = dir + 16;
        for (const auto& [name, languages] : *names) {
            std::uint32_t sub = languageDirectory(languages);
            Set(s, entry, nameField(name));
            Set(s, entry + 4, kHigh | sub);
            entry += 8;
            std::uint32_t languageEntry = sub + 16;
            for (const auto& [language, r] : languages) {
                Set(s, languageEntry, language);
                Set(s, languageEntry + 4, nextDataEntry);
                languageEntry += 8;
                data.push_back({nextDataEntry, r});
                nextDataEntry += 16;
            }
        }
    }

    std::stable_partition(data.begin(), data.end(), [](const Placed& p) { return !IsPackageMarker(*p.r); });
    for (const Placed& p : data) {
        s.resize(AlignUp(s.size(), 8), 0);
        Set(s, p.entry, rsrc.virtualAddress + std::uint32_t(s.size()));
        Set(s, p.entry + 4, std::uint32_t(p.r->data.size()));
        Set(s, p.entry + 8, p.r->codePage);
        s.insert(s.end(), p.r->data.begin(), p.r->data.end());
    }

    std::uint32_t used = std::uint32_t(s.size());
    // A header without alignments (a hand-made host) gets the linker's.
    std::uint32_t fileAlignment = Get(host, img.optionalHeader + kOptionalFileAlignment, 4);
    std::uint32_t sectionAlignment = Get(host, img.optionalHeader + kOptionalSectionAlignment, 4);
    if (fileAlignment == 0) fileAlignment = 0x200;
    if (sectionAlignment == 0) sectionAlignment = 0x1000;
    std::uint32_t raw = AlignUp(used, fileAlignment);
    s.resize(raw, 0);

    std::vector<std::uint8_t> out(host.begin(), host.begin() + rsrc.rawOffset);
    out.insert(out.end(), s.begin(), s.end());
    Set(out, rsrc.header + 8, used);
    Set(out, rsrc.header + 16, raw);
    std::uint32_t initialized = Get(host, img.optionalHeader + kOptionalSizeOfInitializedData, 4);
    Set(out, img.optionalHeader + kOptionalSizeOfInitializedData, initialized - rsrc.rawSize + raw);
    std::uint32_t imageSize = 0;
    for (std::size_t i = 0; i < img.sections.size(); i++) {
        const PeSection& section = img.sections[i];
        std::uint32_t size = int(i) == img.resources ? used : std::max(section.virtualSize, section.rawSize);
        imageSize = std::max(imageSize, AlignUp(std::uint64_t(section.virtualAddress) + size, sectionAlignment));
    }
    Set(out, img.optionalHeader + kOptionalSizeOfImage, imageSize);
    std::uint64_t directoryEntry = img.optionalHeader + kOptionalDataDirectories + 8ull * kResourceDirectory;
    Set(out, directoryEntry, rsrc.virtualAddress);
    Set(out, directoryEntry + 4, used);
    Set(out, img.optionalHeader + kOptionalCheckSum, 0);
    CheckHost(out);
    return out;
}

}  // namespace author
