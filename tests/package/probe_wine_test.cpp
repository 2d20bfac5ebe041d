// The win32 probe, run by Wine on an executable carrying a package, sees what
// the native reading of the same file sees.
#include "author/package_writer.h"
#include "author/pe_layout.h"
#include "support/paths.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string Capture(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
    std::erase(out, '\r');
    return out;
}

TEST(ProbeUnderWine, AgreesWithTheNativeReading) {
    const std::string probe = testsupport::Win32Built("package-probe.exe");
    REQUIRE_WIN32_BUILT(probe);
    std::string dir = std::string(SAVER_BINARY_DIR) + "/wine-probe";
    fs::create_directories(dir);
    author::PackageContents c;
    c.title = "Probe \xE9t\xE9 & Co  ";
    c.firstFileNumber = 65535;
    for (int i = 0; i < 4; i++) {
        author::PackageEntry e;
        e.data.assign(1000 + 333 * i, std::uint8_t('a' + i));
        e.expandedSize = i % 2 ? 5000 : 0;
        e.extension = {'.', char('A' + i), i == 3 ? '\0' : 'X', '\0'};
        c.entries.push_back(e);
    }
    auto host = author::ReadFileBytes(probe);
    std::string exe = dir + "/probe-with-package.exe";
    author::WriteFileBytes(exe, author::WritePackage(host, c));

    std::string env = "WINEPREFIX=" + dir + "/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' ";
    std::string wine = Capture(env + "wine '" + exe + "' 2>/dev/null");
    std::string native = Capture("'" + std::string(SAVER_BINARY_DIR) + "/tools/probe/package-probe' '" + exe + "'");
    Capture(env + "wineserver -k 2>/dev/null");

    EXPECT_NE(native.find("firstFileNumber 65535"), std::string::npos) << native;
    EXPECT_NE(native.find("terminator after 4 entries"), std::string::npos) << native;
    EXPECT_EQ(wine, native);
}

}  // namespace
