// The whole run from WinMain: the window class and the refused creation,
// the four outcomes with every box they show, and what is written.
#include "fixture.h"

namespace installtest {
namespace {

const char kConfirmation[] =
    "This program will install %s (%s Screen Saver) to %s and will make it your default Screen Saver.  "
    "This installation will take %s bytes.";
const char kCompletion[] =
    "Installation Complete!\r\n\r\nData files have also been installed in your %sTORVANEK\\LUMAVERN%s "
    "directory.";

using Sequence = InstallTest;

TEST_F(Sequence, TheWindowIsRefusedAndTheLoopEndsAtOnce) {
    UseInstaller(ThreeEntries());
    EXPECT_EQ(Run(), 0);
    const standin::Log& log = standin::GetLog();

    ASSERT_TRUE(log.classRegistered);
    EXPECT_EQ(log.className, "LVRNInst");
    EXPECT_EQ(log.windowClass.style, UINT(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(log.windowClass.lpfnWndProc, &MainWndProc);
    EXPECT_EQ(log.windowClass.cbClsExtra, 0);
    EXPECT_EQ(log.windowClass.cbWndExtra, 0);
    EXPECT_EQ(log.windowClass.hInstance, Instance());
    EXPECT_EQ(log.windowClass.hIcon, LoadIconA(Instance(), MAKEINTRESOURCEA(101)));
    EXPECT_EQ(log.windowClass.hCursor, LoadCursorA(nullptr, IDC_ARROW));
    EXPECT_EQ(log.windowClass.hbrBackground, reinterpret_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    EXPECT_EQ(log.windowClass.lpszMenuName, nullptr);

    EXPECT_EQ(log.createCalls, 1);
    EXPECT_EQ(log.createdClass, "LVRNInst");
    EXPECT_EQ(log.createdTitle, "");
    EXPECT_EQ(log.createdExStyle, 0u);
    EXPECT_EQ(log.createdStyle, DWORD(WS_OVERLAPPEDWINDOW));
    EXPECT_EQ(log.createdX, CW_USEDEFAULT);
    EXPECT_EQ(log.createdHeight, CW_USEDEFAULT);
    EXPECT_FALSE(log.createdWithParentOrMenuOrParam);
    EXPECT_EQ(log.createdInstance, Instance());

    // WM_NCCREATE goes to DefWindowProcA; WM_CREATE runs everything and refuses.
    EXPECT_EQ(log.mainMessages, (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_DESTROY}));
    EXPECT_EQ(log.defaultHandled, (std::vector<UINT>{WM_NCCREATE}));
    EXPECT_TRUE(log.quitPosted);
    EXPECT_EQ(log.quitCode, 0);
    EXPECT_FALSE(log.waitedForever);
}

TEST_F(Sequence, CompletedRunShowsConfirmationDialogAndCompletionThenStartsTheSaver) {
    author::PackageContents c = ThreeEntries("Drifting Clouds   ");  // trailing spaces go
    UseInstaller(c, "D:\\DOWNLOAD\\my.clouds.exe");
    EXPECT_EQ(Run(), 0);

    const standin::Log& log = standin::GetLog();
    ASSERT_EQ(log.boxes.size(), 2u);
    const std::string caption = "Drifting Clouds Screen Saver Installation";
    EXPECT_EQ(log.boxes[0].text, Fill(kConfirmation, {"MY.SCR", "Drifting Clouds", "C:\\WINDOWS", "8,700"}));
    EXPECT_EQ(log.boxes[0].caption, caption);
    EXPECT_EQ(log.boxes[0].flags, 0x41u);
    EXPECT_EQ(log.boxes[1].text, Fill(kCompletion, {"C:\\WINDOWS\\", "\\MY.CLOUDS"}));
    EXPECT_EQ(log.boxes[1].caption, caption);
    EXPECT_EQ(log.boxes[1].flags, 0x30u);
    for (const auto& box : log.boxes) EXPECT_FALSE(box.hasOwner);

    EXPECT_EQ(log.events, (std::vector<std::string>{
                              "lock", "box " + caption, "cursor wait", "dialog", "paint",
                              "profile C:\\WINDOWS\\MY.SCR", "registry SCRNSAVE.EXE=C:\\WINDOWS\\MY.SCR",
                              "spi 17", "dialog ended 1", "cursor arrow", "unlock",
                              "box " + caption, "exec \"C:\\WINDOWS\\MY.SCR\"", "quit 0"}));
    ASSERT_EQ(log.execs.size(), 1u);
    EXPECT_EQ(log.execs[0].show, UINT(SW_SHOW));
    EXPECT_FALSE(log.dialog.hasOwner);
    EXPECT_EQ(log.dialog.instance, Instance());
    EXPECT_EQ(log.dialog.initParam, 0);

    EXPECT_EQ(ReadFile("C:\\WINDOWS\\MY.SCR"), Text(c.entries[0].data));
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\TORVANEK\\LUMAVERN\\my.clouds\\my.clouds.DAT"), Text(c.entries[1].data));
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\TORVANEK\\LUMAVERN\\my.clouds\\FILE0015.MID"), Text(c.entries[2].data));
    EXPECT_TRUE(NamesContaining("~IN").empty());
}

TEST_F(Sequence, ReplaceRefusedAsksTwiceAndWritesNothing) {
    UseInstaller(ThreeEntries());
    WriteFile(kSaver, "the old saver");
    auto before = Snapshot();
    standin::GetSetup().answers = {IDNO};
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Captions(), (std::vector<std::string>{"Replace Screen Saver?", "Rename Installer"}));
    EXPECT_EQ(standin::GetLog().boxes[0].flags, 0x24u);
    EXPECT_EQ(standin::GetLog().boxes[1].flags, 0x40u);
    EXPECT_EQ(standin::GetLog().dialogCalls, 0);
    EXPECT_TRUE(standin::GetLog().execs.empty());
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(Sequence, DiskSpaceRefusedWritesNothing) {
    UseInstaller(ThreeEntries());
    standin::GetSetup().availableBytes = 8 * 1024;  // 8 KB free, 8 KB needed
    standin::GetSetup().answers = {IDCANCEL};
    auto before = Snapshot();
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Captions(), (std::vector<std::string>{"Disk Full"}));
    EXPECT_EQ(standin::GetLog().boxes[0].flags, 0x41u);
    EXPECT_EQ(standin::GetLog().dialogCalls, 0);
    EXPECT_EQ(standin::GetCounters().opens, 3) << "the running image's check, the title, then one walk for every check";
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(Sequence, ConfirmationRefusedWritesNothing) {
    for (int answer : {IDCANCEL, 0}) {
        StartClean();
        UseInstaller(ThreeEntries());
        standin::GetSetup().answers = {answer};
        auto before = Snapshot();
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(Captions(), (std::vector<std::string>{"Clouds Screen Saver Installation"}));
        EXPECT_EQ(standin::GetLog().dialogCalls, 0);
        EXPECT_TRUE(standin::GetLog().profileWrites.empty());
        EXPECT_EQ(Snapshot(), before);
    }
}

TEST_F(Sequence, ReplaceAndDiskQuestionsAnsweredYesLeadToAFullInstallation) {
    author::PackageContents c = ThreeEntries();
    UseInstaller(c);
    WriteFile(kSaver, std::string(20000, 'o'));  // longer than the new saver
    standin::GetSetup().availableBytes = 1024;
    standin::GetSetup().answers = {IDYES, IDOK, IDOK, IDOK};
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Captions(), (std::vector<std::string>{"Replace Screen Saver?", "Disk Full",
                                                    "Clouds Screen Saver Installation",
                                                    "Clouds Screen Saver Installation"}));
    EXPECT_EQ(ReadFile(kSaver), Text(c.entries[0].data));
}

TEST_F(Sequence, TitlesAreTrimmedOfTrailingSpacesOnly) {
    struct Case {
        std::string title, shown;
    } cases[] = {
        {"Sea  Life  ", "Sea  Life"},
        {"    ", ""},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"},
        {"", ""},
        {"100%s %s  ", "100%s %s"},  // a title is text, never a pattern
    };
    for (const Case& k : cases) {
        StartClean();
        UseInstaller(ThreeEntries(k.title));
        standin::GetSetup().answers = {IDCANCEL};
        EXPECT_EQ(Run(), 0);
        ASSERT_EQ(standin::GetLog().boxes.size(), 1u);
        EXPECT_EQ(standin::GetLog().boxes[0].caption, k.shown + " Screen Saver Installation") << k.title;
        EXPECT_EQ(standin::GetLog().boxes[0].text,
                  Fill(kConfirmation, {"CLOUDS.SCR", k.shown, "C:\\WINDOWS", "8,700"}));
    }
}

TEST_F(Sequence, ADriveRootIsShownWithItsOneBackslash) {
    UseWindowsDirectory("C:\\");
    author::PackageContents c = ThreeEntries();
    UseInstaller(c);
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(standin::GetLog().boxes.size(), 2u);
    EXPECT_EQ(standin::GetLog().boxes[0].text, Fill(kConfirmation, {"CLOUDS.SCR", "Clouds", "C:\\", "8,700"}));
    EXPECT_EQ(standin::GetLog().boxes[1].text, Fill(kCompletion, {"C:\\", "\\CLOUDS"}));
    EXPECT_EQ(standin::GetLog().execs[0].commandLine, "\"C:\\CLOUDS.SCR\"");
    EXPECT_EQ(ReadFile("C:\\TORVANEK\\LUMAVERN\\Clouds\\Clouds.DAT"), Text(c.entries[1].data));
}

TEST_F(Sequence, TheWindowsDirectoryIsUpperCasedOnlyInTheConfirmation) {
    UseWindowsDirectory("C:\\Windows");
    UseInstaller(ThreeEntries());
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(standin::GetLog().boxes.size(), 2u);
    EXPECT_EQ(standin::GetLog().boxes[0].text, Fill(kConfirmation, {"CLOUDS.SCR", "Clouds", "C:\\WINDOWS", "8,700"}));
    EXPECT_EQ(standin::GetLog().boxes[1].text, Fill(kCompletion, {"C:\\Windows\\", "\\CLOUDS"}));
}

}  // namespace
}  // namespace installtest
