// Installations under Windows' own file rules, as the stand-in keeps them:
// files in use, read-only files, running savers on both families, another
// installer at work, leftovers of earlier runs, installer names Windows
// resolves elsewhere. The rules themselves: tests/platform/standin_test.cpp.
#include "fixture.h"

#include <algorithm>

namespace installtest {
namespace {

const char kNothingChanged[] = "\r\n\r\nNothing has been installed or changed.";

bool ReadOnly(const std::string& windowsPath) {
    DWORD attributes = GetFileAttributesA(windowsPath.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

class FileRules : public InstallTest {
protected:
    // An installer of three entries over an earlier installation.
    author::PackageContents Upgrade() {
        author::PackageContents c = ThreeEntries();
        UseInstaller(c);
        PlantOldInstallation();
        return c;
    }

    void ExpectInstalled(const author::PackageContents& c) {
        EXPECT_TRUE(ReadFile(kSaver) == Text(c.entries[0].data));
        EXPECT_TRUE(ReadFile(kData) == Text(c.entries[1].data));
        EXPECT_TRUE(ReadFile(kTune) == Text(c.entries[2].data));
    }

    // An upgrade that meets a file in use: refused, everything as it was.
    void ExpectInUse(const std::string& inUse) {
        auto before = Snapshot();
        ExpectFailedRun("The file " + inUse + " is in use.  Please close the program using it and try again." +
                            kNothingChanged,
                        true);
        ExpectUnchanged(before);
    }
};

TEST_F(FileRules, AHeldDataFileFailsTheUpgradeBeforeAnythingIsReplaced) {
    author::PackageContents c = Upgrade();
    // The running saver reads its data file and shares no deletion.
    ASSERT_NE(standin::HoldOpen(kData, 1 | 2), 0);
    ExpectInUse(kData);
}

TEST_F(FileRules, ARunningSaverIsReplacedOnNtAndItsOldFileDeletedAtRestart) {
    author::PackageContents c = Upgrade();
    standin::MarkRunning(kSaver);
    EXPECT_EQ(Run(), 0);
    ExpectInstalled(c);
    // Renamed aside, it cannot be deleted while it runs: it goes at restart.
    const std::string aside = "C:\\WINDOWS\\~IN0.OLD";
    EXPECT_EQ(ReadFile(aside), "old saver");
    EXPECT_EQ(standin::GetLog().deletesAtRestart, std::vector<std::string>{aside});
    EXPECT_EQ(NamesContaining("~IN").size(), 1u);
    EXPECT_FALSE(Exists("C:\\WINDOWS\\WININIT.INI"));
}

TEST_F(FileRules, ARunningSaverFailsCleanlyAsInUseOnWindows9x) {
    author::PackageContents c = Upgrade();
    standin::GetSetup().ntFamily = false;
    standin::MarkRunning(kSaver);
    ExpectInUse(kSaver);
}

TEST_F(FileRules, ASetAsideFileThatCannotBeScheduledIsDeletedByTheNextRun) {
    author::PackageContents c = Upgrade();
    standin::MarkRunning(kSaver);
    standin::GetSetup().delayedDeleteRefused = true;  // not an administrator
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\~IN0.OLD"), "old saver");

    // Another installation while the old saver still runs: its file stays,
    // and the run takes names of its own around it.
    Restart();
    standin::MarkRunning("C:\\WINDOWS\\~IN0.OLD");
    author::PackageContents other = ThreeEntries();
    other.entries[0] = Stored(Pattern(2000, 9));
    UseInstaller(other, "D:\\DOWNLOAD\\Rain.exe");
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\~IN0.OLD"), "old saver");
    EXPECT_TRUE(ReadFile("C:\\WINDOWS\\RAIN.SCR") == Text(other.entries[0].data));

    // After a restart nothing runs it any more: the next run deletes it.
    Restart();
    UseInstaller(other, "D:\\DOWNLOAD\\Rain.exe");
    standin::GetSetup().answers = {IDYES};
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(NamesContaining("~IN").empty());
}

// WININIT.INI is edited as a file: one line after the last of [rename],
// every other byte as it was (comments, blank lines, a last line without its
// line break); the section is added to a file that has none.
TEST_F(FileRules, OnWindows9xTheDeletionGoesToWininitBesideOtherProgramsLines) {
    const std::string ours = "NUL=C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Clouds\\~IN1.OLD\r\n";
    const struct {
        std::string before, after;
    } cases[] = {
        {"; made by Setup\r\n[Rename]\r\nNUL=C:\\OTHER\\OLD.EXE\r\n;keep me\r\nC:\\OTHER\\APP.DLL=C:\\OTHER\\APP.NEW\r\n"
         "\r\n[Other]\r\nKey=Value",
         "; made by Setup\r\n[Rename]\r\nNUL=C:\\OTHER\\OLD.EXE\r\n;keep me\r\nC:\\OTHER\\APP.DLL=C:\\OTHER\\APP.NEW\r\n"
         "\r\n" + ours + "[Other]\r\nKey=Value"},
        {"[other]\nx=1", "[other]\nx=1\r\n[rename]\r\n" + ours},
        {"", "[rename]\r\n" + ours},
    };
    for (const auto& k : cases) {
        StartClean();
        author::PackageContents c = Upgrade();
        standin::GetSetup().ntFamily = false;
        if (!k.before.empty()) WriteFile("C:\\WINDOWS\\WININIT.INI", k.before);
        // Another program opens the set-aside data file before it is deleted.
        int hold = 0;
        standin::GetSetup().onQueueCheck = [&hold](int) {
            if (!hold && PathExists((kDataDir + "~IN1.OLD").c_str()))
                hold = standin::HoldOpen((kDataDir + "~IN1.OLD"), 1);
        };
        EXPECT_EQ(Run(), 0);
        ExpectInstalled(c);
        EXPECT_EQ(ReadFile("C:\\WINDOWS\\WININIT.INI"), k.after);
        EXPECT_TRUE(standin::GetLog().deletesAtRestart.empty());
    }
}

// A file that cannot be moved back is named with where its copy lies (an
// old one) or as staying new; the journal keeps it, and the next run of any
// installer of this kind finishes the put-back. A held new file is named as
// itself.
TEST_F(FileRules, FilesThatCannotBeMovedBackAreNamedAndTheNextRunPutsThemBack) {
    author::PackageContents rain = ThreeEntries("Rain");
    auto runRain = [&] {
        Restart();
        UseInstaller(rain, "D:\\DOWNLOAD\\Rain.exe");
        EXPECT_EQ(Run(), 0);
        EXPECT_TRUE(NamesContaining("~IN").empty());
        EXPECT_FALSE(Exists("C:\\WINDOWS\\LVRNINST.JNL"));
    };

    // The saver was set aside; moving it back fails.
    author::PackageContents c = Upgrade();
    standin::HoldOpen(kTune, 1);
    standin::GetSetup().refusedMoveTargets = {kSaver};
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(LastBox().text, std::string("The file ") + kSaver +
                                  " could not be restored; its old copy is now C:\\WINDOWS\\~IN0.OLD.");
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\~IN0.OLD"), "old saver");
    EXPECT_FALSE(Exists(kSaver));
    EXPECT_EQ(ReadFile(kData), "old data");
    EXPECT_EQ(ReadFile(kTune), "old tune");
    EXPECT_TRUE(standin::GetLog().execs.empty());
    runRain();
    EXPECT_EQ(ReadFile(kSaver), "old saver");

    // A fresh installation: the new saver, moved in, is held by a scanner
    // when the last move fails.
    StartClean();
    UseInstaller(c);
    standin::GetSetup().refusedMoveTargets = {kTune};
    int hold = 0;
    standin::GetSetup().onQueueCheck = [&hold](int) {
        if (!hold && PathExists(kSaver)) hold = standin::HoldOpen(kSaver, 1 | 2);
    };
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(LastBox().text, std::string("The file ") + kSaver +
                                  " could not be restored; the new copy stays.");
    EXPECT_TRUE(ReadFile(kSaver) == Text(c.entries[0].data));
    EXPECT_FALSE(Exists(kData));
    runRain();
    EXPECT_FALSE(Exists(kSaver));

    // A new file held before it is moved in names itself.
    Restart();
    UseInstaller(c);
    const std::string newTune = kDataDir + "~IN2.TMP";
    hold = 0;
    standin::GetSetup().onQueueCheck = [&](int) {
        if (!hold && PathExists(newTune.c_str())) hold = standin::HoldOpen(newTune, 1 | 2);
    };
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(LastBox().text, "The file " + newTune + " is in use.  Please close the program using it and try again." +
                                  kNothingChanged);
    EXPECT_FALSE(Exists(kSaver));
    runRain();
}

TEST_F(FileRules, ReadOnlyOldFilesAreReplacedAfterYesAndKeptAfterAFailure) {
    author::PackageContents c = Upgrade();
    SetFileAttributesA(kSaver, FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA(kTune, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Run(), 0);
    ExpectInstalled(c);
    EXPECT_FALSE(ReadOnly(kSaver));
    EXPECT_FALSE(ReadOnly(kTune));
    EXPECT_TRUE(NamesContaining("~IN").empty());

    // A failure puts a read-only file back as it was, attribute and all.
    StartClean();
    UseInstaller(c);
    PlantOldInstallation();
    SetFileAttributesA(kSaver, FILE_ATTRIBUTE_READONLY);
    standin::HoldOpen(kTune, 1);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(ReadFile(kSaver), "old saver");
    EXPECT_TRUE(ReadOnly(kSaver));
}

TEST_F(FileRules, AForeignFileWithARunsNameIsLeftAlone) {
    author::PackageContents c = ThreeEntries();
    UseInstaller(c);
    WriteFile("C:\\WINDOWS\\~IN0.TMP", "not ours");
    SetFileAttributesA("C:\\WINDOWS\\~IN0.TMP", FILE_ATTRIBUTE_READONLY);
    WriteFile(kDataDir + "~IN1.TMP", "not ours either");
    fs::create_directories(standin::HostPath("C:\\WINDOWS\\~IN3.OLD"));
    EXPECT_EQ(Run(), 0);
    ExpectInstalled(c);
    EXPECT_FALSE(ReadOnly(kSaver));
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\~IN0.TMP"), "not ours");
    EXPECT_TRUE(ReadOnly("C:\\WINDOWS\\~IN0.TMP"));
    EXPECT_EQ(ReadFile(kDataDir + "~IN1.TMP"), "not ours either");
    EXPECT_TRUE(fs::is_directory(standin::HostPath("C:\\WINDOWS\\~IN3.OLD")));
    EXPECT_EQ(NamesContaining("~IN").size(), 3u);
}

// Only a journal's files are ever deleted: a file named like a side file
// that no journal lists is left alone, attributes and all, and the run is
// numbered around it; a failed run changes nothing, even where a path cut
// at its buffer would name another file ("...\~IN12345." is "...\~IN12345").
TEST_F(FileRules, FilesNamedLikeSideFilesThatNoJournalListsAreLeftAlone) {
    author::PackageContents c = ThreeEntries();
    UseInstaller(c);
    WriteFile("C:\\WINDOWS\\~IN0.OLD", "left by an older installer");
    WriteFile("C:\\WINDOWS\\~IN7.OLD", "left read-only");
    SetFileAttributesA("C:\\WINDOWS\\~IN7.OLD", FILE_ATTRIBUTE_READONLY);
    WriteFile(kDataDir + "~IN4.OLD", "an old data file");
    EXPECT_EQ(Run(), 0);
    ExpectInstalled(c);
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\~IN0.OLD"), "left by an older installer");
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\~IN7.OLD"), "left read-only");
    EXPECT_TRUE(ReadOnly("C:\\WINDOWS\\~IN7.OLD"));
    EXPECT_EQ(ReadFile(kDataDir + "~IN4.OLD"), "an old data file");
    EXPECT_EQ(NamesContaining("~IN").size(), 3u);

    Restart();
    std::string windows = "C:\\" + std::string(246, 'W');  // 250 characters with its '\'
    UseWindowsDirectory(windows);
    UseInstaller(c);
    WriteFile(windows + "\\~IN12345.OLD", "someone's");
    WriteFile(windows + "\\~IN12345", "someone else's");
    auto before = Snapshot();
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(LastBox().text, "Paths in " + windows + "\\ would be too long." + kNothingChanged);
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(FileRules, AFailedRunRemovesTheDirectoriesItMadeAndNoOthers) {
    for (bool otherSaver : {false, true}) {
        StartClean();
        author::PackageContents c = ThreeEntries();
        UseInstaller(c);
        if (otherSaver) WriteFile("C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Other\\Other.DAT", "another saver");
        auto before = Snapshot();
        standin::SetWriteBudget(3000 + 5000 + 10);  // the last file does not fit
        EXPECT_EQ(Run(), 1);
        EXPECT_NE(LastBox().text.find(kNothingChanged), std::string::npos);
        EXPECT_EQ(Snapshot(), before) << otherSaver;
    }
}

// Another installer at work, or the lock's name held by another kind of
// object: after a wait the user is asked, Retry waits again, Cancel is a
// refusal. Nothing is done without the lock.
TEST_F(FileRules, ABusyLockAsksToRetryOrCancelAndNothingRunsWithoutIt) {
    const std::string busy = "Another screen saver installation is running.  Click Retry when it has finished, or "
                             "Cancel to stop.  Nothing has been installed or changed.";
    author::PackageContents c = ThreeEntries();
    UseInstaller(c);
    standin::GetSetup().majorVersion = 5;
    standin::GetSetup().lockBusyWaits = 2;
    standin::GetSetup().answers = {IDRETRY, IDRETRY, IDOK};
    EXPECT_EQ(Run(), 0);
    ExpectInstalled(c);
    const standin::Log& log = standin::GetLog();
    EXPECT_EQ(log.mutexName, "Global\\LVRNInst");  // across logons from Windows 2000 on
    EXPECT_EQ(log.lockWaits, 2);
    EXPECT_FALSE(log.lockHeld);
    ASSERT_GE(log.boxes.size(), 3u);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(log.boxes[i].text, busy);
        EXPECT_EQ(log.boxes[i].caption, "Clouds Screen Saver Installation");
        EXPECT_EQ(log.boxes[i].flags, UINT(MB_RETRYCANCEL | MB_ICONINFORMATION));
        EXPECT_FALSE(log.boxes[i].hasOwner);
    }
    auto at = [&](const std::string& event) {
        return std::find(log.events.begin(), log.events.end(), event) - log.events.begin();
    };
    // Held from before the questions (after the two boxes that waited for
    // it) to after the registration.
    std::vector<long> boxes;
    for (size_t i = 0; i < log.events.size(); i++)
        if (log.events[i] == "box Clouds Screen Saver Installation") boxes.push_back(static_cast<long>(i));
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_GT(at("lock"), boxes[1]);
    EXPECT_LT(at("lock"), boxes[2]);
    EXPECT_LT(at("spi 17"), at("unlock"));
    EXPECT_LT(at("unlock"), static_cast<long>(log.events.size()));

    // Cancel, and a name that another kind of object holds (NT 4: no
    // "Global\"): refusals that write nothing.
    for (bool otherObject : {false, true}) {
        Restart();
        UseInstaller(c);
        if (otherObject)
            standin::GetSetup().mutexError = ERROR_INVALID_HANDLE;
        else
            standin::GetSetup().lockBusyWaits = 1;
        standin::GetSetup().answers = {IDCANCEL};
        auto before = Snapshot();
        EXPECT_EQ(Run(), 0);
        ASSERT_EQ(standin::GetLog().boxes.size(), 1u);
        EXPECT_EQ(LastBox().text, busy);
        EXPECT_EQ(standin::GetLog().mutexName, "LVRNInst");
        EXPECT_EQ(standin::GetLog().dialogCalls, 0);
        EXPECT_EQ(Snapshot(), before);
    }
}

// A journal of a format this installer does not know is never touched: the
// run stops before any question.
TEST_F(FileRules, AJournalOfAnotherVersionStopsTheRunWithNothingTouched) {
    Upgrade();
    WriteFile("C:\\WINDOWS\\LVRNINST.JNL", std::string("LVRN\x02\0\0\0", 8) + "lines of a later format");
    auto before = Snapshot();
    ExpectFailedRun("A newer installer left C:\\WINDOWS\\LVRNINST.JNL unfinished: please run it again." +
                        std::string(kNothingChanged),
                    true);
    EXPECT_EQ(standin::GetLog().boxes.size(), 1u);
    ExpectUnchanged(before);
}

class InstallerNames : public FileRules {};

TEST_F(InstallerNames, NamesWindowsResolvesElsewhereAreRefusedBeforeAnyQuestion) {
    for (const char* name : {"...exe", "..exe", ".exe", ".clouds.exe", "Clouds..exe", "Clouds .exe", "NUL.exe",
                             "con.exe", "Aux.exe", "prn.exe", "COM1.exe", "com9.exe", "LPT1.exe", "lpt9.exe", "COM0.exe", "lpt0.exe",
                             "COM\xB9.exe", "lpt\xB2.x.exe", "LPT\xB3", "Cl?uds.exe",
                             "nul.clouds.exe", "CON.my.exe", "COM1"}) {
        Restart();
        WriteFile("C:\\WINDOWS\\TORVANEK\\LUMAVERN\\keep", "");
        UseInstaller(ThreeEntries(), std::string("D:\\DOWNLOAD\\") + name);
        SCOPED_TRACE(name);
        auto before = Snapshot();
        ExpectFailedRun(std::string("Windows cannot use the installer's name ") + name + ".  Please rename it." +
                            kNothingChanged,
                        true);
        EXPECT_EQ(standin::GetLog().boxes.size(), 1u);
        ExpectUnchanged(before);
    }
}

TEST_F(InstallerNames, WellFormedNamesKeepWorking) {
    struct Case {
        const char* name;
        const char* saver;
        const char* stem;
    } cases[] = {
        {"my.clouds.exe", "MY.SCR", "my.clouds"},  {"Sea Life.exe", "SEA LIFE.SCR", "Sea Life"},
        {"a.b.c.exe", "A.SCR", "a.b.c"},             {"caf\xE9.exe", "CAF\xE9.SCR", "caf\xE9"},
        {"COM10.exe", "COM10.SCR", "COM10"},       {"COM\xB4.exe", "COM\xB4.SCR", "COM\xB4"},
        {"CONSOLE.exe", "CONSOLE.SCR", "CONSOLE"}, {"NULL.exe", "NULL.SCR", "NULL"},
        {" lead.exe", " LEAD.SCR", " lead"},       {"Clouds", "CLOUDS.SCR", "Clouds"},
    };
    for (const Case& k : cases) {
        EXPECT_TRUE(IsUsableInstallerName((std::string("D:\\x\\") + k.name).c_str())) << k.name;
        StartClean();
        author::PackageContents c = ThreeEntries();
        UseInstaller(c, std::string("D:\\DOWNLOAD\\") + k.name);
        EXPECT_EQ(Run(), 0) << k.name;
        EXPECT_TRUE(ReadFile(std::string("C:\\WINDOWS\\") + k.saver) == Text(c.entries[0].data)) << k.name;
        EXPECT_TRUE(ReadFile(std::string("C:\\WINDOWS\\TORVANEK\\LUMAVERN\\") + k.stem + "\\" + k.stem + ".DAT") ==
                    Text(c.entries[1].data))
            << k.name;
    }
}

// The system maps a name it cannot hold to a neighbour by best fit
// (Ĉlouds.exe read back as Clouds.exe): that file is not the running image.
TEST_F(InstallerNames, AnotherFileUnderTheInstallersNameIsNotInstalled) {
    author::PackageContents rain = ThreeEntries("Rain");
    rain.entries[0] = Stored(Pattern(2000, 9));
    UseInstaller(ThreeEntries(), "D:\\DOWNLOAD\\Clouds.exe");
    standin::SetModuleImage(Text(author::WritePackage(Host(), rain)));
    auto before = Snapshot();
    ExpectFailedRun(std::string("Windows cannot use the installer's name Clouds.exe.  Please rename it.") +
                        kNothingChanged,
                    true);
    ExpectUnchanged(before);
}

}  // namespace
}  // namespace installtest
