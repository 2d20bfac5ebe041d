// saverpack as its users run it: pack, then list, extract and verify the
// result; the layout it writes, checked byte by byte; every refusal.
#include "pack_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>

namespace fs = std::filesystem;
using namespace tooltest;

namespace {

TEST_F(PackTest, MixedInstallerRoundTrips) {
    fs::path out = dir_ / "Sea.Life.exe";
    Result pack = Pack(out);
    ASSERT_EQ(pack.status, 0) << pack.err;
    EXPECT_NE(pack.out.find("FILE0016.bmp"), std::string::npos) << pack.out;

    std::string title = "Clouds";
    title.resize(32, '\0');
    std::vector<std::uint32_t> expanded = CheckLayout(ReadBytes(out), title, 15);
    EXPECT_NE(expanded[0], 0u) << "the saver compresses";
    EXPECT_EQ(expanded[1], 0u) << "noise is stored raw: compression does not make it smaller";
    EXPECT_NE(expanded[2], 0u);
    EXPECT_NE(expanded[3], 0u);

    Result list = RunTool(kTool, {"list", "--json", out.string()});
    ASSERT_EQ(list.status, 0) << list.err;
    nlohmann::json j = nlohmann::json::parse(list.out);
    EXPECT_EQ(j["title"], "Clouds");
    EXPECT_EQ(j["firstFileNumber"], 15);
    ASSERT_EQ(j["entries"].size(), 4u);
    EXPECT_EQ(j["entries"][0]["installedAs"], "SEA.SCR");
    EXPECT_EQ(j["entries"][1]["installedAs"], DataPath("Sea.Life", "Sea.Life.DAT"));
    EXPECT_EQ(j["entries"][2]["installedAs"], DataPath("Sea.Life", "FILE0015.MID"));
    EXPECT_EQ(j["entries"][1]["kind"], "stored");
    EXPECT_EQ(j["entries"][3]["kind"], "compressed");
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < 4; i++) {
        EXPECT_EQ(j["entries"][i]["installedSize"], inputs_[i].bytes.size());
        total += inputs_[i].bytes.size();
    }
    EXPECT_EQ(j["installSize"], total);

    Result text = RunTool(kTool, {"list", out.string()});
    EXPECT_EQ(text.status, 0);
    std::string grouped = std::to_string(total);
    for (int at = int(grouped.size()) - 3; at > 0; at -= 3) grouped.insert(std::size_t(at), ",");
    EXPECT_NE(text.out.find("Installation size:  " + grouped + " bytes"), std::string::npos) << text.out;

    Result extract = RunTool(kTool, {"extract", out.string(), (dir_ / "windows").string()});
    ASSERT_EQ(extract.status, 0) << extract.err;
    ExpectExtracted(dir_ / "windows", "Sea.Life", "SEA.SCR");

    Result verify = RunTool(kTool, {"verify", out.string()});
    EXPECT_EQ(verify.status, 0) << verify.out;
    EXPECT_NE(verify.out.find("sound"), std::string::npos);
}

TEST_F(PackTest, StoreAndCompressForceOneKindForEveryEntry) {
    std::string title = "Clouds";
    title.resize(32, '\0');
    for (const char* flag : {"--store", "--compress"}) {
        fs::path out = dir_ / "Clouds.exe";
        Result pack = Pack(out, {flag, "--quiet"});
        ASSERT_EQ(pack.status, 0) << pack.err;
        EXPECT_EQ(pack.out, "") << "--quiet prints nothing";
        for (std::uint32_t expanded : CheckLayout(ReadBytes(out), title, 15))
            EXPECT_EQ(expanded != 0, std::string(flag) == "--compress") << flag;
        fs::path windows = dir_ / (std::string("windows") + flag);
        Result extract = RunTool(kTool, {"extract", out.string(), windows.string()});
        ASSERT_EQ(extract.status, 0) << extract.err;
        ExpectExtracted(windows, "Clouds", "CLOUDS.SCR");
        EXPECT_EQ(RunTool(kTool, {"verify", out.string()}).status, 0) << flag;
    }
}

TEST_F(PackTest, OutputIsDeterministicAndEveryLevelRoundTrips) {
    for (const char* level : {"fast", "default", "best"}) {
        fs::path a = dir_ / "a.exe", b = dir_ / "b.exe";
        ASSERT_EQ(Pack(a, {"--level", level}).status, 0);
        ASSERT_EQ(Pack(b, {"--level", level}).status, 0);
        EXPECT_EQ(ReadBytes(a), ReadBytes(b)) << level;
        EXPECT_EQ(RunTool(kTool, {"verify", a.string()}).status, 0) << level;
    }
}

TEST_F(PackTest, TitlesAreConvertedToTheCodePage) {
    fs::path out = dir_ / "t.exe";
    // 16 two-byte UTF-8 characters and 16 ASCII: 32 bytes in code page 1252.
    std::string full;
    for (int i = 0; i < 16; i++) full += "\u00e9";
    full += "abcdefghijklmnop";
    ASSERT_EQ(Pack(out, {"--title", full}).status, 0);
    CheckLayout(ReadBytes(out), std::string(16, '\xE9') + "abcdefghijklmnop", 15);

    ASSERT_EQ(Pack(out, {"--title", "\u041e\u0431\u043b\u0430\u043a\u0430", "--codepage", "1251"}).status, 0);
    std::string field = "\xCE\xE1\xEB\xE0\xEA\xE0";
    field.resize(32, '\0');
    CheckLayout(ReadBytes(out), field, 15);
    Result list = RunTool(kTool, {"list", "--json", "--codepage", "1251", out.string()});
    EXPECT_EQ(nlohmann::json::parse(list.out)["title"], "\u041e\u0431\u043b\u0430\u043a\u0430");
}

TEST_F(PackTest, RefusalsLeaveNothingBehind) {
    WriteBytes(dir_ / "empty.dat", {});
    WriteBytes(dir_ / "long.jpeg", Bytes(10, 1));
    WriteBytes(dir_ / "pipe.a|b", Bytes(10, 1));
    WriteBytes(dir_ / "dot.", Bytes(10, 1));
    WriteBytes(dir_ / "text.txt", Bytes(100, 'x'));
    Bytes trailing = stub_;
    trailing.push_back(0);
    WriteBytes(dir_ / "trailing.exe", trailing);
    fs::create_directories(dir_ / "adir");
    std::string thirtyThree(33, 'a');

    std::vector<Refused> cases = {
        {"missing saver", {"--saver", (dir_ / "nothing.scr").string()}, "saver", 1},
        {"missing file", {"--file", (dir_ / "nothing.mid").string()}, "does not exist", 1},
        {"directory as input", {"--data", (dir_ / "adir").string()}, "is not a regular file", 1},
        {"empty data file", {"--data", (dir_ / "empty.dat").string()}, "is empty", 1},
        {"long extension", {"--file", (dir_ / "long.jpeg").string()}, "at most 4", 1},
        {"forbidden character", {"--file", (dir_ / "pipe.a|b").string()}, "does not allow", 1},
        {"trailing dot", {"--file", (dir_ / "dot.").string()}, "dot or a space", 1},
        {"title too long", {"--title", thirtyThree}, "33 bytes", 1},
        {"title not in 1252", {"--title", "\u041e\u0431"}, "U+041E", 1},
        {"title with a tab", {"--title", "a\tb"}, "control character", 1},
        {"stub not a PE", {"--stub", (dir_ / "text.txt").string()}, "cannot carry a package", 1},
        {"stub with trailing bytes", {"--stub", (dir_ / "trailing.exe").string()}, "follow the \".rsrc\"", 1},
        {"stub missing", {"--stub", (dir_ / "none.exe").string()}, "does not exist", 1},
        {"store and compress", {"--store", "--compress"}, "excludes", 2},
        {"first number too big", {"--first-number", "65536"}, "65536", 2},
        {"unknown code page", {"--codepage", "65001"}, "65001", 2},
        {"unknown level", {"--level", "max"}, "max", 2},
    };
    std::vector<std::string> before = dir_.Names();
    for (const Refused& c : cases) {
        // Later options of the same name replace the good ones, except
        // --file, which adds a file.
        Result r = RunTool(kTool, PackArgs(dir_ / "out.exe", c.extra));
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
        EXPECT_EQ(dir_.Names(), before) << c.name << ": something was left behind";
    }

    // Further files without a data file, and an output directory that is missing.
    Result noData = RunTool(kTool, {"pack", "--stub", Stub(), "--saver", inputs_[0].path.string(), "--file",
                                inputs_[2].path.string(), "--title", "x", "-o", (dir_ / "out.exe").string()});
    EXPECT_EQ(noData.status, 1);
    EXPECT_NE(noData.err.find("need a data file"), std::string::npos) << noData.err;
    Result noDir = RunTool(kTool, PackArgs(dir_ / "missing" / "out.exe"));
    EXPECT_EQ(noDir.status, 1);
    EXPECT_NE(noDir.err.find("does not exist"), std::string::npos) << noDir.err;
    EXPECT_EQ(dir_.Names(), before);
}

TEST_F(PackTest, RefusesEntriesAndDataOffsetsThatReach2To31) {
    // Sparse files: refused by their sizes before a byte of them is read.
    fs::path huge = dir_ / "huge.dat", half = dir_ / "half.mid";
    WriteBytes(huge, {1});
    fs::resize_file(huge, 0x80000000ull);
    WriteBytes(half, {1});
    fs::resize_file(half, 0x40000000ull);
    std::vector<std::string> before = dir_.Names();

    Result entry = RunTool(kTool, PackArgs(dir_ / "out.exe", {"--data", huge.string()}));
    EXPECT_EQ(entry.status, 1);
    EXPECT_NE(entry.err.find("entries must stay below 2^31 bytes"), std::string::npos) << entry.err;
    Result offsets =
        RunTool(kTool, PackArgs(dir_ / "out.exe", {"--store", "--data", half.string(), "--file", half.string()}));
    EXPECT_EQ(offsets.status, 1);
    EXPECT_NE(offsets.err.find("data must end below 2^31"), std::string::npos) << offsets.err;
    EXPECT_EQ(dir_.Names(), before);
}

TEST_F(PackTest, ReplacesAnExistingOutputOnlyWhenComplete) {
    fs::path out = dir_ / "Clouds.exe";
    WriteBytes(out, Bytes(5, 'x'));
    Result refused = RunTool(kTool, PackArgs(out, {"--title", std::string(40, 'a')}));
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(ReadBytes(out), Bytes(5, 'x')) << "a refusal keeps the old file";
    ASSERT_EQ(Pack(out).status, 0);
    EXPECT_EQ(RunTool(kTool, {"verify", out.string()}).status, 0);
}

TEST_F(PackTest, FindsItsInstallerExecutableBesideItOrInItsPrefix) {
    fs::path prefix = dir_ / "prefix";
    fs::create_directories(prefix / "bin");
    fs::copy_file(kTool, prefix / "bin" / "saverpack");
    std::vector<std::string> args = PackArgs(dir_ / "found.exe");
    args.erase(args.begin() + 1, args.begin() + 3);  // no --stub
    std::string tool = (prefix / "bin" / "saverpack").string();

    Result none = RunTool(tool, args);
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no installer executable found"), std::string::npos) << none.err;
    EXPECT_NE(none.err.find("share/saverpack/installer.exe"), std::string::npos) << none.err;
    EXPECT_FALSE(fs::exists(dir_ / "found.exe"));

    fs::create_directories(prefix / "share" / "saverpack");
    fs::copy_file(Stub(), prefix / "share" / "saverpack" / "installer.exe");
    Result installed = RunTool(tool, args);
    EXPECT_EQ(installed.status, 0) << installed.err;
    EXPECT_EQ(RunTool(kTool, {"verify", (dir_ / "found.exe").string()}).status, 0);

    fs::remove(prefix / "share" / "saverpack" / "installer.exe");
    fs::copy_file(Stub(), prefix / "bin" / "installer.exe");
    EXPECT_EQ(RunTool(tool, args).status, 0);
}

}  // namespace
