// Package access over the stand-in's file handles, on hosts built in the
// test and on a synthetic image with the header values of the documented
// example executable.
#include "author/package_writer.h"
#include "author/pe_layout.h"
#include "package/package.h"
#include "platform/standin/control.h"
#include "support/bytes.h"
#include "support/standin_test.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

class PackageTest : public StandinTest {
protected:
    // Writes bytes as the running installer and points the module path at it.
    void UseInstaller(const Bytes& bytes) {
        const std::string path = "C:\\INSTALL\\installer.exe";
        fs::create_directories(fs::path(standin::HostPath(path)).parent_path());
        author::WriteFileBytes(standin::HostPath(path), bytes);
        standin::SetModulePath(path);
    }

    static Bytes Host() { return testhost::MakeHost(); }

    static author::PackageEntry Entry(std::size_t size, std::uint8_t fill, std::uint32_t expanded = 0,
                                      const char* ext = ".TMP") {
        author::PackageEntry e;
        e.data.assign(size, fill);
        e.expandedSize = expanded;
        memcpy(e.extension.data(), ext, strnlen(ext, 4));
        return e;
    }

    HFILE Open() { return OpenPackage(); }

    // Opens the package and reads past its header, as a table walk does.
    HFILE OpenTable() {
        HFILE h = Open();
        unsigned short first;
        if (h != HFILE_ERROR) {
            EXPECT_EQ(ReadFirstFileNumber(h, &first), 1);
        }
        return h;
    }

    // One step of the table walk; 1 when the record was read whole.
    static int ReadRecord(HFILE h, EntryRecord* r) {
        TableWalk walk;
        StartTableWalk(&walk);
        return ReadTableStep(h, &walk, r) != TABLE_CUT_SHORT;
    }
};

std::uint32_t PackageStart(const Bytes& image) { return author::CheckHost(image).packageStart; }

TEST_F(PackageTest, OpenPackageStandsAtTheLastresData) {
    Bytes host = Host();
    author::PackageContents c;
    c.title = "Clouds";
    c.firstFileNumber = 15;
    c.entries = {Entry(100, 'a'), Entry(7, 'b', 30, ".MID")};
    UseInstaller(author::WritePackage(host, c));

    HFILE h = Open();
    ASSERT_NE(h, HFILE_ERROR);
    EXPECT_EQ(_llseek(h, 0, FILE_CURRENT), LONG(PackageStart(host)));
    EXPECT_EQ(PackageStart(host), testhost::PackageStartOf());
    unsigned short first = 0;
    ASSERT_EQ(ReadFirstFileNumber(h, &first), 1);
    EXPECT_EQ(first, 15);

    EntryRecord r;
    ASSERT_EQ(ReadRecord(h, &r), 1);
    DWORD dataStart = PackageStart(host) + 34 + 16 * 3;
    EXPECT_EQ(r.dataOffset, dataStart);
    EXPECT_EQ(r.storedSize, 100u);
    EXPECT_EQ(r.expandedSize, 0u);
    EXPECT_EQ(std::string(r.extension, 4), ".TMP");
    ASSERT_EQ(ReadRecord(h, &r), 1);
    EXPECT_EQ(r.dataOffset, dataStart + 100);
    EXPECT_EQ(r.storedSize, 7u);
    EXPECT_EQ(r.expandedSize, 30u);
    EXPECT_EQ(std::string(r.extension, 4), ".MID");
    ASSERT_EQ(ReadRecord(h, &r), 1);
    EXPECT_EQ(r.storedSize, 0u);
    EXPECT_EQ(_lclose(h), 0);
    EXPECT_EQ(standin::GetCounters().openHandles, 0);
}

TEST_F(PackageTest, TitlesAreReadWholeAndOnlyThirtyTwoBytes) {
    struct Case {
        std::string title;
        std::string expected;
    } cases[] = {
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"},
        {"Sea Life   ", "Sea Life   "},  // trimming is the sequence's job
        {"", ""},
    };
    for (const Case& k : cases) {
        author::PackageContents c;
        c.title = k.title;
        c.entries = {Entry(10, 'x')};
        UseInstaller(author::WritePackage(Host(), c));
        char title[TITLE_SIZE + 1];
        memset(title, 0, sizeof title);
        ReadTitle(title);
        EXPECT_EQ(std::string(title), k.expected) << k.title;
    }
}

TEST_F(PackageTest, EmptyTableEndsAtOnce) {
    author::PackageContents c;
    c.title = "Nothing";
    UseInstaller(author::WritePackage(Host(), c));
    HFILE h = OpenTable();
    ASSERT_NE(h, HFILE_ERROR);
    EntryRecord r;
    ASSERT_EQ(ReadRecord(h, &r), 1);
    EXPECT_EQ(r.storedSize, 0u);
    _lclose(h);
    unsigned long long size = 99;
    DWORD count = 99;
    EXPECT_EQ(InspectPackage(&size, &count), PACKAGE_NO_ENTRIES) << "nothing to install is incomplete";
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(count, 0u);
}

TEST_F(PackageTest, TwoHandlesAreIndependent) {
    author::PackageContents c;
    c.title = "Twice";
    c.entries = {Entry(10, 'x')};
    Bytes host = Host();
    UseInstaller(author::WritePackage(host, c));
    HFILE a = Open();
    HFILE b = Open();
    ASSERT_NE(a, HFILE_ERROR);
    ASSERT_NE(b, HFILE_ERROR);
    EXPECT_NE(a, b);
    unsigned short first;
    ASSERT_EQ(ReadFirstFileNumber(a, &first), 1);
    EXPECT_EQ(_llseek(b, 0, FILE_CURRENT), LONG(PackageStart(host)));
    _lclose(a);
    _lclose(b);
}

TEST_F(PackageTest, WalkStopsAtACutInsideTheTable) {
    author::PackageContents c;
    c.title = "Cut";
    c.entries = {Entry(100, 'a'), Entry(100, 'b'), Entry(100, 'c')};
    Bytes host = Host();
    Bytes image = author::WritePackage(host, c);
    // Keep the header, the first record and half of the second.
    image.resize(PackageStart(host) + 34 + 16 + 8);
    UseInstaller(image);

    HFILE h = OpenTable();
    ASSERT_NE(h, HFILE_ERROR);
    EntryRecord r;
    ASSERT_EQ(ReadRecord(h, &r), 1);
    EXPECT_EQ(r.storedSize, 100u);
    EXPECT_EQ(ReadRecord(h, &r), 0);
    EXPECT_EQ(r.storedSize, 0u) << "a cut record must not leave stale values";
    EXPECT_EQ(ReadRecord(h, &r), 0);
    _lclose(h);
    EXPECT_EQ(InspectPackage(nullptr, nullptr), PACKAGE_NO_TERMINATOR);
}

TEST_F(PackageTest, InspectPackageFindsEveryKindOfDamage) {
    Bytes host = Host();
    std::uint32_t start = PackageStart(host);
    author::PackageContents c;
    c.title = "Damaged";
    c.entries = {Entry(3000, 'a', 70000), Entry(500, 'b')};
    Bytes good = author::WritePackage(host, c);

    UseInstaller(good);
    unsigned long long size = 0;
    DWORD count = 0;
    EXPECT_EQ(InspectPackage(&size, &count), PACKAGE_SOUND);
    EXPECT_EQ(size, 70500u);
    EXPECT_EQ(count, 2u);

    Bytes cut = good;
    cut.resize(cut.size() - 1);  // a download interrupted in the last entry
    UseInstaller(cut);
    EXPECT_EQ(InspectPackage(nullptr, nullptr), PACKAGE_DATA_OUTSIDE);

    auto patch = [&](std::size_t record, std::size_t field, std::uint32_t value) {
        Bytes b = good;
        Put32(b, start + 34 + 16 * record + 4 * field, value);
        return b;
    };
    UseInstaller(patch(0, 2, 0x80000000u));
    EXPECT_EQ(InspectPackage(nullptr, nullptr), PACKAGE_SIZE_TOO_LARGE);
    UseInstaller(patch(1, 0, 0xFFFFFF00u));
    EXPECT_EQ(InspectPackage(nullptr, nullptr), PACKAGE_SIZE_TOO_LARGE);
    UseInstaller(patch(1, 1, 0x7FFFFFFFu));
    EXPECT_EQ(InspectPackage(nullptr, nullptr), PACKAGE_DATA_OUTSIDE);

    // Terminator overwritten: the walk runs into entry data and the file's end.
    Bytes noEnd = patch(2, 1, 0x01010101u);
    noEnd.resize(start + 34 + 16 * 3 + 8);
    UseInstaller(noEnd);
    EXPECT_EQ(InspectPackage(nullptr, nullptr), PACKAGE_NO_TERMINATOR);
}

TEST_F(PackageTest, OpenPackageFailsCleanly) {
    Bytes host = Host();
    author::PackageContents c;
    c.title = "Fail";
    c.entries = {Entry(10, 'x')};
    Bytes image = author::WritePackage(host, c);

    // No ".rsrc" among the sections.
    Bytes renamed = image;
    const std::size_t rsrc = testhost::SectionHeader(image, ".rsrc");
    renamed.at(rsrc + 1) = 'R';
    UseInstaller(renamed);
    EXPECT_EQ(Open(), HFILE_ERROR);
    EXPECT_EQ(PackageFailureReason(), PACKAGE_NOT_FOUND);
    EXPECT_EQ(standin::GetCounters().openHandles, 0);

    // Cut inside the resource directory: a short header read, not a wrong position.
    Bytes truncated(image.begin(), image.begin() + PackageStart(host) - 200);
    truncated.resize(Get32(image, rsrc + 20) + 20);
    UseInstaller(truncated);
    EXPECT_EQ(Open(), HFILE_ERROR);
    EXPECT_EQ(PackageFailureReason(), PACKAGE_NOT_FOUND);

    // Missing file.
    standin::SetModulePath("C:\\NOWHERE\\Clouds.exe");
    EXPECT_EQ(Open(), HFILE_ERROR);
    EXPECT_EQ(PackageFailureReason(), PACKAGE_UNREADABLE);
    char title[TITLE_SIZE + 1] = "untouched";
    ReadTitle(title);
    EXPECT_STREQ(title, "untouched");
}

// Only a section named exactly ".rsrc" (and its NUL) holds the resources: a
// section whose name merely starts so is passed over.
TEST_F(PackageTest, SectionNameMustBeRsrcExactly) {
    for (const char* decoy : {".rsrcX", ".rsrc\x01", ".rsrcdat"}) {
        testhost::HostShape shape;
        shape.sectionsBefore = {".text", decoy};
        Bytes host = testhost::MakeHost(shape);
        author::PackageContents c;
        c.title = "Decoy";
        c.entries = {Entry(10, 'x')};
        UseInstaller(author::WritePackage(host, c));
        HFILE h = Open();
        ASSERT_NE(h, HFILE_ERROR) << decoy;
        EXPECT_EQ(_llseek(h, 0, FILE_CURRENT), LONG(testhost::PackageStartOf(shape))) << decoy;
        _lclose(h);
    }
}

// The installation size adds every record the walk reads, the terminator's
// included: a terminator whose expandedSize is not 0 adds that much.
TEST_F(PackageTest, InstallSizeCountsTheTerminator) {
    Bytes host = Host();
    author::PackageContents c;
    c.title = "Sum";
    c.entries = {Entry(60, 'a'), Entry(40, 'b')};
    Bytes image = author::WritePackage(host, c);
    unsigned long long size = 0;
    UseInstaller(image);
    EXPECT_EQ(InspectPackage(&size, nullptr), PACKAGE_SOUND);
    EXPECT_EQ(size, 100u);

    std::size_t terminator = PackageStart(host) + PACKAGE_HEADER_SIZE + 2 * ENTRY_RECORD_SIZE;
    Put16(image, terminator + 8, 12345);
    UseInstaller(image);
    EXPECT_EQ(InspectPackage(&size, nullptr), PACKAGE_SOUND);
    EXPECT_EQ(size, 12445u);
}

// The stand-in keeps Windows' sharing rules: the package handle (read,
// denying nothing) opens beside readers and writers, not beside a handle
// that denies reading, and it blocks a later open that would deny reading.
TEST_F(PackageTest, HandlesShareTheFileAsWindowsDecides) {
    author::PackageContents c;
    c.title = "Shared";
    c.entries = {Entry(10, 'x')};
    UseInstaller(author::WritePackage(Host(), c));
    const char* path = "C:\\INSTALL\\installer.exe";

    HFILE writer = _lopen(path, OF_WRITE | OF_SHARE_DENY_NONE);
    ASSERT_NE(writer, HFILE_ERROR);
    HFILE package = Open();
    EXPECT_NE(package, HFILE_ERROR) << "a writer that shares does not stop a reader";
    EXPECT_EQ(_lopen(path, OF_READ | OF_SHARE_EXCLUSIVE), HFILE_ERROR) << "others hold it open";
    EXPECT_EQ(_lopen(path, OF_READ | OF_SHARE_DENY_WRITE), HFILE_ERROR) << "a writer holds it open";
    _lclose(writer);
    HFILE denyWrite = _lopen(path, OF_READ | OF_SHARE_DENY_WRITE);
    EXPECT_NE(denyWrite, HFILE_ERROR) << "only a reader holds it now";
    EXPECT_EQ(_lopen(path, OF_WRITE | OF_SHARE_DENY_NONE), HFILE_ERROR) << "writing is denied";
    EXPECT_EQ(_lcreat(path, 0), HFILE_ERROR);
    _lclose(denyWrite);
    _lclose(package);

    HFILE exclusive = _lopen(path, OF_READ | OF_SHARE_EXCLUSIVE);
    ASSERT_NE(exclusive, HFILE_ERROR);
    EXPECT_EQ(Open(), HFILE_ERROR);
    EXPECT_EQ(PackageFailureReason(), PACKAGE_UNREADABLE);
    _lclose(exclusive);
    EXPECT_EQ(standin::GetCounters().openHandles, 0);
}

TEST_F(PackageTest, PathTooLongForItsBufferIsToldApart) {
    std::string fits = "C:\\" + std::string(PATH_SIZE - 1 - 3 - 4, 'd') + ".exe";
    ASSERT_EQ(fits.size(), std::size_t(PATH_SIZE - 1));
    standin::SetModulePath(fits);
    EXPECT_EQ(Open(), HFILE_ERROR);
    EXPECT_EQ(PackageFailureReason(), PACKAGE_UNREADABLE) << "259 characters fit; the file just isn't there";

    standin::SetModulePath("C:\\" + std::string(PATH_SIZE - 3 - 4, 'd') + ".exe");
    EXPECT_EQ(Open(), HFILE_ERROR);
    EXPECT_EQ(PackageFailureReason(), PACKAGE_PATH_TOO_LONG);
    EXPECT_EQ(InspectPackage(nullptr, nullptr), PACKAGE_MISSING);
}

// The example executable: e_lfanew 0x80, ".rsrc" the fifth of five sections
// at VirtualAddress 0x1B000 / PointerToRawData 0xD400, directory offsets
// 0x30, 0x98, 0x110 and data RVA 0x1B884.
TEST_F(PackageTest, ExampleExecutableTakesFourteenReadsOf508Bytes) {
    Bytes image(0xDE00 + 64, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) { Put32(image, at, v); };
    image[0] = 'M';
    image[1] = 'Z';
    put32(60, 0x80);
    put32(0x80, 0x4550);
    image[0x80 + 4 + 2] = 5;
    const char* names[] = {".text", ".data", ".rdata", ".idata", ".rsrc"};
    for (int i = 0; i < 5; i++) {
        std::size_t at = 0x178 + 40 * i;
        memcpy(&image[at], names[i], strlen(names[i]));
        put32(at + 12, 0x1000 * (i + 1));
        put32(at + 20, 0x400 * (i + 1));
    }
    put32(0x178 + 4 * 40 + 12, 0x1B000);
    put32(0x178 + 4 * 40 + 20, 0xD400);
    put32(0xD410 + 4, 0x80000030);
    put32(0xD440 + 4, 0x80000098);
    put32(0xD4A8 + 4, 0x110);
    put32(0xD510, 0x1B884);
    put32(0xD510 + 4, 4);
    UseInstaller(image);

    HFILE h = Open();
    ASSERT_NE(h, HFILE_ERROR);
    EXPECT_EQ(_llseek(h, 0, FILE_CURRENT), 0xDC84);
    const standin::Counters& n = standin::GetCounters();
    EXPECT_EQ(n.reads, 14);
    EXPECT_EQ(n.bytesRead, 508);
    EXPECT_EQ(std::accumulate(n.readSizes.begin(), n.readSizes.end(), 0u), 508u);
    _lclose(h);
}

}  // namespace
