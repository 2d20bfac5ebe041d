// The import audit. The import directory (data directory 1) points at
// 20-byte descriptors, one per DLL, ended by an all-zero one: the DLL's name
// at +12, its lookup table at +0 (or, when that is 0, the address table at
// +16). Each 32-bit lookup entry is an ordinal (top bit set) or the address
// of a 2-byte hint followed by the function's name.
#include "author/imports.h"

#include "author/pe_layout.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>

namespace author {
namespace {

constexpr std::uint32_t kOrdinalBit = 0x80000000u;

std::uint32_t U32(std::span<const std::uint8_t> f, std::uint64_t at) {
    if (at + 4 > f.size()) throw LayoutError("import table runs past the end of the file");
    return f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) | (std::uint32_t(f[at + 3]) << 24);
}

// Addresses inside the image's sections, as file offsets.
class AddressMap {
public:
    explicit AddressMap(std::span<const std::uint8_t> f) : f_(f), image_(ReadPeImage(f)) {}
    std::uint32_t OptionalHeader() const { return image_.optionalHeader; }

    // The file offset of an address inside some section's raw data.
    std::uint64_t At(std::uint32_t rva) const {
        const PeSection* s = SectionHolding(image_, rva);
        if (!s) throw LayoutError("import table points outside the sections");
        return std::uint64_t(s->rawOffset) + (rva - s->virtualAddress);
    }

    std::string Text(std::uint32_t rva) const {
        std::uint64_t at = At(rva);
        std::string text;
        while (at < f_.size() && f_[at] && text.size() < 512) text.push_back(char(f_[at++]));
        if (at >= f_.size()) throw LayoutError("import name runs past the end of the file");
        return text;
    }

private:
    std::span<const std::uint8_t> f_;
    PeImage image_;
};

bool SameDll(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return std::tolower((unsigned char)x) == std::tolower((unsigned char)y); });
}

}  // namespace

std::vector<Import> ReadImports(std::span<const std::uint8_t> f) {
    AddressMap map(f);
    std::uint32_t directory = U32(f, map.OptionalHeader() + kOptionalDataDirectories + 8 * kImportDirectory);
    std::vector<Import> imports;
    if (directory == 0) return imports;
    for (std::uint32_t d = directory;; d += 20) {
        std::uint64_t at = map.At(d);
        std::uint32_t lookup = U32(f, at), name = U32(f, at + 12), addresses = U32(f, at + 16);
        if (lookup == 0 && name == 0 && addresses == 0) break;
        std::string dll = map.Text(name);
        for (std::uint32_t e = lookup ? lookup : addresses;; e += 4) {
            std::uint32_t entry = U32(f, map.At(e));
            if (entry == 0) break;
            imports.push_back({dll, entry & kOrdinalBit ? "#" + std::to_string(entry & 0xFFFF) : map.Text(entry + 2)});
        }
    }
    return imports;
}

std::vector<ListedImport> ParseImportList(const std::string& text) {
    std::vector<ListedImport> list;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); number++) {
        std::istringstream words(line);
        ListedImport entry;
        if (!(words >> entry.dll) || entry.dll[0] == '#') continue;
        if (entry.dll == "never") {
            entry.never = true;
            words >> entry.dll;
        }
        words >> entry.function >> std::ws;
        std::getline(words, entry.reason);
        if (entry.function.empty() || entry.reason.empty())
            throw std::runtime_error("import list line " + std::to_string(number) + ": no reason given");
        for (const ListedImport& other : list)
            if (SameDll(other.dll, entry.dll) && other.function == entry.function)
                throw std::runtime_error("import list line " + std::to_string(number) + ": " + entry.function +
                                         " is listed twice");
        list.push_back(entry);
    }
    return list;
}

std::vector<std::string> AuditImports(const std::vector<Import>& imports, const std::vector<ListedImport>& list) {
    std::vector<std::string> problems;
    for (const Import& import : imports) {
        const ListedImport* found = nullptr;
        bool dllListed = false;
        for (const ListedImport& entry : list) {
            if (!SameDll(entry.dll, import.dll)) continue;
            dllListed = dllListed || !entry.never;
            if (entry.function == import.function) found = &entry;
        }
        std::string name = import.dll + " " + import.function;
        if (found && found->never)
            problems.push_back(name + " must not be imported (" + found->reason + ")");
        else if (!found && !dllListed)
            problems.push_back(name + ": " + import.dll + " is not a DLL the installer may import from");
        else if (!found)
            problems.push_back(name + " is not on the list of imports known on Windows 95 and NT 4");
    }
    return problems;
}

}  // namespace author
