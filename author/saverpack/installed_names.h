// The names under which an installer places its entries, by the package
// contract's rule (package/names.h), which the installer itself follows.
#ifndef AUTHOR_SAVERPACK_INSTALLED_NAMES_H
#define AUTHOR_SAVERPACK_INSTALLED_NAMES_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace saverpack {

// The last component of a path, after its last '/' or '\'.
std::string FileNameOf(std::string_view path);

std::string InstallerStem(std::string_view fileName);
std::string ScrName(std::string_view fileName);

// An entry the installer would refuse to place; what() says why.
class NameRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The path of entry `index`, below the Windows directory, one component each.
// Throws NameRefused for an extension the installer refuses.
std::vector<std::string> InstalledPath(std::string_view installerFileName, std::uint64_t index,
                                       std::uint16_t firstFileNumber, const char (&extension)[4]);

// InstalledPath, or no components for an entry the installer refuses.
std::vector<std::string> InstalledPathOrNone(std::string_view installerFileName, std::uint64_t index,
                                             std::uint16_t firstFileNumber, const char (&extension)[4]);

// InstalledPath as UTF-8 text: the extension, which the package carries in
// the code page it was written for, read in codePage.
std::vector<std::string> InstalledPathUtf8(std::string_view installerFileName, std::uint64_t index,
                                           std::uint16_t firstFileNumber, const char (&extension)[4],
                                           unsigned codePage);

// Pairs of entries (i < j) whose paths name the same file: equal when the
// letters a to z are compared without case, as Windows compares file names.
// Entries without a path (refused) are left out.
// In a crafted package a number and an extension can combine into another
// entry's name (FILE1000 with "0.MI" and FILE10000 with ".MI").
std::vector<std::pair<std::size_t, std::size_t>> SameFileEntries(const std::vector<std::vector<std::string>>& paths);

// The components joined with '\', as the installer writes the path.
std::string JoinWindowsPath(const std::vector<std::string>& components);

// Decimal with ',' after every three digits, as the installer shows numbers.
std::string GroupThousands(std::uint64_t value);

// Why the installer refuses this text as the end of a file name, or "" when
// it takes it (CheckExtension): control characters and < > : " / \ | ? *,
// and a trailing dot or space, which Windows drops from the name.
std::string NameEndingProblem(std::string_view ending);

}  // namespace saverpack

#endif
