// What extract writes is what the installer itself places: an installer
// packed by saverpack is installed in-process (the installer's code on the
// native stand-in) and extracted by the tool, and the two trees agree.
#include "install/fixture.h"
#include "tool.h"

namespace {

using tooltest::Bytes;
using tooltest::ReadBytes;
using tooltest::RunTool;
using tooltest::TempDir;
using tooltest::WriteBytes;
namespace fs = std::filesystem;
using testsupport::DataDirIn;

// Every regular file below dir, by its path relative to dir, upper-cased
// (the installer's file system does not tell case apart).
std::map<std::string, Bytes> Files(const fs::path& dir) {
    std::map<std::string, Bytes> files;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        std::string name = fs::relative(e.path(), dir).string();
        for (char& c : name) c = char(toupper(static_cast<unsigned char>(c)));
        files[name] = ReadBytes(e.path());
    }
    return files;
}

using Agreement = installtest::InstallTest;

TEST_F(Agreement, ExtractPlacesWhatTheInstallerPlaces) {
    TempDir dir("agreement");
    WriteBytes(dir / "saver.scr", tooltest::TextLike(30000, 1));
    WriteBytes(dir / "data.dat", tooltest::Noise(9000, 2));
    WriteBytes(dir / "tune.wav", tooltest::TextLike(5000, 3));
    WriteBytes(dir / "sky.bmp", tooltest::Bitmap(40, 30));
    fs::path packed = dir / "Sea.Life.exe";
    tooltest::Result pack = RunTool(SAVERPACK_EXE,
                                    {"pack", "--stub", tooltest::Stub(), "--saver", (dir / "saver.scr").string(),
                                     "--data", (dir / "data.dat").string(), "--file", (dir / "tune.wav").string(),
                                     "--file", (dir / "sky.bmp").string(), "--title", "Sea Life", "--first-number",
                                     "9999", "--quiet", "-o", packed.string()});
    ASSERT_EQ(pack.status, 0) << pack.err;
    tooltest::Result extract = RunTool(SAVERPACK_EXE, {"extract", packed.string(), (dir / "out").string()});
    ASSERT_EQ(extract.status, 0) << extract.err;

    Bytes installer = ReadBytes(packed);
    UseInstallerBytes(installer, "D:\\DOWNLOAD\\Sea.Life.exe");
    ASSERT_EQ(Run(), 0);
    std::map<std::string, Bytes> installed = Files(standin::HostPath("C:\\WINDOWS"));
    installed.erase("SYSTEM.INI");

    std::map<std::string, Bytes> extracted = Files(dir / "out");
    EXPECT_EQ(extracted.size(), 4u);
    EXPECT_TRUE(extracted.count("TORVANEK/LUMAVERN/SEA.LIFE/FILE10000.BMP")) << "numbers grow past four digits";
    EXPECT_EQ(installed, extracted);
}

// The installation size comes from one sum: list, verify and the
// installer's confirmation show the same number, for a terminator whose
// expandedSize is not 0 as well (it counts, as the installer has always
// counted it).
TEST_F(Agreement, EveryReaderShowsTheSameInstallationSize) {
    author::PackageContents c = ThreeEntries();  // 3,000 + 5,000 + 700 bytes
    Bytes image = author::WritePackage(Host(), c);
    const std::size_t terminator = author::CheckHost(Host()).packageStart + PACKAGE_HEADER_SIZE + 3 * ENTRY_RECORD_SIZE;
    for (std::uint32_t extra : {0u, 12345u}) {
        Bytes bytes = image;
        testsupport::Put32(bytes, terminator + 8, extra);
        const std::string expected = std::to_string(8700 + extra);
        const std::string grouped = extra ? "21,045" : "8,700";

        TempDir dir("agreement-size");
        fs::path packed = dir / "Clouds.exe";
        WriteBytes(packed, bytes);
        tooltest::Result list = RunTool(SAVERPACK_EXE, {"list", "--json", packed.string()});
        ASSERT_EQ(list.status, 0) << list.err;
        EXPECT_NE(list.out.find("\"installSize\": " + expected), std::string::npos) << list.out;
        tooltest::Result verify = RunTool(SAVERPACK_EXE, {"verify", packed.string()});
        EXPECT_NE(verify.out.find("installation size " + grouped + " bytes"), std::string::npos) << verify.out;

        StartClean();
        UseInstallerBytes(bytes);
        standin::GetSetup().answers = {IDCANCEL};
        Run();
        ASSERT_FALSE(standin::GetLog().boxes.empty());
        EXPECT_NE(LastBox().text.find("will take " + grouped + " bytes"), std::string::npos) << LastBox().text;
    }
}

// One rule names the entries: what the installer refuses to place, verify
// reports and extract leaves out, the mended extensions included.
TEST_F(Agreement, InstallerAndToolRefuseTheSameExtensions) {
    for (const char* ext : {".", "....", ".A ", "a|b"}) {
        author::PackageContents c = ThreeEntries();
        c.entries[2].extension = {};
        memcpy(c.entries[2].extension.data(), ext, strlen(ext));
        TempDir dir("agreement-names");
        fs::path packed = dir / "Clouds.exe";
        WriteBytes(packed, author::WritePackage(Host(), c));
        tooltest::Result verify = RunTool(SAVERPACK_EXE, {"verify", packed.string()});
        EXPECT_EQ(verify.status, 1) << ext;
        EXPECT_NE(verify.out.find("entry 2: its extension"), std::string::npos) << verify.out;
        tooltest::Result extract = RunTool(SAVERPACK_EXE, {"extract", packed.string(), (dir / "out").string()});
        EXPECT_EQ(extract.status, 1) << ext;
        EXPECT_FALSE(fs::exists(DataDirIn(dir / "out", "Clouds") / "FILE0015")) << ext;

        StartClean();
        UseInstaller(c);
        EXPECT_EQ(Run(), 1) << ext;
        EXPECT_NE(LastBox().text.find("does not allow"), std::string::npos) << LastBox().text;
    }
}

}  // namespace
