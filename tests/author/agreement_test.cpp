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

}  // namespace
