// Writing a version resource.
#include "author/version_resource.h"

#include <cstdio>

namespace author {
namespace {

constexpr std::uint32_t kSignature = 0xFEEF04BD;
constexpr std::uint32_t kStructureVersion = 0x00010000;
constexpr std::uint32_t kFlagsMask = 0x3F;
constexpr std::uint32_t kOsWindows32 = 0x4;  // the Win32 interface, on any Windows
constexpr std::uint32_t kTypeApplication = 1;

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& b, std::uint32_t v, int width) {
    for (int i = 0; i < width; i++) b.push_back(std::uint8_t(v >> (8 * i)));
}

void Align(Bytes& b) { b.resize((b.size() + 3) & ~std::size_t(3), 0); }

std::u16string Widen(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

Bytes Text(const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) Put(b, c, 2);
    Put(b, 0, 2);
    return b;
}

// One block; valueLength counts bytes, or UTF-16 units for text values.
Bytes Block(std::string_view key, bool text, const Bytes& value, std::uint32_t valueLength,
            const std::vector<Bytes>& children) {
    Bytes b(6, 0);
    Bytes name = Text(Widen(key));
    b.insert(b.end(), name.begin(), name.end());
    Align(b);
    b.insert(b.end(), value.begin(), value.end());
    for (const Bytes& child : children) {
        Align(b);
        b.insert(b.end(), child.begin(), child.end());
    }
    if (b.size() > kLongestVersionBlock)
        throw VersionTooLong("its block \"" + std::string(key) + "\" would be " + std::to_string(b.size()) +
                             " bytes; a block of the version resource holds at most 65,535 (its length is 16-bit)");
    b[0] = std::uint8_t(b.size());
    b[1] = std::uint8_t(b.size() >> 8);
    b[2] = std::uint8_t(valueLength);
    b[3] = std::uint8_t(valueLength >> 8);
    b[4] = text ? 1 : 0;
    return b;
}

Bytes String(std::string_view key, const std::u16string& value) {
    Bytes v = Text(value);
    return Block(key, true, v, std::uint32_t(value.size() + 1), {});
}

constexpr int kVersionLevels = 4;  // VS_VERSION_INFO, StringFileInfo, a table, a string
constexpr std::size_t kBlockHeader = 6;
constexpr std::size_t kFixedInfoSize = 52;

std::uint32_t Le(std::span<const std::uint8_t> b, std::size_t at, int width) {
    std::uint32_t v = 0;
    for (int i = width - 1; i >= 0; i--) v = (v << 8) | b[at + i];
    return v;
}

std::size_t Align4(std::size_t v) { return (v + 3) & ~std::size_t(3); }

// Checks the block at `at` and its children against the `limit` its parent
// sets; returns its length, and the key through `key`.
std::size_t CheckBlock(std::span<const std::uint8_t> b, std::size_t at, std::size_t limit, int level,
                       std::u16string& key) {
    std::string where = "the block at " + std::to_string(at);
    if (limit - at < kBlockHeader) throw std::invalid_argument(where + " has no room for its 6-byte header");
    std::size_t length = Le(b, at, 2), valueLength = Le(b, at + 2, 2), type = Le(b, at + 4, 2);
    if (length < kBlockHeader || length > limit - at)
        throw std::invalid_argument(where + " claims " + std::to_string(length) + " bytes, of " +
                                    std::to_string(limit - at) + " its parent holds");
    const std::size_t end = at + length;
    std::size_t p = at + kBlockHeader;
    key.clear();
    for (;; p += 2) {
        if (p + 2 > end) throw std::invalid_argument(where + ": its key has no NUL inside the block");
        if (char16_t c = char16_t(Le(b, p, 2)); c != 0)
            key.push_back(c);
        else
            break;
    }
    p = Align4(p + 2);
    std::size_t valueBytes = type == 1 ? 2 * valueLength : valueLength;
    if (valueBytes > 0 && (p > end || valueBytes > end - p))
        throw std::invalid_argument(where + ": its value of " + std::to_string(valueBytes) +
                                    " bytes runs past the block");
    if (level == 1 && (key != u"VS_VERSION_INFO" || valueBytes != kFixedInfoSize || Le(b, p, 4) != kSignature))
        throw std::invalid_argument("the root block is not \"VS_VERSION_INFO\" with its 52-byte fixed information");
    std::u16string childKey;
    for (p = Align4(p + valueBytes); p < end;) {
        if (level == kVersionLevels) throw std::invalid_argument(where + " nests blocks deeper than four levels");
        p = Align4(p + CheckBlock(b, p, end, level + 1, childKey));
    }
    return length;
}

}  // namespace

std::string VersionResourceProblem(std::span<const std::uint8_t> data) {
    try {
        std::u16string key;
        std::size_t length = CheckBlock(data, 0, data.size(), 1, key);
        if (Align4(length) < data.size()) return std::to_string(data.size() - length) + " bytes follow its root block";
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

FileVersion ParseFileVersion(std::string_view text) {
    FileVersion version{};
    std::size_t part = 0, at = 0;
    for (;; part++) {
        if (part == 4) throw std::invalid_argument("has more than four numbers (X.Y.Z.W)");
        std::size_t end = text.find('.', at);
        std::string_view number = text.substr(at, end == std::string_view::npos ? end : end - at);
        if (number.empty()) throw std::invalid_argument("has an empty number (X.Y.Z.W, each 0 to 65535)");
        std::uint32_t value = 0;
        for (char c : number) {
            if (c < '0' || c > '9')
                throw std::invalid_argument("holds '" + std::string(1, c) + "'; give four decimal numbers X.Y.Z.W");
            value = value * 10 + std::uint32_t(c - '0');
            if (value > 0xFFFF) throw std::invalid_argument("has a number above 65535");
        }
        version[part] = std::uint16_t(value);
        if (end == std::string_view::npos) break;
        at = end + 1;
    }
    if (part != 3) throw std::invalid_argument("has " + std::to_string(part + 1) + " numbers; give four, X.Y.Z.W");
    return version;
}

std::string FileVersionText(const FileVersion& v) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
}

std::vector<std::uint8_t> VersionResourceData(const VersionInfo& info) {
    Bytes fixed;
    std::uint32_t high = (std::uint32_t(info.version[0]) << 16) | info.version[1];
    std::uint32_t low = (std::uint32_t(info.version[2]) << 16) | info.version[3];
    for (std::uint32_t v : {kSignature, kStructureVersion, high, low, high, low, kFlagsMask, 0u, kOsWindows32,
                            kTypeApplication, 0u, 0u, 0u})
        Put(fixed, v, 4);

    std::u16string version = Widen(FileVersionText(info.version));
    std::vector<Bytes> strings;
    if (!info.companyName.empty()) strings.push_back(String("CompanyName", info.companyName));
    strings.push_back(String("FileDescription", info.fileDescription));
    strings.push_back(String("FileVersion", version));
    strings.push_back(String("ProductName", info.productName));
    strings.push_back(String("ProductVersion", version));

    char tableKey[9];
    std::snprintf(tableKey, sizeof tableKey, "%04X%04X", unsigned(info.language), unsigned(info.codePage));
    Bytes table = Block(tableKey, true, {}, 0, strings);
    Bytes translation;
    Put(translation, info.language, 2);
    Put(translation, info.codePage, 2);
    Bytes var = Block("Translation", false, translation, 4, {});
    return Block("VS_VERSION_INFO", false, fixed, std::uint32_t(fixed.size()),
                 {Block("StringFileInfo", true, {}, 0, {table}), Block("VarFileInfo", true, {}, 0, {var})});
}

void ReplaceVersion(std::vector<Resource>& resources, const VersionInfo& info) {
    std::erase_if(resources, [](const Resource& r) { return !r.type.Named() && r.type.id == kVersionType; });
    resources.push_back({{{}, kVersionType}, {{}, 1}, info.language, 0, VersionResourceData(info)});
}

}  // namespace author
