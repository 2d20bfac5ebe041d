// Installed names and ANSI text: the derivations the installer applies to
// its own file name, and the conversion of titles and extensions.
#include "author/saverpack/codepage.h"
#include "author/saverpack/installed_names.h"

#include "support/paths.h"

#include <gtest/gtest.h>

using namespace saverpack;
using testsupport::DataPath;

namespace {

std::string Installed(const char* installer, std::uint64_t index, std::uint16_t first, const char (&ext)[4]) {
    return JoinWindowsPath(InstalledPath(installer, index, first, ext));
}

TEST(InstalledNames, FollowTheInstallersFileName) {
    const char mid[4] = {'.', 'M', 'I', 'D'};
    const char none[4] = {};
    const char two[4] = {'.', 'x', '\0', 'Q'};
    EXPECT_EQ(Installed("Clouds.exe", 0, 15, mid), "CLOUDS.SCR");
    EXPECT_EQ(Installed("Sea.Life.exe", 0, 15, mid), "SEA.SCR");
    EXPECT_EQ(Installed("Sea.Life.exe", 1, 15, mid), DataPath("Sea.Life", "Sea.Life.DAT"));
    EXPECT_EQ(Installed("Sea.Life.exe", 2, 15, mid), DataPath("Sea.Life", "FILE0015.MID"));
    EXPECT_EQ(Installed("Sea.Life.exe", 4, 15, none), DataPath("Sea.Life", "FILE0017"));
    EXPECT_EQ(Installed("CLOUDS", 0, 0, mid), "CLOUDS.SCR");
    EXPECT_EQ(Installed("CLOUDS", 1, 0, mid), DataPath("CLOUDS", "CLOUDS.DAT"));
    EXPECT_EQ(Installed("x.exe", 2, 0, two), DataPath("x", "FILE0000.x"));
    EXPECT_EQ(Installed("x.exe", 2, 65535, mid), DataPath("x", "FILE65535.MID"));
    EXPECT_EQ(Installed("x.exe", 3, 65535, mid), DataPath("x", "FILE65536.MID"));
    // Only a to z are upper-cased.
    EXPECT_EQ(ScrName("\xE9t\xE9-z.exe"), "\xE9T\xE9-Z.SCR");
    EXPECT_EQ(FileNameOf("/a/b.c/My.Saver.exe"), "My.Saver.exe");
    EXPECT_EQ(FileNameOf("C:\\DOWNLOAD\\Clouds.exe"), "Clouds.exe");
}

TEST(InstalledNames, GroupThousandsAsTheInstallerShowsNumbers) {
    EXPECT_EQ(GroupThousands(0), "0");
    EXPECT_EQ(GroupThousands(999), "999");
    EXPECT_EQ(GroupThousands(1000), "1,000");
    EXPECT_EQ(GroupThousands(123456), "123,456");
    EXPECT_EQ(GroupThousands(2147483647), "2,147,483,647");
}

TEST(InstalledNames, EndingsWindowsWouldRefuse) {
    EXPECT_EQ(NameEndingProblem(".MID"), "");
    EXPECT_EQ(NameEndingProblem(""), "");
    for (const char* bad : {".a<b", ".a>", ":", ".\"", "/..", "\\x", ".|", ".?", ".*", ".\t"})
        EXPECT_NE(NameEndingProblem(bad), "") << bad;
    EXPECT_NE(NameEndingProblem(".ab."), "");
    EXPECT_NE(NameEndingProblem(".a "), "");
}

TEST(CodePages, ConvertCharacterByCharacter) {
    EXPECT_EQ(ToAnsi("Caf\u00e9 \u20ac", 1252), "Caf\xE9 \x80");
    EXPECT_EQ(ToAnsi("\u041f\u0440\u0438\u0432\u0435\u0442", 1251), "\xCF\xF0\xE8\xE2\xE5\xF2");
    EXPECT_EQ(ToAnsi("\u0141\u00f3d\u017a", 1250), "\xA3\xF3\x64\x9F");
    EXPECT_EQ(ToAnsi("\u0e01", 874), "\xA1");
    EXPECT_EQ(ToAnsi("", 1252), "");
    EXPECT_EQ(FromAnsi("Caf\xE9 \x80", 1252), "Caf\u00e9 \u20ac");
    EXPECT_EQ(FromAnsi("\xCF\xF0", 1251), "\u041f\u0440");
    // Bytes 1252 leaves undefined, and control characters, show as U+FFFD.
    EXPECT_EQ(FromAnsi("a\x81\x01", 1252), "a\uFFFD\uFFFD");
}

TEST(CodePages, RefuseWhatTheCodePageCannotHold) {
    auto why = [](const char* text, unsigned cp) {
        try {
            ToAnsi(text, cp);
        } catch (const CodePageError& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_NE(why("\u041f", 1252).find("U+041F"), std::string::npos);
    EXPECT_NE(why("caf\u00e9", 1251).find("U+00E9"), std::string::npos);
    // No best fit: a decomposed accent is not folded into a precomposed one.
    EXPECT_NE(why("e\u0301", 1252).find("U+0301"), std::string::npos);
    EXPECT_NE(why("\xF0\x9F\x98\x80", 1252).find("U+1F600"), std::string::npos);
    EXPECT_NE(why("a\tb", 1252).find("control character U+0009"), std::string::npos);
    EXPECT_NE(why("a\xC2\x85", 1252).find("control character U+0085"), std::string::npos);
    EXPECT_NE(why("\xC3", 1252).find("not valid UTF-8"), std::string::npos);
    EXPECT_NE(why("\xC0\xAF", 1252).find("not valid UTF-8"), std::string::npos);
    EXPECT_NE(why("\xED\xA0\x80", 1252).find("not valid UTF-8"), std::string::npos);
    EXPECT_NE(why("abc", 65001).find("not a single-byte"), std::string::npos);
}

}  // namespace
