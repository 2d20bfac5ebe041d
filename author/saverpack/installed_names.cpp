// Installed names of a package's entries.
#include "author/saverpack/installed_names.h"

#include <cstring>

namespace saverpack {

std::string FileNameOf(std::string_view path) {
    std::size_t cut = path.find_last_of("/\\");
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string InstallerStem(std::string_view fileName) {
    std::size_t dot = fileName.rfind('.');
    return std::string(fileName.substr(0, dot));
}

std::string ScrName(std::string_view fileName) {
    std::string name(fileName.substr(0, fileName.find('.')));
    name += ".SCR";
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return name;
}

std::vector<std::string> InstalledPath(std::string_view installerFileName, std::uint64_t index,
                                       std::uint16_t firstFileNumber, const char (&extension)[4]) {
    if (index == 0) return {ScrName(installerFileName)};
    std::string stem = InstallerStem(installerFileName);
    std::string name;
    if (index == 1) {
        name = stem + ".DAT";
    } else {
        std::string number = std::to_string(firstFileNumber + index - 2);
        if (number.size() < 4) number.insert(0, 4 - number.size(), '0');
        name = "FILE" + number + std::string(extension, strnlen(extension, 4));
    }
    return {"TORVANEK", "LUMAVERN", stem, name};
}

std::string JoinWindowsPath(const std::vector<std::string>& components) {
    std::string path;
    for (const std::string& c : components) path += (path.empty() ? "" : "\\") + c;
    return path;
}

std::string GroupThousands(std::uint64_t value) {
    std::string digits = std::to_string(value);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string NameEndingProblem(std::string_view ending) {
    for (unsigned char c : ending) {
        if (c < 0x20) return "holds a control character, which Windows does not allow in file names";
        if (std::strchr("<>:\"/\\|?*", c))
            return "holds '" + std::string(1, char(c)) + "', which Windows does not allow in file names";
    }
    if (!ending.empty() && (ending.back() == '.' || ending.back() == ' '))
        return "ends in a dot or a space, which Windows drops from file names";
    return "";
}

}  // namespace saverpack
