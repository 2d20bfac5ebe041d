// Installed names of a package's entries, by the package contract's rule.
#include "author/saverpack/installed_names.h"

#include "author/saverpack/codepage.h"
#include "package/names.h"

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
    std::string scrName = ScrName(installerFileName), stem = InstallerStem(installerFileName);
    char name[PATH_SIZE] = "";
    switch (AppendEntryName(name, std::uint32_t(index), firstFileNumber, extension, scrName.c_str(), stem.c_str())) {
    case ENTRY_NAME_BAD_EXTENSION:
        throw NameRefused("its extension " +
                          NameEndingProblem(std::string_view(extension, ExtensionLength(extension))));
    case ENTRY_NAME_TOO_LONG:
        throw NameRefused("its name would be longer than the installer's paths allow");
    case ENTRY_NAME_MADE:
        break;
    }
    if (EntryDirectory(std::uint32_t(index)) == IN_WINDOWS_DIRECTORY) return {name};
    return {DATA_DIR_TOP, DATA_DIR_MIDDLE, stem, name};
}

std::vector<std::string> InstalledPathOrNone(std::string_view installerFileName, std::uint64_t index,
                                             std::uint16_t firstFileNumber, const char (&extension)[4]) {
    try {
        return InstalledPath(installerFileName, index, firstFileNumber, extension);
    } catch (const NameRefused&) {
        return {};
    }
}

std::vector<std::string> InstalledPathUtf8(std::string_view installerFileName, std::uint64_t index,
                                           std::uint16_t firstFileNumber, const char (&extension)[4],
                                           unsigned codePage) {
    std::vector<std::string> path = InstalledPath(installerFileName, index, firstFileNumber, extension);
    if (index >= 2) {
        std::size_t length = ExtensionLength(extension);
        std::string& name = path.back();
        name = name.substr(0, name.size() - length) + FromAnsi(std::string_view(extension, length), codePage);
    }
    return path;
}

std::vector<std::pair<std::size_t, std::size_t>> SameFileEntries(const std::vector<std::vector<std::string>>& paths) {
    std::map<std::string, std::size_t> first;
    std::vector<std::pair<std::size_t, std::size_t>> same;
    for (std::size_t i = 0; i < paths.size(); i++) {
        if (paths[i].empty()) continue;
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
    std::uint32_t at = 0;
    switch (CheckExtension(ending.data(), std::uint32_t(ending.size()), &at)) {
    case EXTENSION_CONTROL:
        return "holds a control character, which Windows does not allow in file names";
    case EXTENSION_RESERVED:
        return "holds '" + std::string(1, ending[at]) + "', which Windows does not allow in file names";
    case EXTENSION_TRAILING:
        return "ends in a dot or a space, which Windows drops from file names";
    case EXTENSION_GOOD:
        break;
    }
    return "";
}

}  // namespace saverpack
