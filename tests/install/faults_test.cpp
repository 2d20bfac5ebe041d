// Faults the installer must not have: failures passed off as success, half
// installations, damaged installers taken at their word, wrapped sizes,
// overflowing buffers, a loop waiting for ever, a blank dialog that the
// system takes for hung, the wrong saver started, garbage registered.
#include "expand/decoder.h"
#include "fixture.h"

namespace installtest {
namespace {

class Faults : public InstallTest {
protected:
    // The installer's file goes away (a removable disk taken out, say).
    void MoveInstallerAway() {
        std::string host = standin::HostPath("D:\\DOWNLOAD\\Clouds.exe");
        if (fs::exists(host)) fs::rename(host, host + ".gone");
    }
};

TEST_F(Faults, AFailureAtTheLastEntryLeavesTheOldInstallationByteForByte) {
    author::PackageContents c = ThreeEntries();
    UseInstaller(c);
    PlantOldInstallation(false);
    standin::SetWriteBudget(3000 + 5000 + 699);  // the last entry's file ends one byte short
    ExpectFailedRun("FILE0015.MID could not be written completely");
    ExpectOldInstallation();
    EXPECT_FALSE(Exists(kTune));
}

TEST_F(Faults, AFileThatCannotBeCreatedEndsThePlacement) {
    UseInstaller(ThreeEntries());
    WriteFile(kSaver, "old saver");
    standin::GetSetup().answers = {IDYES, IDOK};
    // A plain file where the data directory's first level must go.
    WriteFile("C:\\WINDOWS\\TORVANEK", "in the way");
    // The level that cannot be made is named, with the system's reason.
    ExpectFailedRun("The folder C:\\WINDOWS\\TORVANEK could not be created.  Cannot create a file when that file "
                    "already exists.");
    EXPECT_EQ(ReadFile(kSaver), "old saver");
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\TORVANEK"), "in the way");
}

TEST_F(Faults, ADirectoryUnderAnInstalledNameIsNotReplaced) {
    UseInstaller(ThreeEntries());
    fs::create_directories(standin::HostPath(kSaver));
    standin::GetSetup().answers = {IDYES, IDOK};
    ExpectFailedRun("C:\\WINDOWS\\CLOUDS.SCR could not be created");
    EXPECT_TRUE(fs::is_directory(standin::HostPath(kSaver)));
}

TEST_F(Faults, PathsLongerThanTheirBuffersAreRefused) {
    // The saver's path fits in 260 bytes; the data directory's does not.
    std::string windows = "C:\\" + std::string(236, 'W');
    UseWindowsDirectory(windows);
    UseInstaller(ThreeEntries());
    ExpectFailedRun("would be too long");
    EXPECT_NE(LastBox().text.find(windows), std::string::npos);
    EXPECT_FALSE(Exists(windows + "\\CLOUDS.SCR"));
}

// A trailing dot or space, or only dots, is refused as well: Windows drops
// them, and the file would land under another name (FILE0015 for ".").
TEST_F(Faults, AnExtensionWithACharacterFileNamesCannotHoldIsRefused) {
    for (const char* ext : {"\\..", "/x", ":", "?*", "\x01", "a|b", ".", "....", ".A ", ".A.", " "}) {
        StartClean();
        author::PackageContents c = ThreeEntries();
        c.entries[2].extension = {};
        memcpy(c.entries[2].extension.data(), ext, strlen(ext));
        UseInstaller(c);
        ExpectFailedRun("with a character Windows does not allow");
        EXPECT_FALSE(Exists(kSaver)) << ext;
        EXPECT_FALSE(Exists(kData)) << ext;
    }
}

// On the NT family a saver not set in the user's registry is not switched
// on, whatever system.ini says.
TEST_F(Faults, RefusedRegistrationIsReportedAfterTheFilesArePlaced) {
    const struct {
        bool standin::Setup::*refused;
        const char* mentions;
    } cases[] = {
        {&standin::Setup::profileWriteFails, "CLOUDS.SCR was installed, but system.ini could not be written."},
        {&standin::Setup::screenSaverSettingFails, "CLOUDS.SCR was installed but could not be switched on."},
        {&standin::Setup::registryKeyRefused, "CLOUDS.SCR was installed but could not be switched on."},
        {&standin::Setup::registryValueRefused, "CLOUDS.SCR was installed but could not be switched on."},
    };
    for (const auto& refusal : cases) {
        StartClean();
        author::PackageContents c = ThreeEntries();
        UseInstaller(c);
        standin::GetSetup().*refusal.refused = true;
        ExpectFailedRun(refusal.mentions);
        EXPECT_EQ(ReadFile(kSaver), Text(c.entries[0].data));
        EXPECT_EQ(standin::GetLog().openKeys, 0);
    }
}

TEST_F(Faults, AnInstallerThatCannotReadItselfDuringPlacementChangesNothing) {
    author::PackageContents c = ThreeEntries();
    // Expanded, the saver closes the package; it cannot be opened again.
    c.entries[0] = Compressed(Compressible(30000, 1));
    UseInstaller(c);
    PlantOldInstallation();
    // The installer file goes away while the entries are being written.
    standin::GetSetup().onQueueCheck = [this](int) { MoveInstallerAway(); };
    ExpectFailedRun("could not read itself while installing C:\\WINDOWS\\CLOUDS.SCR");
    ExpectOldInstallation();
}

TEST_F(Faults, AMoveThatFailsPutsTheOldFileBack) {
    author::PackageContents c = ThreeEntries();
    UseInstaller(c);
    PlantOldInstallation();
    standin::GetSetup().refusedMoveTargets = {kSaver};
    // The new file is the one that could not be moved.
    ExpectFailedRun("C:\\WINDOWS\\~IN0.TMP is in use");
    ExpectOldInstallation();
}

// A failed create, write or move says what the system said of it; only
// access denied on the NT family to a file that is neither read-only nor a
// directory adds that the installer may need an administrator's rights.
TEST_F(Faults, FailuresSayWhatTheSystemSaid) {
    const std::string admin = "  You may need to run the installer as an administrator (right-click it and choose "
                              "Run as administrator).";
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::string says;
    } cases[] = {
        // The journal is the first file a run makes.
        {"a standard user on NT", [] { standin::GetSetup().deniedDirectories = {"C:\\WINDOWS"}; },
         "The file C:\\WINDOWS\\LVRNINST.JNL could not be created.  Access is denied." + admin +
             "\r\n\r\nNothing has been installed or changed."},
        // The hint follows the call that failed, not the old file's attributes.
        {"a read-only old saver of a standard user",
         [this] {
             WriteFile("C:\\WINDOWS\\CLOUDS.SCR", "old saver");
             SetFileAttributesA("C:\\WINDOWS\\CLOUDS.SCR", FILE_ATTRIBUTE_READONLY);
             standin::GetSetup().deniedDirectories = {"C:\\WINDOWS"};
             standin::GetSetup().answers = {IDYES, IDOK};
         },
         "The file C:\\WINDOWS\\LVRNINST.JNL could not be created.  Access is denied." + admin +
             "\r\n\r\nNothing has been installed or changed."},
        {"the same on Windows 95",
         [] {
             standin::GetSetup().deniedDirectories = {"C:\\WINDOWS"};
             standin::GetSetup().ntFamily = false;
         },
         "The file C:\\WINDOWS\\LVRNINST.JNL could not be created.  Access is denied.\r\n\r\nNothing has been "
         "installed or changed."},
        {"a directory in the way",
         [] {
             fs::create_directories(standin::HostPath(kSaver));
             standin::GetSetup().answers = {IDYES, IDOK};
         },
         "The file C:\\WINDOWS\\CLOUDS.SCR could not be created.  Cannot create a file when that file already "
         "exists.\r\n\r\nNothing has been installed or changed."},
        {"a data directory a standard user cannot make",
         [] { standin::GetSetup().deniedDirectories = {"C:\\WINDOWS\\TORVANEK\\LUMAVERN"}; },
         "The folder C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Clouds could not be created.  Access is denied." + admin +
             "\r\n\r\nNothing has been installed or changed."},
        {"a full disk", [] { standin::SetWriteBudget(3000); },
         "The file C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Clouds\\Clouds.DAT could not be written completely.  There is "
         "not enough space on the disk.\r\n\r\nNothing has been installed or changed."},
        // A short count is no failed call: no reason left over from an earlier one.
        {"a disk that takes part of a block", [] { standin::SetWriteBudget(3000 + 100); },
         "The file C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Clouds\\Clouds.DAT could not be written completely.  The disk "
         "may be full.\r\n\r\nNothing has been installed or changed."},
        {"a saver in use",
         [this] {
             WriteFile(kSaver, "old saver");
             standin::GetSetup().answers = {IDYES, IDOK};
             standin::HoldOpen(kSaver, 1 | 2);
         },
         "The file C:\\WINDOWS\\CLOUDS.SCR is in use.  Please close the program using it and try again.\r\n\r\n"
         "Nothing has been installed or changed."},
    };
    for (const Case& c : cases) {
        StartClean();
        UseInstaller(ThreeEntries());
        c.arrange();
        EXPECT_EQ(Run(), 1) << c.what;
        EXPECT_EQ(LastBox().text, c.says) << c.what;
    }
}

// Without a text from the system the message says what is likely.
TEST_F(Faults, FailuresTheSystemGivesNoTextForSayWhatIsLikely) {
    SetSystemFailure(FAIL_CREATE, "C:\\WINDOWS\\X.SCR", 0);
    EXPECT_STREQ(installer.failure, "The file C:\\WINDOWS\\X.SCR could not be created.  The disk may be "
                                    "write-protected.\r\n\r\nNothing has been installed or changed.");
    SetSystemFailure(FAIL_WRITE, "C:\\WINDOWS\\X.SCR", 0x12345);
    EXPECT_STREQ(installer.failure, "The file C:\\WINDOWS\\X.SCR could not be written completely.  The disk may be "
                                    "full.\r\n\r\nNothing has been installed or changed.");
    // A file in use says so itself: the system's text would repeat it.
    SetSystemFailure(FAIL_IN_USE, "C:\\WINDOWS\\X.SCR", ERROR_SHARING_VIOLATION);
    EXPECT_STREQ(installer.failure, "The file C:\\WINDOWS\\X.SCR is in use.  Please close the program using it and "
                                    "try again.\r\n\r\nNothing has been installed or changed.");
    // Reasons that are not the system's take no text from it.
    SetSystemFailure(FAIL_TOO_LONG, "C:\\WINDOWS", ERROR_ACCESS_DENIED);
    EXPECT_STREQ(installer.failure, "Paths in C:\\WINDOWS would be too long.\r\n\r\nNothing has been installed or "
                                    "changed.");
}

TEST_F(Faults, StoredDataEndingEarlyIsDamage) {
    author::PackageContents c = ThreeEntries();
    Bytes bytes = author::WritePackage(Host(), c);
    bytes.resize(bytes.size() - 10);  // cut inside the last entry's data
    UseInstallerBytes(bytes);
    strcpy(installer.scrName, "CLOUDS.SCR");
    // The dialog on its own, with the entries the inspection would have
    // counted: the sequence would refuse the installer before.
    installer.entryCount = 3;
    DialogBoxParamA(Instance(), MAKEINTRESOURCEA(103), nullptr, InstallDlgProc, 0);
    EXPECT_TRUE(installer.failed);
    EXPECT_NE(std::string(installer.failure).find("The data for C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Clouds\\FILE0015.MID"),
              std::string::npos)
        << installer.failure;
    EXPECT_FALSE(Exists(kSaver));
    EXPECT_TRUE(NamesContaining("~IN").empty());
    EXPECT_TRUE(standin::GetLog().profileWrites.empty());
}

TEST_F(Faults, AnExpansionThatFailsEndsThePlacement) {
    author::PackageContents c = ThreeEntries();
    c.entries[1] = Compressed(Compressible(30000, 2));
    // The installer file is gone when the compressed entry is to be expanded.
    UseInstaller(c);
    PlantOldInstallation();
    standin::GetSetup().onQueueCheck = [this](int) { MoveInstallerAway(); };
    ExpectFailedRun("could not read itself while installing C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Clouds\\Clouds.DAT");
    ExpectOldInstallation();
}

TEST_F(Faults, CompressedDataCutShortIsDamage) {
    author::PackageContents c = ThreeEntries();
    c.entries[2] = Compressed(Compressible(50000, 3), ".MID");
    Bytes bytes = author::WritePackage(Host(), c);
    bytes.resize(bytes.size() - c.entries[2].data.size() / 2);
    UseInstallerBytes(bytes);
    strcpy(installer.scrName, "CLOUDS.SCR");
    installer.entryCount = 3;
    DialogBoxParamA(Instance(), MAKEINTRESOURCEA(103), nullptr, InstallDlgProc, 0);
    EXPECT_NE(std::string(installer.failure).find("The data for C:\\WINDOWS\\TORVANEK\\LUMAVERN\\Clouds\\FILE0015.MID"),
              std::string::npos)
        << installer.failure;
    EXPECT_FALSE(Exists(kSaver));
    EXPECT_TRUE(NamesContaining("~IN").empty());
}

class Damaged : public Faults {
protected:
    void ExpectDamaged(const Bytes& bytes) {
        StartClean();
        UseInstallerBytes(bytes);
        auto before = Snapshot();
        ExpectFailedRun("The installer Clouds.exe is damaged or incomplete.  Please download it again.\r\n\r\n"
                        "Nothing has been installed or changed.",
                        true, nullptr);
        EXPECT_EQ(standin::GetLog().boxes.size(), 1u);
        EXPECT_EQ(standin::GetLog().dialogCalls, 0);
        ExpectUnchanged(before);
    }
};

TEST_F(Damaged, EveryKindOfDamageIsFoundBeforeAnythingIsAsked) {
    author::PackageContents c = ThreeEntries();
    const Bytes whole = author::WritePackage(Host(), c);
    const std::uint32_t start = author::CheckHost(Host()).packageStart;
    const std::uint32_t table = start + PACKAGE_HEADER_SIZE;

    ExpectDamaged(Bytes(4096, 0));                   // no package to be found at all
    ExpectDamaged(Bytes(whole.begin(), whole.begin() + table + 20));  // cut inside the table
    ExpectDamaged(Bytes(whole.begin(), whole.end() - 1));             // a download one byte short

    Bytes huge = whole;  // entry 2 would expand to 2^31 bytes
    huge[table + 2 * ENTRY_RECORD_SIZE + 8 + 3] = 0x80;
    ExpectDamaged(huge);

    Bytes outside = whole;  // entry 0's data offset points past the end
    outside[table + 3] = 0x7F;
    ExpectDamaged(outside);
}

TEST_F(Faults, AnInstallerPathTooLongForItsBuffersGetsItsOwnMessage) {
    std::string dir = "D:\\" + std::string(250, 'd');
    UseInstaller(ThreeEntries(), dir + "\\Clouds.exe");
    auto before = Snapshot();
    ExpectFailedRun("path is too long.  Please move it", false, nullptr);
    EXPECT_EQ(standin::GetLog().boxes.size(), 1u);
    ExpectUnchanged(before);
}

TEST_F(Faults, SizesFromTwoGigabytesOnAreShownTrue) {
    author::PackageContents c;
    c.title = "Clouds";
    for (int i = 0; i < 2; i++) {
        c.entries.push_back(Stored(Pattern(16, i)));
        c.entries.back().expandedSize = 0x7FFFFFFF;
    }
    UseInstaller(c);
    standin::GetSetup().availableBytes = 1ull << 50;  // plenty: 2^40 kilobytes, not their low bits 0
    standin::GetSetup().answers = {IDCANCEL};
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(standin::GetLog().boxes.size(), 1u);  // no "Disk Full"
    EXPECT_NE(LastBox().text.find("This installation will take 4,294,967,294 bytes."), std::string::npos)
        << LastBox().text;
}

TEST_F(Faults, LongNamesAreCutToTheirBuffersNeverPast) {
    // A Windows directory of 259 characters, a title of 32 and an installer
    // name of 200: the confirmation would not fit its 512-byte buffer.
    std::string windows = "C:";
    while (windows.size() < 259) windows += "\\" + std::string(std::min<size_t>(50, 258 - windows.size()), 'w');
    ASSERT_EQ(windows.size(), 259u);
    UseWindowsDirectory(windows);
    UseInstaller(ThreeEntries("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"), "D:\\" + std::string(200, 'n') + ".exe");
    standin::GetSetup().answers = {IDCANCEL};
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(standin::GetLog().boxes.size(), 1u);
    EXPECT_EQ(LastBox().text.size(), size_t(MESSAGE_SIZE - 1));
    EXPECT_EQ(LastBox().text.substr(0, 26), "This program will install ");
}

TEST_F(Faults, AWindowThatCannotBeMadeEndsTheProcessWithStatusOne) {
    UseInstaller(ThreeEntries());
    standin::GetSetup().registerClassFails = true;
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(standin::GetLog().createCalls, 0);
    EXPECT_FALSE(standin::GetLog().waitedForever);

    StartClean();
    UseInstaller(ThreeEntries());
    standin::GetSetup().createWindowFails = true;
    EXPECT_EQ(Run(), 1);
    EXPECT_FALSE(standin::GetLog().waitedForever);
    EXPECT_TRUE(standin::GetLog().boxes.empty());
}

TEST_F(Faults, ADialogThatCannotBeShownIsNoCompletion) {
    UseInstaller(ThreeEntries());
    standin::GetSetup().dialogFails = true;
    auto before = Snapshot();
    ExpectFailedRun("The Installing window could not be opened.");
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(Faults, ASystemThatDestroysTheRefusedWindowSilentlyDoesNotLeaveTheLoopWaiting) {
    for (bool damaged : {false, true}) {
        StartClean();
        if (damaged)
            UseInstallerBytes(Bytes(4096, 0));
        else
            UseInstaller(ThreeEntries());
        standin::GetSetup().refusedWindowGetsDestroy = false;
        EXPECT_EQ(Run(), damaged ? 1 : 0);
        EXPECT_FALSE(standin::GetLog().waitedForever);
        EXPECT_EQ(standin::GetLog().mainMessages, (std::vector<UINT>{WM_NCCREATE, WM_CREATE}));
    }
}

TEST_F(Faults, TheDialogIsDrawnBeforeTheWorkAndRepaintedDuringIt) {
    author::PackageContents c = Clouds({Stored(Pattern(300000, 1)), Stored(Pattern(200000, 2))});
    UseInstaller(c);
    // The dialog is uncovered again and again while the files are written.
    standin::GetSetup().onQueueCheck = [](int check) {
        if (check % 10 == 0) standin::InvalidateDialog();
    };
    EXPECT_EQ(Run(), 0);
    const standin::DialogLog& d = standin::GetLog().dialog;
    EXPECT_EQ(d.writesBeforeFirstPaint, 0);
    EXPECT_GT(d.paints, 20);
    // The queue is looked at after every block: never more than one block unserved.
    EXPECT_LE(d.largestWriteGap, COPY_BLOCK_SIZE);
    EXPECT_EQ(ReadFile(kSaver), Text(c.entries[0].data));
}

TEST_F(Faults, TheQueueIsServedWhileACompressedEntryExpands) {
    author::PackageContents c = Clouds({Compressed(Compressible(400000, 1))});
    UseInstaller(c);
    static int checks;
    checks = 0;
    standin::GetSetup().onQueueCheck = [](int) { checks++; };
    EXPECT_EQ(Run(), 0);
    // One look after each 16384-byte block of the expansion, not just one
    // after the whole entry.
    EXPECT_GE(checks, 400000 / IO_BLOCK);
    EXPECT_EQ(ReadFile(kSaver), Text(Compressible(400000, 1)));
}

TEST_F(Faults, InputDuringTheWorkStartsNothing) {
    author::PackageContents c = Clouds({Stored(Pattern(100000, 1)), Stored(Pattern(100000, 2))});
    UseInstaller(c);
    standin::GetSetup().onQueueCheck = [](int check) {
        if (check == 3) {
            standin::PostToDialog(WM_KEYDOWN, VK_RETURN, 0);   // would be the OK command
            standin::PostToDialog(WM_KEYDOWN, VK_ESCAPE, 0);   // would be Cancel
            standin::PostToDialog(WM_LBUTTONDOWN, 0, 0);
            standin::PostToDialog(WM_COMMAND, IDOK, 0);
            standin::SendToDialog(WM_CLOSE, 0, 0);              // the task bar's Close
        }
    };
    EXPECT_EQ(Run(), 0);
    const standin::DialogLog& d = standin::GetLog().dialog;
    long long written = 0;
    for (unsigned size : standin::GetCounters().writeSizes) written += size;
    EXPECT_EQ(written, 200000);  // the work ran once
    EXPECT_EQ(d.result, 1);
    for (UINT m : d.delivered) {
        EXPECT_NE(m, UINT(WM_KEYDOWN));
        EXPECT_NE(m, UINT(WM_LBUTTONDOWN));
    }
    EXPECT_EQ(ReadFile(kData), Text(c.entries[1].data));
}

// The mouse moving over the dialog while the entries are placed: the system
// asks the dialog for a cursor, and the hourglass stays.
TEST_F(Faults, TheWaitCursorStaysWhileTheWorkRuns) {
    author::PackageContents c = Clouds({Stored(Pattern(100000, 1)), Compressed(Compressible(100000, 2))});
    UseInstaller(c);
    std::vector<LRESULT> answers;
    std::vector<std::string> cursors;
    standin::GetSetup().onQueueCheck = [&](int) {
        answers.push_back(standin::SendToDialog(WM_SETCURSOR, 0, HTCLIENT | (WM_MOUSEMOVE << 16)));
        cursors.push_back(standin::GetLog().events.back());
    };
    EXPECT_EQ(Run(), 0);
    ASSERT_GE(answers.size(), 10u);  // asked after stored and expanded blocks alike
    for (std::size_t i = 0; i < answers.size(); i++) {
        EXPECT_EQ(answers[i], 1) << i;
        EXPECT_EQ(cursors[i], "cursor wait") << i;
    }
    const std::vector<std::string>& events = standin::GetLog().events;
    auto dialog = std::find(events.begin(), events.end(), "dialog");
    auto ended = std::find(events.begin(), events.end(), "dialog ended 1");
    ASSERT_NE(dialog, events.end());
    EXPECT_EQ(*(dialog - 1), "cursor wait");
    EXPECT_EQ(std::find(dialog, ended, "cursor arrow"), ended);
    EXPECT_EQ(*(ended + 1), "cursor arrow");
}

TEST_F(Faults, TheInstalledSaverIsStartedByItsFullQuotedPath) {
    UseInstaller(ThreeEntries(), "D:\\DOWNLOAD\\Clouds.exe");
    WriteFile("D:\\DOWNLOAD\\CLOUDS.SCR", "a stranger beside the installer");
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(standin::GetLog().execs.size(), 1u);
    EXPECT_EQ(standin::GetLog().execs[0].commandLine, "\"C:\\WINDOWS\\CLOUDS.SCR\"");
}

TEST_F(Faults, WithoutAShortPathTheLongOneIsRegistered) {
    UseWindowsDirectory("C:\\Program Files\\My Windows");
    UseInstaller(ThreeEntries());
    standin::GetSetup().shortPathFails = true;
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(standin::GetLog().profileWrites.size(), 1u);
    EXPECT_EQ(standin::GetLog().profileWrites[0].value, "C:\\Program Files\\My Windows\\CLOUDS.SCR");
}

}  // namespace
}  // namespace installtest
