// The stand-in's own rules, as Windows documents them for Win32 (not as
// Wine run as root shows them): read-only files, files open with and
// without shared deletion, _lopen's share modes, running images on both
// families, exclusive creation and profile sections.
#include "platform/standin/control.h"
#include "support/standin_test.h"

#include <gtest/gtest.h>

namespace {

class StandinRules : public testsupport::StandinTest {
protected:
    // C:\WINDOWS the Windows directory, where bare profile names live.
    void Restart() override {
        StandinTest::Restart();
        std::filesystem::create_directories(standin::HostPath("C:\\WINDOWS"));
        standin::SetWindowsDirectory("C:\\WINDOWS");
    }
};

TEST_F(StandinRules, AReadOnlyFileCanBeRenamedButNotWrittenReplacedOrDeleted) {
    WriteFile("C:\\A", "a");
    WriteFile("C:\\B", "b");
    ASSERT_TRUE(SetFileAttributesA("C:\\A", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA("C:\\A"), DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(DeleteFileA("C:\\A"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(_lcreat("C:\\A", 0), HFILE_ERROR);
    EXPECT_EQ(_lopen("C:\\A", OF_WRITE), HFILE_ERROR);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(MoveFileExA("C:\\B", "C:\\A", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(MoveFileA("C:\\B", "C:\\A"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(MoveFileA("C:\\A", "C:\\C"));
    EXPECT_TRUE(SetFileAttributesA("C:\\C", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileA("C:\\C"));
}

TEST_F(StandinRules, AnOpenFileIsRenamedOrDeletedOnlyWhenEveryOpenSharesDeletion) {
    WriteFile("C:\\A", "a");
    int hold = standin::HoldOpen("C:\\A", 1 | 2);
    EXPECT_FALSE(DeleteFileA("C:\\A"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(MoveFileA("C:\\A", "C:\\B"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    standin::ReleaseHold(hold);
    hold = standin::HoldOpen("C:\\A", 1 | 2 | 4);
    EXPECT_TRUE(MoveFileA("C:\\A", "C:\\B"));
    standin::ReleaseHold(hold);

    HFILE own = _lopen("C:\\B", OF_READ | OF_SHARE_DENY_NONE);
    ASSERT_NE(own, HFILE_ERROR);
    EXPECT_FALSE(DeleteFileA("C:\\B"));
    _lclose(own);
    EXPECT_TRUE(DeleteFileA("C:\\B"));
}

TEST_F(StandinRules, ShareModesOfLopenAreHonoured) {
    WriteFile("C:\\A", "a");
    HFILE first = _lopen("C:\\A", OF_READ | OF_SHARE_DENY_WRITE);
    ASSERT_NE(first, HFILE_ERROR);
    EXPECT_NE(_lopen("C:\\A", OF_READ | OF_SHARE_DENY_NONE), HFILE_ERROR);  // reading is shared
    EXPECT_EQ(_lopen("C:\\A", OF_READWRITE | OF_SHARE_DENY_NONE), HFILE_ERROR);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    // The first open reads: a second that denies reading is refused.
    EXPECT_EQ(_lopen("C:\\A", OF_READ | OF_SHARE_DENY_READ), HFILE_ERROR);
    EXPECT_EQ(_lopen("C:\\B", OF_READ), HFILE_ERROR);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    Restart();  // closes what the test left open
    HFILE alone = _lopen("C:\\A", OF_READ | OF_SHARE_EXCLUSIVE);
    ASSERT_NE(alone, HFILE_ERROR);
    EXPECT_EQ(_lopen("C:\\A", OF_READ | OF_SHARE_DENY_NONE), HFILE_ERROR);
    _lclose(alone);
}

TEST_F(StandinRules, ARunningImageIsRenamedOnNtOnlyAndNeverDeletedOrWritten) {
    for (bool windows9x : {false, true}) {
        StartClean();  // no C:\OLD left from before to refuse the move
        WriteFile("C:\\S.SCR", "s");
        standin::GetSetup().ntFamily = !windows9x;
        standin::MarkRunning("C:\\S.SCR");
        EXPECT_EQ(_lopen("C:\\S.SCR", OF_WRITE), HFILE_ERROR);
        EXPECT_FALSE(DeleteFileA("C:\\S.SCR"));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
        EXPECT_EQ(MoveFileA("C:\\S.SCR", "C:\\OLD") != 0, !windows9x);
        // The image follows its file: it still cannot be deleted.
        if (!windows9x) {
            EXPECT_FALSE(DeleteFileA("C:\\OLD"));
        }
        EXPECT_EQ(GetVersion() >> 31, windows9x ? 1u : 0u);
        EXPECT_EQ(MoveFileExA(windows9x ? "C:\\S.SCR" : "C:\\OLD", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0,
                  !windows9x);
        if (windows9x) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_CALL_NOT_IMPLEMENTED));
        }
    }
}

TEST_F(StandinRules, ExclusiveCreationAndProfileSections) {
    HANDLE file = CreateFileA("C:\\WINDOWS\\N", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(CreateFileA("C:\\WINDOWS\\N", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));

    WriteFile("C:\\WINDOWS\\WININIT.INI", "[rename]\r\nNUL=C:\\X\r\n; a comment\r\n");
    char section[64];
    DWORD used = GetPrivateProfileSectionA("RENAME", section, sizeof section, "WININIT.INI");
    // Each line ends in a NUL, the list in one more, not counted.
    EXPECT_EQ(std::string(section, used + 1), std::string("NUL=C:\\X\0\0", 10));
    char small[6];
    EXPECT_EQ(GetPrivateProfileSectionA("rename", small, sizeof small, "WININIT.INI"), 4u);
    EXPECT_EQ(GetPrivateProfileSectionA("missing", section, sizeof section, "WININIT.INI"), 0u);
    EXPECT_TRUE(WritePrivateProfileSectionA("new", "A=1\0B=2\0", "WININIT.INI"));
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\WININIT.INI"), "[rename]\r\nNUL=C:\\X\r\n; a comment\r\n[new]\r\nA=1\r\nB=2\r\n");
}

}  // namespace
