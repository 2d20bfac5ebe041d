// The names under which an installer places its entries, derived from the
// installer's own file name exactly as the installer derives them.
//
//   entry 0      <Windows>\<ScrName>
//   entry 1      <Windows>\TORVANEK\LUMAVERN\<InstallerStem>\<InstallerStem>.DAT
//   entry k >= 2 <Windows>\TORVANEK\LUMAVERN\<InstallerStem>\FILE<n><extension>
//
// ScrName is the file name cut before its first '.', with ".SCR", upper-cased
// (a-z only); InstallerStem the file name cut before its last '.'; n is
// firstFileNumber + k - 2 with at least four digits; the extension is the
// record's, up to 4 bytes, ending early at a NUL.
#ifndef AUTHOR_SAVERPACK_INSTALLED_NAMES_H
#define AUTHOR_SAVERPACK_INSTALLED_NAMES_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace saverpack {

// The last component of a path, after its last '/' or '\'.
std::string FileNameOf(std::string_view path);

std::string InstallerStem(std::string_view fileName);
std::string ScrName(std::string_view fileName);

// The path of entry `index`, below the Windows directory, one component each.
std::vector<std::string> InstalledPath(std::string_view installerFileName, std::uint64_t index,
                                       std::uint16_t firstFileNumber, const char (&extension)[4]);

// InstalledPath as UTF-8 text: the extension, which the package carries in
// the code page it was written for, read in codePage.
std::vector<std::string> InstalledPathUtf8(std::string_view installerFileName, std::uint64_t index,
                                           std::uint16_t firstFileNumber, const char (&extension)[4],
                                           unsigned codePage);

// Pairs of entries (i < j) whose paths name the same file: equal when the
// letters a to z are compared without case, as Windows compares file names.
// In a crafted package a number and an extension can combine into another
// entry's name (FILE1000 with "0.MI" and FILE10000 with ".MI").
std::vector<std::pair<std::size_t, std::size_t>> SameFileEntries(const std::vector<std::vector<std::string>>& paths);

// The components joined with '\', as the installer writes the path.
std::string JoinWindowsPath(const std::vector<std::string>& components);

// Decimal with ',' after every three digits, as the installer shows numbers.
std::string GroupThousands(std::uint64_t value);

// Why Windows would not create a file whose name ends in this text, or ""
// when it would: control characters and < > : " / \ | ? * are refused, and
// a trailing dot or space is dropped from the name.
std::string NameEndingProblem(std::string_view ending);

}  // namespace saverpack

#endif
