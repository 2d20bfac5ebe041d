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

TEST_F(FileRules, OnWindows9xTheDeletionGoesToWininitBesideOtherProgramsLines) {
    author::PackageContents c = Upgrade();
    standin::GetSetup().ntFamily = false;
    const std::string others =
        "[Rename]\r\nNUL=C:\\OTHER\\OLD.EXE\r\nC:\\OTHER\\APP.DLL=C:\\OTHER\\APP.NEW\r\n[Other]\r\nKey=Value\r\n";
    WriteFile("C:\\WINDOWS\\WININIT.INI", others);
    // Another program opens the set-aside data file before it is deleted.
    int hold = 0;
    standin::GetSetup().onQueueCheck = [&hold](int) {
        if (!hold && PathExists((kDataDir + "~IN1.OLD").c_str()))
            hold = standin::HoldOpen(kDataDir + "~IN1.OLD", 1);
    };
    EXPECT_EQ(Run(), 0);
    ExpectInstalled(c);
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\WININIT.INI"),
              "[Rename]\r\nNUL=C:\\OTHER\\OLD.EXE\r\nC:\\OTHER\\APP.DLL=C:\\OTHER\\APP.NEW\r\n"
              "NUL=C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Clouds\\~IN1.OLD\r\n[Other]\r\nKey=Value\r\n");
    EXPECT_TRUE(standin::GetLog().deletesAtRestart.empty());
}

TEST_F(FileRules, APutBackThatFailsIsReportedWithWhereTheOldFileLies) {
    author::PackageContents c = Upgrade();
    standin::HoldOpen(kTune, 1);
    // The saver was set aside; moving it back fails.
    standin::GetSetup().refusedMoveTargets = {kSaver};
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(LastBox().text, std::string("The file ") + kSaver +
                                  " could not be restored; its old copy is now C:\\WINDOWS\\~IN0.OLD.");
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\~IN0.OLD"), "old saver");
    EXPECT_FALSE(Exists(kSaver));
    EXPECT_EQ(ReadFile(kData), "old data");
    EXPECT_EQ(ReadFile(kTune), "old tune");
    EXPECT_TRUE(standin::GetLog().execs.empty());
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

TEST_F(FileRules, SetAsideFilesOfEarlierRunsGoUnlessInUse) {
    author::PackageContents c = ThreeEntries();
    UseInstaller(c);
    WriteFile("C:\\WINDOWS\\~IN0.OLD", "left by a run cut off");
    WriteFile("C:\\WINDOWS\\~IN7.OLD", "left read-only");
    SetFileAttributesA("C:\\WINDOWS\\~IN7.OLD", FILE_ATTRIBUTE_READONLY);
    WriteFile("C:\\WINDOWS\\~IN2.OLD", "still running");
    standin::MarkRunning("C:\\WINDOWS\\~IN2.OLD");
    WriteFile(kDataDir + "~IN4.OLD", "an old data file");
    WriteFile("C:\\WINDOWS\\~INSTALL.OLD", "no number: someone else's");
    WriteFile("C:\\WINDOWS\\~IN5.OLDER", "another ending");
    EXPECT_EQ(Run(), 0);
    ExpectInstalled(c);
    EXPECT_FALSE(Exists("C:\\WINDOWS\\~IN0.OLD"));
    EXPECT_FALSE(Exists("C:\\WINDOWS\\~IN7.OLD"));
    EXPECT_FALSE(Exists(kDataDir + "~IN4.OLD"));
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\~IN2.OLD"), "still running");
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\~INSTALL.OLD"), "no number: someone else's");
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\~IN5.OLDER"), "another ending");
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

TEST_F(FileRules, ASecondInstallerWaitsWithItsDialogDrawnThenPlaces) {
    author::PackageContents c = ThreeEntries();
    UseInstaller(c);
    standin::GetSetup().lockBusyWakes = 5;
    static std::vector<size_t> writesWhileWaiting;
    writesWhileWaiting.clear();
    standin::GetSetup().onQueueCheck = [](int) {
        if (!standin::GetLog().lockHeld) writesWhileWaiting.push_back(standin::GetCounters().writeSizes.size());
    };
    EXPECT_EQ(Run(), 0);
    ExpectInstalled(c);
    const standin::Log& log = standin::GetLog();
    EXPECT_EQ(log.mutexName, "LVRNInst");
    EXPECT_EQ(log.lockWakes, 5);
    EXPECT_FALSE(log.lockHeld);
    ASSERT_GE(writesWhileWaiting.size(), 5u);
    for (size_t writes : writesWhileWaiting) EXPECT_EQ(writes, 0u);
    EXPECT_GE(log.dialog.paints, 5);
    // Placed and registered under the lock.
    auto at = [&](const std::string& event) {
        return std::find(log.events.begin(), log.events.end(), event) - log.events.begin();
    };
    EXPECT_LT(at("lock"), at("profile C:\\WINDOWS\\CLOUDS.SCR"));
    EXPECT_LT(at("spi 17"), at("unlock"));
    EXPECT_LT(at("unlock"), at("dialog ended 1"));
}

TEST_F(FileRules, WithoutALockObjectTheRunStillCompletes) {
    author::PackageContents c = ThreeEntries();
    UseInstaller(c);
    standin::GetSetup().mutexFails = true;
    EXPECT_EQ(Run(), 0);
    ExpectInstalled(c);
}

class InstallerNames : public FileRules {};

TEST_F(InstallerNames, NamesWindowsResolvesElsewhereAreRefusedBeforeAnyQuestion) {
    for (const char* name : {"...exe", "..exe", ".exe", ".clouds.exe", "Clouds..exe", "Clouds .exe", "NUL.exe",
                             "con.exe", "Aux.exe", "prn.exe", "COM1.exe", "com9.exe", "LPT1.exe", "lpt9.exe",
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
        {"COM10.exe", "COM10.SCR", "COM10"},       {"LPT0.exe", "LPT0.SCR", "LPT0"},
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

}  // namespace
}  // namespace installtest
