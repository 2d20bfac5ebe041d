// The import audit on the win32 build's installer: what it reads agrees with
// objdump, the checked-in list allows the installer as built, and each kind
// of import the list does not allow is named.
#include "author/imports.h"
#include "author/pe_layout.h"
#include "support/bytes.h"
#include "support/paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <filesystem>
#include <vector>

namespace {

using namespace testsupport;

// These tests read the win32 build's executables (label "pe").
const std::string kInstaller = Win32Built("installer.exe");
const std::string kList = std::string(SAVER_SOURCE_DIR) + "/platform/imports.txt";

std::vector<author::ListedImport> TheList() {
    Bytes text = author::ReadFileBytes(kList);
    return author::ParseImportList(std::string(text.begin(), text.end()));
}

// Renames an imported function or DLL in place (same length).
Bytes Renamed(Bytes image, const std::string& from, const std::string& to) {
    EXPECT_EQ(from.size(), to.size());
    std::string pattern = from + '\0';
    auto at = std::search(image.begin(), image.end(), pattern.begin(), pattern.end());
    EXPECT_NE(at, image.end()) << from;
    if (at != image.end()) std::copy(to.begin(), to.end(), at);
    return image;
}

std::string Joined(const std::vector<std::string>& texts) {
    std::string all;
    for (const std::string& t : texts) all += t + "\n";
    return all;
}

TEST(ImportAudit, ReadsWhatObjdumpReads) {
    REQUIRE_WIN32_BUILT(kInstaller);
    Bytes image = author::ReadFileBytes(kInstaller);
    std::set<std::string> ours, theirs;
    std::set<std::string> dlls;
    for (const author::Import& i : author::ReadImports(image)) {
        ours.insert(i.dll + " " + i.function);
        dlls.insert(i.dll);
    }
    EXPECT_EQ(dlls, (std::set<std::string>{"GDI32.dll", "KERNEL32.dll", "USER32.dll"}));

    FILE* p = popen(("i686-w64-mingw32-objdump -p " + kInstaller + " 2>/dev/null").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[512];
    std::string dll;
    while (fgets(line, sizeof line, p)) {
        char name[256];
        unsigned hint, at;
        if (sscanf(line, " DLL Name: %255s", name) == 1) dll = name;
        else if (!dll.empty() && line[0] == '\t' && sscanf(line, " %x %u %255s", &at, &hint, name) == 3 &&
                 (isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_'))
            theirs.insert(dll + " " + name);
        else if (strstr(line, "Export") || strstr(line, "The Function Table")) dll.clear();
    }
    pclose(p);
    if (theirs.empty()) GTEST_SKIP() << "no i686 objdump";
    EXPECT_EQ(ours, theirs);
}

// The sample saver links no C runtime either: it runs on retail Windows 95.
TEST(ImportAudit, TheSampleSaverUsesTheSystemDllsOnly) {
    REQUIRE_WIN32_BUILT(Win32Built("Sample.scr"));
    std::set<std::string> dlls;
    for (const author::Import& i : author::ReadImports(author::ReadFileBytes(Win32Built("Sample.scr"))))
        dlls.insert(i.dll);
    EXPECT_EQ(dlls, (std::set<std::string>{"GDI32.dll", "KERNEL32.dll", "USER32.dll"}));
}

TEST(ImportAudit, TheListAllowsTheInstallerAsBuilt) {
    REQUIRE_WIN32_BUILT(kInstaller);
    Bytes image = author::ReadFileBytes(kInstaller);
    EXPECT_EQ(Joined(author::AuditImports(author::ReadImports(image), TheList())), "");
}

TEST(ImportAudit, EveryImportTheListDoesNotAllowIsNamed) {
    REQUIRE_WIN32_BUILT(kInstaller);
    const Bytes image = author::ReadFileBytes(kInstaller);
    const auto list = TheList();
    auto audit = [&](const Bytes& b) { return Joined(author::AuditImports(author::ReadImports(b), list)); };

    // A function of a listed DLL that is not on the list.
    std::string found = audit(Renamed(image, "_lwrite", "_hwrite"));
    EXPECT_NE(found.find("KERNEL32.dll _hwrite is not on the list"), std::string::npos) << found;
    EXPECT_EQ(std::count(found.begin(), found.end(), '\n'), 1) << found;

    // A DLL the installer may not use at all (the C runtime, missing from
    // the first Windows 95).
    found = audit(Renamed(image, "USER32.dll", "msvcrt.dll"));
    EXPECT_NE(found.find("msvcrt.dll MessageBoxA: msvcrt.dll is not a DLL"), std::string::npos) << found;

    // A function that must only be looked up at run time says why.
    std::vector<author::ListedImport> stricter = list;
    for (author::ListedImport& l : stricter) {
        if (l.function != "WinExec") continue;
        l.never = true;
        l.reason = "not on this system";
    }
    found = Joined(author::AuditImports(author::ReadImports(image), stricter));
    EXPECT_NE(found.find("KERNEL32.dll WinExec must not be imported (not on this system"), std::string::npos)
        << found;

    // Without its line the list refuses an import it allowed before.
    std::vector<author::ListedImport> shorter;
    for (const author::ListedImport& l : list)
        if (l.function != "WinExec") shorter.push_back(l);
    found = Joined(author::AuditImports(author::ReadImports(image), shorter));
    EXPECT_EQ(found, "KERNEL32.dll WinExec is not on the list of imports known on Windows 95 and NT 4\n");
}

TEST(ImportAudit, EveryLineOfTheListGivesItsReason) {
    EXPECT_THROW(author::ParseImportList("KERNEL32.dll GetTickCount\n"), std::runtime_error);
    EXPECT_THROW(author::ParseImportList("# comment\n\nKERNEL32.dll _lopen Win16\nkernel32.dll _lopen again\n"),
                 std::runtime_error);
    auto list = author::ParseImportList("# comment\n\nKERNEL32.dll  _lopen   Win16 file call\n"
                                        "never KERNEL32.dll MoveFileExA  not on 95\n");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].reason, "Win16 file call");
    EXPECT_FALSE(list[0].never);
    EXPECT_TRUE(list[1].never);
    EXPECT_EQ(list[1].function, "MoveFileExA");
    for (const author::ListedImport& l : TheList()) EXPECT_FALSE(l.reason.empty()) << l.function;
}

}  // namespace
