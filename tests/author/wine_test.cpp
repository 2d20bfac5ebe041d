// The Windows build of saverpack, run by Wine, writes the same installer
// byte for byte as the Linux build, and reads it back the same way.
#include "icons.h"
#include "support/paths.h"
#include "tool.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using namespace tooltest;
using namespace testsupport;

namespace {

const std::string kTool = SAVERPACK_EXE;
const std::string kWindowsTool = testsupport::Win32Built("saverpack.exe");

std::string WindowsPath(const fs::path& path) {
    std::string s = "Z:" + fs::absolute(path).string();
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

class WineTest : public ::testing::Test {
protected:
    WineTest() : dir_("wine-pack") {}

    void SetUp() override {
        if (!fs::exists(kWindowsTool) || !fs::exists(RealInstaller()))
            GTEST_SKIP() << "needs the win32 build's " << kWindowsTool << " and " << RealInstaller();
        prefix_ = fs::path(SAVER_BINARY_DIR) / "wine-saverpack" / "prefix";
        fs::create_directories(prefix_.parent_path());
        WriteBytes(dir_ / "saver.scr", ReadBytes(RealInstaller()));
        WriteBytes(dir_ / "saver.dat", TextLike(200000, 7));
        WriteBytes(dir_ / "noise.wav", Noise(5000, 8));
        WriteBytes(dir_ / "sky.bmp", Bitmap(100, 80));
        WriteBytes(dir_ / "clouds.ico", IconFileBytes({{16, 16, 4}, {256, 256, 32, true}}));
    }

    void TearDown() override { RunTool("wineserver", {"-k"}, Environment()); }

    std::vector<std::string> Environment() const {
        return {"WINEPREFIX=" + prefix_.string(), "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=",
                "LANG=C.UTF-8", "LC_ALL=C.UTF-8"};
    }

    // The same pack command for either build; paths spelled for it.
    std::vector<std::string> PackArgs(bool windows, const fs::path& out, const std::vector<std::string>& extra) {
        auto path = [&](const fs::path& p) { return windows ? WindowsPath(p) : p.string(); };
        std::vector<std::string> args = {"pack",   "--stub", path(RealInstaller()),          "--saver",
                                         path(dir_ / "saver.scr"),  "--data", path(dir_ / "saver.dat"),
                                         "--file", path(dir_ / "noise.wav"), "--file", path(dir_ / "sky.bmp"),
                                         "--quiet", "-o",     path(out)};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    Result Wine(std::vector<std::string> args) {
        args.insert(args.begin(), kWindowsTool);
        return RunTool("wine", args, Environment());
    }

    TempDir dir_;
    fs::path prefix_;
};

TEST_F(WineTest, WindowsBuildPacksTheSameBytes) {
    struct Variant {
        std::vector<std::string> extra;
    };
    std::vector<Variant> variants = {
        {{"--title", "Caf\u00e9 No\u00ebl \u20ac", "--first-number", "7"}},
        {{"--title", "\u041e\u0431\u043b\u0430\u043a\u0430", "--codepage", "1251", "--level", "best"}},
        {{"--title", "Stored", "--store"}},
        {{"--title", "Fast", "--level", "fast", "--compress"}},
        {{"--title", "Branded", "--file-version", "3.0.1.9", "--publisher", "Caf\u00e9 Works", "--icon", "ICON"}},
    };
    for (std::size_t i = 0; i < variants.size(); i++) {
        fs::path native = dir_ / ("native" + std::to_string(i) + ".exe");
        fs::path windows = dir_ / ("windows" + std::to_string(i) + ".exe");
        std::vector<std::string> extra = variants[i].extra, windowsExtra = variants[i].extra;
        std::replace(extra.begin(), extra.end(), std::string("ICON"), (dir_ / "clouds.ico").string());
        std::replace(windowsExtra.begin(), windowsExtra.end(), std::string("ICON"), WindowsPath(dir_ / "clouds.ico"));
        Result n = RunTool(kTool, PackArgs(false, native, extra));
        ASSERT_EQ(n.status, 0) << n.err;
        Result w = Wine(PackArgs(true, windows, windowsExtra));
        ASSERT_EQ(w.status, 0) << w.out << w.err;
        EXPECT_EQ(ReadBytes(native), ReadBytes(windows)) << "variant " << i;
    }

    // Without --stub the Windows build takes the installer executable beside it.
    if (fs::exists(RealInstaller())) {
        std::vector<std::string> args = PackArgs(true, dir_ / "beside.exe", variants[0].extra);
        args.erase(args.begin() + 1, args.begin() + 3);
        Result w = Wine(args);
        ASSERT_EQ(w.status, 0) << w.err;
        Result n = RunTool(kTool, PackArgs(false, dir_ / "native-beside.exe", variants[0].extra));
        ASSERT_EQ(n.status, 0) << n.err;
        EXPECT_EQ(ReadBytes(dir_ / "beside.exe"), ReadBytes(dir_ / "native-beside.exe"));
    }

    Result verify = Wine({"verify", WindowsPath(dir_ / "windows0.exe")});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    Result list = Wine({"list", "--json", WindowsPath(dir_ / "windows0.exe")});
    ASSERT_EQ(list.status, 0) << list.err;
    nlohmann::json j = nlohmann::json::parse(list.out);
    EXPECT_EQ(j["title"], "Caf\u00e9 No\u00ebl \u20ac");
    EXPECT_EQ(j["entries"][3]["installedAs"], DataPath("windows0", "FILE0008.bmp"));

    // An extension outside ASCII becomes the wide file name of its code page.
    WriteBytes(dir_ / "chant.\u0439\u043a", TextLike(300, 9));
    std::vector<std::string> args = PackArgs(true, dir_ / "song.exe", {"--title", "Song", "--codepage", "1251"});
    args.insert(args.end(), {"--file", WindowsPath(dir_ / "chant.\u0439\u043a")});
    ASSERT_EQ(Wine(args).status, 0);
    Result extract = Wine({"extract", "--codepage", "1251", WindowsPath(dir_ / "song.exe"), WindowsPath(dir_ / "out")});
    EXPECT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(ReadBytes(DataDirIn(dir_ / "out", "song") / "FILE0002.\u0439\u043a"),
              TextLike(300, 9));

    Result refused = Wine(PackArgs(true, dir_ / "refused.exe", {"--title", "\u041e\u0431"}));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("U+041E"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(dir_ / "refused.exe"));
}

}  // namespace
