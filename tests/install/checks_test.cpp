// The two questions asked before anything is written: replacing a saver of
// the same name, and going on when free space looks short.
#include "fixture.h"

namespace installtest {
namespace {

const char kReplaceText[] =
    "There is already a screen saver by the same name (%s) installed on your system.  Would you like to "
    "replace it?";
const char kRenameText[] =
    "If you would like to change the name of the .SCR file that would be installed on your system, simply "
    "change the installers file name (%s) and run it again.";
const char kDiskText[] =
    "You will need %s kilobytes free in your Windows directory to install this screen saver.  It appears "
    "that you only have %s kilobytes free on this drive.  Would you like to continue the installation?";

using ReplaceCheck = InstallTest;

TEST_F(ReplaceCheck, NoSaverOfThatNameMeansNoQuestion) {
    UseInstaller(ThreeEntries());
    EXPECT_EQ(CheckReplace(Instance()), 1);
    EXPECT_TRUE(standin::GetLog().boxes.empty());
}

TEST_F(ReplaceCheck, YesGoesOnAndNoExplainsTheRename) {
    UseInstaller(ThreeEntries(), "D:\\DOWNLOAD\\my.clouds.exe");
    WriteFile("C:\\WINDOWS\\my.scr", "old");  // names compare without regard to case

    standin::GetSetup().answers = {IDYES};
    EXPECT_EQ(CheckReplace(Instance()), 1);
    ASSERT_EQ(standin::GetLog().boxes.size(), 1u);
    const standin::MessageBoxCall& question = standin::GetLog().boxes[0];
    EXPECT_EQ(question.text, Fill(kReplaceText, {"my.SCR"}));
    EXPECT_EQ(question.caption, "Replace Screen Saver?");
    EXPECT_EQ(question.flags, 0x24u);
    EXPECT_FALSE(question.hasOwner);

    standin::GetSetup().answers = {IDNO};
    EXPECT_EQ(CheckReplace(Instance()), 0);
    ASSERT_EQ(standin::GetLog().boxes.size(), 3u);
    const standin::MessageBoxCall& rename = standin::GetLog().boxes[2];
    EXPECT_EQ(rename.text, Fill(kRenameText, {"my.clouds.EXE"}));
    EXPECT_EQ(rename.caption, "Rename Installer");
    EXPECT_EQ(rename.flags, 0x40u);
    EXPECT_EQ(ReadFile("C:\\WINDOWS\\my.scr"), "old");
}

TEST_F(ReplaceCheck, ADirectoryOfThatNameCountsAndADriveRootGetsNoSecondBackslash) {
    UseWindowsDirectory("C:\\");
    UseInstaller(ThreeEntries());
    fs::create_directories(standin::HostPath("C:\\CLOUDS.SCR"));
    standin::GetSetup().answers = {IDNO};
    EXPECT_EQ(CheckReplace(Instance()), 0);
    ASSERT_EQ(standin::GetLog().boxes.size(), 2u);
    EXPECT_EQ(standin::GetLog().boxes[0].text, Fill(kReplaceText, {"Clouds.SCR"}));
    EXPECT_EQ(standin::GetLog().boxes[1].text, Fill(kRenameText, {"Clouds.EXE"}));
}

TEST_F(ReplaceCheck, AnUnreadableWindowsDirectoryAsksNothing) {
    UseInstaller(ThreeEntries());
    WriteFile(kSaver, "old");
    standin::SetWindowsDirectory("");
    EXPECT_EQ(CheckReplace(Instance()), 1);
    EXPECT_TRUE(standin::GetLog().boxes.empty());
}

using FreeSpace = InstallTest;

TEST_F(FreeSpace, TheExtendedCallIsUsedWhenPresentOnTheCutPath) {
    standin::GetSetup().availableBytes = 5000ull * 1024 + 1023;
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), 5000u);
    EXPECT_EQ(GetFreeKilobytes("D:\\OS\\WINDOWS"), 5000u);
    // Only the first 32 characters are cut after their last backslash.
    EXPECT_EQ(GetFreeKilobytes("E:\\A234567890123\\B2345678901234\\C23456789\\WINDOWS"), 5000u);
    const standin::Log& log = standin::GetLog();
    EXPECT_EQ(log.freeSpaceCalls,
              (std::vector<std::string>{"ex C:\\", "ex D:\\OS\\", "ex E:\\A234567890123\\B2345678901234\\"}));
    EXPECT_EQ(log.librariesLoaded, 3);
    EXPECT_EQ(log.librariesFreed, 3);
}

TEST_F(FreeSpace, TheClassicCallServesWhenTheExtendedOneIsMissingOrFails) {
    standin::Setup& setup = standin::GetSetup();
    setup.sectorsPerCluster = 8;
    setup.bytesPerSector = 512;
    setup.freeClusters = 1000;  // 4,096,000 bytes
    setup.hasFreeSpaceEx = false;
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), 4000u);
    setup.hasFreeSpaceEx = true;
    setup.freeSpaceExWorks = false;
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), 4000u);
    setup.kernelLoads = false;
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), 4000u);
    EXPECT_EQ(standin::GetLog().freeSpaceCalls,
              (std::vector<std::string>{"classic C:\\", "ex C:\\", "classic C:\\", "classic C:\\"}));
    EXPECT_EQ(standin::GetLog().librariesLoaded, standin::GetLog().librariesFreed);

    setup.freeSpaceWorks = false;
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), FREE_UNKNOWN);
}

TEST_F(FreeSpace, FourTebibytesAndMoreArePlentyNotTheirLowBits) {
    standin::Setup& setup = standin::GetSetup();
    setup.availableBytes = (4ull << 40) + 5 * 1024;  // low 32 bits of the kilobytes: 5
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), FREE_UNKNOWN);
    setup.availableBytes = (4ull << 40) - 2048;
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), 0xFFFFFFFFu - 1);

    setup.hasFreeSpaceEx = false;
    setup.sectorsPerCluster = 0x10000;
    setup.bytesPerSector = 0x10000;  // 4 GiB clusters
    setup.freeClusters = 1024;
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), FREE_UNKNOWN);
    setup.freeClusters = 3;
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), 3u << 22);
    setup.sectorsPerCluster = 0xFFFFFFFFu;
    setup.bytesPerSector = 0xFFFFFFFFu;
    setup.freeClusters = 0xFFFFFFFFu;
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), FREE_UNKNOWN);
}

class DiskCheck : public InstallTest {
protected:
    // An installer whose entries need exactly neededBytes.
    void UseSize(std::uint32_t neededBytes) {
        author::PackageContents c = Clouds({Stored(Pattern(100, 1))});
        c.entries[0].expandedSize = neededBytes;  // a compressed entry counts with its expanded size
        UseInstaller(c);
    }

    // The check on the size the installer's inspection of its package keeps.
    static int Check() {
        InspectPackage(&installer.installSize, &installer.entryCount);
        return CheckDiskSpace();
    }
};

TEST_F(DiskCheck, EqualFreeSpaceAsksAndOneKilobyteMoreDoesNot) {
    UseSize(1500 * 1024);
    standin::GetSetup().availableBytes = 1501 * 1024;
    EXPECT_EQ(Check(), 1);
    EXPECT_TRUE(standin::GetLog().boxes.empty());
    EXPECT_EQ(installer.installSize, 1500u * 1024);

    ResetInstaller();
    standin::GetSetup().availableBytes = 1500 * 1024;
    standin::GetSetup().answers = {IDCANCEL};
    EXPECT_EQ(Check(), 0);
    ASSERT_EQ(standin::GetLog().boxes.size(), 1u);
    EXPECT_EQ(LastBox().text, Fill(kDiskText, {"1,500", "1,500"}));
    EXPECT_EQ(LastBox().caption, "Disk Full");
    EXPECT_EQ(LastBox().flags, 0x41u);

    ResetInstaller();
    standin::GetSetup().availableBytes = 1024 * 1024;
    standin::GetSetup().answers = {IDOK};  // go on in spite of the shortage
    EXPECT_EQ(Check(), 1);
    EXPECT_EQ(LastBox().text, Fill(kDiskText, {"1,500", "1,024"}));
}

TEST_F(DiskCheck, LessThanAKilobyteNeedsZero) {
    UseSize(1023);
    standin::GetSetup().availableBytes = 0;
    standin::GetSetup().answers = {IDOK};
    EXPECT_EQ(Check(), 1);
    ASSERT_EQ(standin::GetLog().boxes.size(), 1u);
    EXPECT_EQ(LastBox().text, Fill(kDiskText, {"0", "0"}));
}

TEST_F(DiskCheck, UnknownFreeSpaceAndAnUnreadableWindowsDirectoryPass) {
    UseSize(0x7FFFFFFF);
    standin::GetSetup().hasFreeSpaceEx = false;
    standin::GetSetup().freeSpaceWorks = false;
    EXPECT_EQ(Check(), 1);
    ResetInstaller();
    standin::SetWindowsDirectory("");
    EXPECT_EQ(Check(), 1);
    EXPECT_EQ(installer.installSize, 0x7FFFFFFFu);  // summed all the same
    EXPECT_TRUE(standin::GetLog().boxes.empty());
}

TEST_F(DiskCheck, SizesAddUpPastFourGigabytesWithoutWrapping) {
    author::PackageContents c;
    c.title = "Big";
    for (int i = 0; i < 3; i++) {
        c.entries.push_back(Stored(Pattern(10, i)));
        c.entries.back().expandedSize = 0x7FFFFFFF;
    }
    c.entries.push_back(Stored(Pattern(1000, 9)));  // stored: counts its stored size
    UseInstaller(c);
    standin::GetSetup().availableBytes = 0x100000000ull;  // 4 GiB: would pass a wrapped sum
    standin::GetSetup().answers = {IDCANCEL};
    EXPECT_EQ(Check(), 0);
    EXPECT_EQ(installer.installSize, 3ull * 0x7FFFFFFF + 1000);
    EXPECT_EQ(LastBox().text, Fill(kDiskText, {"6,291,456", "4,194,304"}));
}

}  // namespace
}  // namespace installtest
