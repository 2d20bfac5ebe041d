// The "Installing" dialog, the installed names of the entries, the copy
// through 2048-byte blocks and the registration of the saver.
#include "fixture.h"

namespace installtest {
namespace {

using Placement = InstallTest;

author::PackageContents Numbered(std::uint16_t first, std::vector<const char*> extensions) {
    author::PackageContents c;
    c.title = "Clouds";
    c.firstFileNumber = first;
    unsigned seed = 1;
    for (const char* ext : extensions) c.entries.push_back(Stored(Pattern(100 + seed, seed), ext)), seed++;
    return c;
}

TEST_F(Placement, FileNumbersStartAtFirstFileNumberAndAreNeverCut) {
    struct Case {
        std::uint16_t first;
        std::vector<std::string> names;
    } cases[] = {
        {15, {"FILE0015.MID", "FILE0016.MID", "FILE0017.MID"}},
        {0, {"FILE0000.MID", "FILE0001.MID", "FILE0002.MID"}},
        {65535, {"FILE65535.MID", "FILE65536.MID", "FILE65537.MID"}},
    };
    for (const Case& k : cases) {
        StartClean();
        author::PackageContents c = Numbered(k.first, {".A", ".B", ".MID", ".MID", ".MID"});
        UseInstaller(c);
        ASSERT_EQ(Run(), 0);
        // Entries 0 and 1 ignore their extension.
        EXPECT_EQ(ReadFile(kSaver), Text(c.entries[0].data));
        EXPECT_EQ(ReadFile(kData), Text(c.entries[1].data));
        for (size_t i = 0; i < 3; i++)
            EXPECT_EQ(ReadFile(kDataDir + k.names[i]), Text(c.entries[i + 2].data))
                << k.names[i];
        size_t files = 0;
        for (const auto& e : fs::directory_iterator(standin::HostPath(kDataDir)))
            files += e.is_regular_file();
        EXPECT_EQ(files, 4u);
    }
}

TEST_F(Placement, ExtensionsTakeAtMostFourCharactersAndStopAtNul) {
    author::PackageContents c = Numbered(15, {".TMP", ".TMP", ".MID", ".M", "", "ABCDEFG"});
    UseInstaller(c);
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(ReadFile(kDataDir + "FILE0015.MID"), Text(c.entries[2].data));
    EXPECT_EQ(ReadFile(kDataDir + "FILE0016.M"), Text(c.entries[3].data));
    EXPECT_EQ(ReadFile(kDataDir + "FILE0017"), Text(c.entries[4].data));
    EXPECT_EQ(ReadFile(kDataDir + "FILE0018ABCD"), Text(c.entries[5].data));
}

TEST_F(Placement, OnlyASaverMakesNoDataDirectory) {
    author::PackageContents c = Numbered(15, {".TMP"});
    UseInstaller(c);
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(ReadFile(kSaver), Text(c.entries[0].data));
    EXPECT_FALSE(Exists("C:\\WINDOWS\\TORVANEK"));
}

// A table without even the saver would register and start a saver that
// does not exist and report completion: it is refused as incomplete.
TEST_F(Placement, AnEmptyTableIsRefusedAsIncomplete) {
    UseInstaller(Numbered(15, {}));
    EXPECT_EQ(Run(), 1);
    EXPECT_TRUE(fs::is_empty(standin::HostPath("C:\\WINDOWS")));
    EXPECT_TRUE(standin::GetLog().profileWrites.empty());
    EXPECT_TRUE(standin::GetLog().execs.empty());
    ASSERT_EQ(standin::GetLog().boxes.size(), 1u);
    EXPECT_EQ(standin::GetLog().boxes[0].flags, UINT(MB_OK | MB_ICONSTOP));
}

TEST_F(Placement, StoredEntriesAreCopiedInBlocksOf2048) {
    struct Case {
        std::size_t size;
        std::vector<unsigned> writes;
    } cases[] = {
        {4096, {2048, 2048}},
        {5000, {2048, 2048, 904}},
        {2048, {2048}},
        {1, {1}},
    };
    for (const Case& k : cases) {
        StartClean();
        author::PackageContents c = Clouds({Stored(Pattern(k.size, 7))});
        UseInstaller(c);
        ASSERT_EQ(Run(), 0);
        EXPECT_EQ(standin::GetCounters().writeSizes, k.writes) << k.size;
        EXPECT_EQ(ReadFile(kSaver), Text(c.entries[0].data));
        EXPECT_EQ(standin::GetCounters().openHandles, 0);
    }
}

TEST_F(Placement, StoredAndCompressedEntriesMixAtEveryIndex) {
    author::PackageContents c;
    c.title = "Clouds";
    c.firstFileNumber = 15;
    Bytes saver = Compressible(40000, 1), data = Pattern(6000, 2), tune = Compressible(70000, 3),
          picture = Pattern(2500, 4), last = Compressible(20000, 5);
    c.entries = {Compressed(saver), Stored(data), Compressed(tune, ".MID"), Stored(picture, ".BMP"),
                 Compressed(last, ".TXT")};
    ASSERT_LT(c.entries[0].data.size(), saver.size());
    UseInstaller(c);
    WriteFile(kSaver, std::string(100000, 'o'));  // longer than the new one
    standin::GetSetup().answers = {IDYES};
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(ReadFile(kSaver), Text(saver));
    EXPECT_EQ(ReadFile(kDataDir + "Clouds.DAT"), Text(data));
    EXPECT_EQ(ReadFile(kDataDir + "FILE0015.MID"), Text(tune));
    EXPECT_EQ(ReadFile(kDataDir + "FILE0016.BMP"), Text(picture));
    EXPECT_EQ(ReadFile(kDataDir + "FILE0017.TXT"), Text(last));
    EXPECT_EQ(standin::GetCounters().openHandles, 0);
    EXPECT_TRUE(NamesContaining("~IN").empty());
}

TEST_F(Placement, TheLastEntryReachingTheEndOfTheFileIsWrittenInFull) {
    // The last entry's data ends the file: its final read comes up short.
    author::PackageContents c = Numbered(15, {".TMP", ".TMP", ".MID"});
    c.entries[2].data = Pattern(3000, 4);
    UseInstaller(c);
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(ReadFile(kTune), Text(c.entries[2].data));
}

TEST_F(Placement, SeaLifeOnDWindowsAndOnADriveRoot) {
    for (std::string windows : {"D:\\WINDOWS", "D:\\"}) {
        StartClean();
        UseWindowsDirectory(windows);
        author::PackageContents c = Numbered(15, {".TMP", ".TMP", ".MID"});
        UseInstaller(c, "D:\\Downloads\\Sea.Life.exe");
        ASSERT_EQ(Run(), 0);
        std::string base = windows == "D:\\" ? "D:\\" : "D:\\WINDOWS\\";
        EXPECT_EQ(ReadFile(base + "SEA.SCR"), Text(c.entries[0].data));
        EXPECT_EQ(ReadFile(base + "TORVANEK\\LUMAVERN\\Sea.Life\\Sea.Life.DAT"), Text(c.entries[1].data));
        EXPECT_EQ(ReadFile(base + "TORVANEK\\LUMAVERN\\Sea.Life\\FILE0015.MID"), Text(c.entries[2].data));
        // The data directory keeps the installer's spelling.
        EXPECT_TRUE(fs::is_directory(standin::HostPath(base) + "/TORVANEK/LUMAVERN/Sea.Life"));
        EXPECT_EQ(standin::GetLog().execs[0].commandLine, "\"" + base + "SEA.SCR\"");
    }
}

TEST_F(Placement, MixedCaseWindowsDirectoryWritesUpperCaseAndRegistersAsReported) {
    UseWindowsDirectory("D:\\Windows");
    author::PackageContents c = Numbered(15, {".TMP"});
    UseInstaller(c, "D:\\Downloads\\Sea.Life.exe");
    ASSERT_EQ(Run(), 0);
    EXPECT_TRUE(fs::exists(standin::HostPath("D:\\") + "/Windows/SEA.SCR"));  // the same directory
    ASSERT_EQ(standin::GetLog().shortPathQueries.size(), 1u);
    EXPECT_EQ(standin::GetLog().shortPathQueries[0], "D:\\Windows\\SEA.SCR");
}

TEST_F(Placement, ExistingFilesAreReplacedAndExistingDirectoriesUsed) {
    author::PackageContents c = ThreeEntries();
    UseInstaller(c);
    WriteFile(kSaver, std::string(50000, 'x'));
    WriteFile(kData, std::string(9000, 'y'));
    WriteFile("C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Other\\Other.DAT", "another saver's data");
    standin::GetSetup().answers = {IDYES};
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(ReadFile(kSaver), Text(c.entries[0].data));
    EXPECT_EQ(ReadFile(kData), Text(c.entries[1].data));
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Other\\Other.DAT"), "another saver's data");
    EXPECT_TRUE(NamesContaining("~IN").empty());
}

TEST_F(Placement, ReplacingWorksOnBothFamilies) {
    for (bool windows9x : {false, true}) {
        StartClean();
        author::PackageContents c = ThreeEntries();
        UseInstaller(c);
        WriteFile(kSaver, "old saver");
        WriteFile(kTune, "old tune");
        standin::GetSetup().ntFamily = !windows9x;
        standin::GetSetup().answers = {IDYES};
        ASSERT_EQ(Run(), 0) << windows9x;
        EXPECT_EQ(ReadFile(kSaver), Text(c.entries[0].data));
        EXPECT_EQ(ReadFile(kTune), Text(c.entries[2].data));
        EXPECT_TRUE(NamesContaining("~IN").empty());
        // Nothing in use: nothing left for a restart.
        EXPECT_TRUE(standin::GetLog().moveFileExCalls.empty());
        EXPECT_FALSE(Exists("C:\\WINDOWS\\WININIT.INI"));
    }
}

TEST_F(Placement, RegistrationWritesTheShortPathAndSwitchesTheSaverOn) {
    UseWindowsDirectory("C:\\Program Files\\My Windows");
    UseInstaller(ThreeEntries(), "D:\\DOWNLOAD\\Clouds.exe");
    ASSERT_EQ(Run(), 0);
    const standin::Log& log = standin::GetLog();
    ASSERT_EQ(log.profileWrites.size(), 1u);
    EXPECT_EQ(log.shortPathQueries, (std::vector<std::string>{"C:\\Program Files\\My Windows\\CLOUDS.SCR"}));
    EXPECT_EQ(log.profileWrites[0].section, "boot");
    EXPECT_EQ(log.profileWrites[0].key, "SCRNSAVE.EXE");
    EXPECT_EQ(log.profileWrites[0].value, "C:\\PROGRA~1\\MYWIND~1\\CLOUDS.SCR");
    EXPECT_EQ(log.profileWrites[0].file, "system.ini");
    ASSERT_EQ(log.spiCalls.size(), 1u);
    EXPECT_EQ(log.spiCalls[0].action, 17u);
    EXPECT_EQ(log.spiCalls[0].uiParam, 1u);
    EXPECT_FALSE(log.spiCalls[0].hasPointer);
    EXPECT_EQ(log.spiCalls[0].winIni, UINT(SPIF_UPDATEINIFILE));
}

TEST_F(Placement, RegistrationIsSkippedWithoutAWindowsDirectory) {
    strcpy(installer.scrName, "CLOUDS.SCR");
    standin::SetWindowsDirectory("");
    EXPECT_EQ(RegisterSaver(), 1);
    EXPECT_TRUE(standin::GetLog().profileWrites.empty());
    EXPECT_TRUE(standin::GetLog().spiCalls.empty());
    EXPECT_FALSE(installer.failed);
}

// Runs dialog 103 with InstallDlgProc behind a procedure that can change the
// command the dialog posts itself, as another button or notification would.
class Dialog : public InstallTest {
protected:
    static WPARAM command;
    static std::vector<INT_PTR> commandResults;

    static INT_PTR Proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_COMMAND && wParam == IDOK) {
            INT_PTR r = InstallDlgProc(dialog, message, command, lParam);
            commandResults.push_back(r);
            return r;
        }
        return InstallDlgProc(dialog, message, wParam, lParam);
    }

    INT_PTR RunDialog(WPARAM asCommand) {
        command = asCommand;
        commandResults.clear();
        strcpy(installer.scrName, "CLOUDS.SCR");
        strcpy(installer.title, "Clouds & Co");
        UseTitle();
        return DialogBoxParamA(Instance(), MAKEINTRESOURCEA(103), nullptr, Proc, 0);
    }
};
WPARAM Dialog::command;
std::vector<INT_PTR> Dialog::commandResults;

TEST_F(Dialog, InitialisationSetsTextsCentresAndPostsTheOkCommand) {
    UseInstaller(ThreeEntries());
    EXPECT_EQ(RunDialog(IDOK), 1);
    const standin::DialogLog& d = standin::GetLog().dialog;
    EXPECT_EQ(d.windowText, "Clouds & Co Screen Saver Installation");
    EXPECT_EQ(d.itemText1001, "Clouds & Co Screen Saver");
    // 1024 / 2 - 283 / 2 = 371 (not (1024 - 283) / 2 = 370); 768 / 2 - 128 / 2 = 320.
    EXPECT_EQ(d.rect.left, 371);
    EXPECT_EQ(d.rect.top, 320);
    EXPECT_EQ(d.rect.right - d.rect.left, 283);
    EXPECT_EQ(d.rect.bottom - d.rect.top, 128);
    EXPECT_EQ(d.moves, 1);
    EXPECT_FALSE(d.moveAskedForRepaint);
    ASSERT_EQ(d.posted.size(), 1u);
    EXPECT_EQ(d.posted[0].message, UINT(WM_COMMAND));
    EXPECT_EQ(d.posted[0].wParam, WPARAM(IDOK));
    EXPECT_EQ(d.posted[0].lParam, reinterpret_cast<LPARAM>(d.okButton));
    EXPECT_EQ(commandResults, (std::vector<INT_PTR>{1}));
    EXPECT_TRUE(Exists(kSaver));
}

TEST_F(Dialog, ADialogLargerThanTheScreenGetsNegativeCoordinates) {
    UseInstaller(ThreeEntries());
    standin::GetSetup().screenWidth = 200;
    standin::GetSetup().screenHeight = 101;
    standin::GetSetup().dialogRect = {10, 10, 293, 139};
    RunDialog(IDOK);
    EXPECT_EQ(standin::GetLog().dialog.rect.left, 100 - 141);
    EXPECT_EQ(standin::GetLog().dialog.rect.top, 50 - 64);
}

TEST_F(Dialog, CancelDoesTheSameWorkAndOtherCommandsNothing) {
    author::PackageContents c = ThreeEntries();
    UseInstaller(c);
    EXPECT_EQ(RunDialog(IDCANCEL), 2);
    EXPECT_EQ(ReadFile(kSaver), Text(c.entries[0].data));
    EXPECT_EQ(standin::GetLog().profileWrites.size(), 1u);

    for (WPARAM other : {WPARAM(0), WPARAM(3), WPARAM(IDOK | (1 << 16)), WPARAM(IDCANCEL | (5 << 16))}) {
        StartClean();
        UseInstaller(c);
        auto before = Snapshot();
        RunDialog(other);
        EXPECT_EQ(commandResults, (std::vector<INT_PTR>{0})) << other;
        EXPECT_FALSE(standin::GetLog().dialog.ended);  // nothing ends it
        EXPECT_EQ(Snapshot(), before);
    }
}

TEST_F(Dialog, AnEmptyTitleLeavesTheLeadingSpace) {
    UseInstaller(ThreeEntries(""));
    command = IDOK;
    strcpy(installer.scrName, "CLOUDS.SCR");
    UseTitle();
    DialogBoxParamA(Instance(), MAKEINTRESOURCEA(103), nullptr, InstallDlgProc, 0);
    EXPECT_EQ(standin::GetLog().dialog.windowText, " Screen Saver Installation");
    EXPECT_EQ(standin::GetLog().dialog.itemText1001, " Screen Saver");
}

}  // namespace
}  // namespace installtest
