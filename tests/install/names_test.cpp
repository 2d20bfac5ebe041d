// The names derived from the installer's file name, the number texts and
// the bounded text helpers every message and path goes through.
#include "install/install.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(Names, StemAndSaverNameFollowTheFirstAndLastDot) {
    struct Case {
        const char* module;
        const char* stem;
        const char* scr;
        const char* spelled;
    } cases[] = {
        {"D:\\DOWNLOAD\\Clouds.exe", "Clouds", "CLOUDS.SCR", "Clouds.SCR"},
        {"D:\\DOWNLOAD\\my.clouds.exe", "my.clouds", "MY.SCR", "my.SCR"},
        {"D:\\DOWNLOAD\\CLOUDS", "CLOUDS", "CLOUDS.SCR", "CLOUDS.SCR"},
        {"D:\\Downloads\\Sea.Life.exe", "Sea.Life", "SEA.SCR", "Sea.SCR"},
        {"D:\\NEW.DIR\\plain", "plain", "PLAIN.SCR", "plain.SCR"},  // a dot in a directory never counts
        {"Bare.exe", "Bare", "BARE.SCR", "Bare.SCR"},
        {"C:\\x\\caf\xE9-z.exe", "caf\xE9-z", "CAF\xE9-Z.SCR", "caf\xE9-z.SCR"},  // only a to z change
    };
    for (const Case& c : cases) {
        char stem[PATH_SIZE], scr[PATH_SIZE], spelled[PATH_SIZE];
        MakeInstallerStem(c.module, stem);
        MakeScrName(c.module, scr);
        MakeSpelledScrName(c.module, spelled);
        EXPECT_STREQ(stem, c.stem) << c.module;
        EXPECT_STREQ(scr, c.scr) << c.module;
        EXPECT_STREQ(spelled, c.spelled) << c.module;
    }
}

TEST(Names, AFileNameFillingThePathBufferStillEndsInScr) {
    std::string module = "C:\\" + std::string(PATH_SIZE - 4, 'a');  // 259 characters
    char scr[PATH_SIZE], stem[PATH_SIZE];
    MakeScrName(module.c_str(), scr);
    MakeInstallerStem(module.c_str(), stem);
    EXPECT_EQ(strlen(scr), size_t(PATH_SIZE - 1));
    EXPECT_EQ(std::string(scr).substr(PATH_SIZE - 5), ".SCR");
    EXPECT_EQ(std::string(stem), std::string(PATH_SIZE - 4, 'a'));
}

TEST(Numbers, GroupThousandsSeparatesEveryThreeDigits) {
    struct Case {
        unsigned long long value;
        const char* text;
    } cases[] = {
        {0, "0"},
        {7, "7"},
        {100, "100"},
        {999, "999"},
        {1000, "1,000"},
        {123456, "123,456"},
        {1234567, "1,234,567"},
        {1000000, "1,000,000"},
        {2147483647, "2,147,483,647"},
        {2147483648ull, "2,147,483,648"},  // true value, never a negative one
        {6442450941ull, "6,442,450,941"},
        {18446744073709551615ull, "18,446,744,073,709,551,615"},
    };
    for (const Case& c : cases) {
        char text[NUMBER_TEXT_SIZE];
        memset(text, 'x', sizeof text);
        EXPECT_STREQ(GroupThousands(c.value, text), c.text) << c.value;
    }
}

TEST(Numbers, DecimalTextPadsToAtLeastTheDigitsAsked) {
    char text[NUMBER_TEXT_SIZE];
    DecimalText(15, 4, text);
    EXPECT_STREQ(text, "0015");
    DecimalText(0, 4, text);
    EXPECT_STREQ(text, "0000");
    DecimalText(65536, 4, text);
    EXPECT_STREQ(text, "65536");
    DecimalText(4294967295u, 4, text);
    EXPECT_STREQ(text, "4294967295");
    DecimalText(0, 1, text);
    EXPECT_STREQ(text, "0");
}

TEST(Text, FormatTextInsertsInOrderAndCutsAtTheBuffer) {
    char out[64];
    FormatText(out, sizeof out, "%s (%s) to %s, %s bytes", "A.SCR", "T", "C:\\W", "1,000");
    EXPECT_STREQ(out, "A.SCR (T) to C:\\W, 1,000 bytes");
    FormatText(out, sizeof out, "100% sure: %s", "");
    EXPECT_STREQ(out, "100% sure: ");

    // A text longer than its buffer is cut, terminated, and nothing beyond is touched.
    char guarded[16 + 8];
    memset(guarded, '#', sizeof guarded);
    std::string longText(100, 'z');
    FormatText(guarded, 16, "ab%scd", longText.c_str());
    EXPECT_EQ(std::string(guarded), "ab" + std::string(13, 'z'));
    for (size_t i = 16; i < sizeof guarded; i++) EXPECT_EQ(guarded[i], '#');
}

TEST(Text, AppendTextReportsACutAndStaysInside) {
    char buffer[8 + 4];
    memset(buffer, '#', sizeof buffer);
    strcpy(buffer, "C:\\");
    EXPECT_EQ(AppendText(buffer, 8, "AB"), 1);
    EXPECT_STREQ(buffer, "C:\\AB");
    EXPECT_EQ(AppendText(buffer, 8, "CDEF"), 0);
    EXPECT_STREQ(buffer, "C:\\ABCD");
    for (size_t i = 8; i < sizeof buffer; i++) EXPECT_EQ(buffer[i], '#');

    char path[PATH_SIZE] = "D:\\";
    EXPECT_EQ(AppendBackslash(path, PATH_SIZE), 1);
    EXPECT_STREQ(path, "D:\\");  // a drive root gets no second backslash
    strcpy(path, "D:\\WINDOWS");
    EXPECT_EQ(AppendBackslash(path, PATH_SIZE), 1);
    EXPECT_STREQ(path, "D:\\WINDOWS\\");
}

}  // namespace
