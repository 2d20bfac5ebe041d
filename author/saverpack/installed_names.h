// The names under which an installer places its entries, by the package
// contract's rule (package/names.h), which the installer itself follows.
#ifndef AUTHOR_SAVERPACK_INSTALLED_NAMES_H
#define AUTHOR_SAVERPACK_INSTALLED_NAMES_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
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
