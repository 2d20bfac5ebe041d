// The import audit: which functions a host executable imports, and whether
// each is on a checked-in list of functions known to be there on every
// system the installer supports (Windows 95 and NT 4 on).
#ifndef AUTHOR_IMPORTS_H
#define AUTHOR_IMPORTS_H

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace author {

struct Import {
    std::string dll;       // as the image names it, "KERNEL32.dll"
    std::string function;  // "#<n>" for an import by ordinal
};

// The imports of a host image (read by ReadPeImage), in table order. Throws
// LayoutError when the headers are not a host's or the import table does
// not lie inside the image.
std::vector<Import> ReadImports(std::span<const std::uint8_t> image);

// One line of the list: "<DLL> <function> <why it is safe>", or
// "never <DLL> <function> <why>" for a function that must only be looked up
// at run time. '#' starts a comment line.
struct ListedImport {
    std::string dll, function, reason;
    bool never = false;
};

// Parses the list's text; throws std::runtime_error naming the line that
// lacks a reason or is named twice.
std::vector<ListedImport> ParseImportList(const std::string& text);

// One text per import the list does not allow, naming the DLL and the
// function (DLL names compare without regard to case). Empty: all allowed.
std::vector<std::string> AuditImports(const std::vector<Import>& imports, const std::vector<ListedImport>& list);

}  // namespace author

#endif
