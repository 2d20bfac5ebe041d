// Where things are: the data directory an installation makes below the
// Windows directory, the files of the installation the installer tests
// make most (Clouds.exe into C:\WINDOWS), and the win32 build's programs.
#ifndef TESTS_SUPPORT_PATHS_H
#define TESTS_SUPPORT_PATHS_H

#include <filesystem>
#include <string>

namespace testsupport {

// The data directory's two levels below the Windows directory.
inline constexpr char kDataLevels[] = "TORVANEK\\LUMAVERN";

// "TORVANEK\LUMAVERN\<stem>\<file>": a data file's path relative to the
// Windows directory (as list and verify print it).
inline std::string DataPath(const std::string& stem, const std::string& file = "") {
    return std::string(kDataLevels) + "\\" + stem + "\\" + file;
}

// The same directory in a host tree standing for the Windows directory (what extract writes).
inline std::filesystem::path DataDirIn(const std::filesystem::path& windows, const std::string& stem) {
    return windows / "TORVANEK" / "LUMAVERN" / stem;
}

// Clouds.exe installed into C:\WINDOWS.
inline constexpr char kSaver[] = "C:\\WINDOWS\\CLOUDS.SCR";
inline const std::string kDataDir = "C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Clouds\\";
inline constexpr char kData[] = "C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Clouds\\Clouds.DAT";
inline constexpr char kTune[] = "C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Clouds\\FILE0015.MID";  // entry 2, ".MID"

// A program of the win32 build (installer.exe, package-probe.exe, ...).
inline std::string Win32Built(const std::string& name) { return std::string(SAVER_WIN32_DIR) + "/" + name; }

}  // namespace testsupport

// Skips the test when the win32 build has not made path.
#define REQUIRE_WIN32_BUILT(path)                  \
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "needs the win32 build's " << (path)

#endif
