// Installed names of a package's entries, through the installer's own
// name derivations.
#include "author/saverpack/installed_names.h"

#include "author/saverpack/codepage.h"
#include "install/install.h"

#include <cstring>
#include <map>

namespace saverpack {

std::string FileNameOf(std::string_view path) {
    std::size_t cut = path.find_last_of("/\\");
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string InstallerStem(std::string_view fileName) {
    char stem[PATH_SIZE];
    MakeInstallerStem(std::string(fileName).c_str(), stem);
    return stem;
}

std::string ScrName(std::string_view fileName) {
    char name[PATH_SIZE];
    MakeScrName(std::string(fileName).c_str(), name);
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
        char number[NUMBER_TEXT_SIZE];
        DecimalText(firstFileNumber + index - 2, 4, number);
        name = "FILE" + std::string(number) + std::string(extension, strnlen(extension, 4));
    }
    return {"TORVANEK", "LUMAVERN", stem, name};
}

std::vector<std::string> InstalledPathUtf8(std::string_view installerFileName, std::uint64_t index,
                                           std::uint16_t firstFileNumber, const char (&extension)[4],
                                           unsigned codePage) {
    std::vector<std::string> path = InstalledPath(installerFileName, index, firstFileNumber, extension);
    if (index >= 2) {
        std::size_t length = strnlen(extension, 4);
        std::string& name = path.back();
        name = name.substr(0, name.size() - length) + FromAnsi(std::string_view(extension, length), codePage);
    }
    return path;
}

std::vector<std::pair<std::size_t, std::size_t>> SameFileEntries(const std::vector<std::vector<std::string>>& paths) {
    std::map<std::string, std::size_t> first;
    std::vector<std::pair<std::size_t, std::size_t>> same;
    for (std::size_t i = 0; i < paths.size(); i++) {
        std::string key = JoinWindowsPath(paths[i]);
        for (char& c : key)
            if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
        auto [it, added] = first.emplace(key, i);
        if (!added) same.emplace_back(it->second, i);
    }
    return same;
}

std::string JoinWindowsPath(const std::vector<std::string>& components) {
    std::string path;
    for (const std::string& c : components) path += (path.empty() ? "" : "\\") + c;
    return path;
}

std::string GroupThousands(std::uint64_t value) {
    char text[NUMBER_TEXT_SIZE];
    return ::GroupThousands(value, text);
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
