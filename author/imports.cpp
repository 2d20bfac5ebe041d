// The import audit: every descriptor's lookup table (or, when that is 0,
// its address table), each entry an ordinal or a hint and a name (the
// layout is in author/pe_image.h).
#include "author/imports.h"

#include "author/pe_image.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>

namespace author {
namespace {

bool SameDll(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return std::tolower((unsigned char)x) == std::tolower((unsigned char)y); });
}

}  // namespace

std::vector<Import> ReadImports(std::span<const std::uint8_t> f) {
    PeImage img = ReadPeImage(f);
    std::vector<Import> imports;
    for (const ImportDescriptor& d : img.ImportDescriptors()) {
        std::string dll = img.ImportText(d.name);
        for (std::uint32_t e = d.lookup ? d.lookup : d.addresses;; e += 4) {
            std::uint32_t entry = img.ImportValue(e);
            if (entry == 0) break;
            imports.push_back(
                {dll, entry & kImportByOrdinal ? "#" + std::to_string(entry & 0xFFFF) : img.ImportText(entry + 2)});
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
