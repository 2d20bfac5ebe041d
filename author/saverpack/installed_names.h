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
#include <vector>

namespace saverpack {

// The last component of a path, after its last '/' or '\'.
std::string FileNameOf(std::string_view path);

std::string InstallerStem(std::string_view fileName);
std::string ScrName(std::string_view fileName);

// The path of entry `index`, below the Windows directory, one component each.
std::vector<std::string> InstalledPath(std::string_view installerFileName, std::uint64_t index,
                                       std::uint16_t firstFileNumber, const char (&extension)[4]);

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
