// saverpack as its users run it: pack, then list, extract and verify the
// result; the layout it writes, checked byte by byte; every refusal.
#include "author/pe_layout.h"
#include "author/resources.h"
#include "compress/compress.h"
#include "tool.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>

namespace fs = std::filesystem;
using namespace tooltest;

namespace {

const std::string kTool = SAVERPACK_EXE;

std::uint32_t U32(const Bytes& b, std::size_t at) {
    return b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) | (std::uint32_t(b.at(at + 3)) << 24);
}

void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; i++) b.at(at + i) = std::uint8_t(v >> (8 * i));
}

struct Input {
    std::string option;  // --saver, --data, --file
    fs::path path;
    Bytes bytes;
};

class PackTest : public ::testing::Test {
protected:
    PackTest() : dir_("pack-test") {}

    void SetUp() override {
        stub_ = ReadBytes(Stub());
        ASSERT_FALSE(stub_.empty()) << "build the win32 tree first: " << Stub();
        // A real PE as the saver, noise that compression cannot shrink as the
        // data file, and two further files that compress well.
        Add("--saver", "clouds.scr", stub_);
        Add("--data", "clouds.dat", Noise(20000, 1));
        Add("--file", "song.MID", TextLike(3000, 2));
        Add("--file", "sky.bmp", Bitmap(64, 48));
    }

    void Add(const std::string& option, const std::string& name, const Bytes& bytes) {
        inputs_.push_back({option, dir_ / name, bytes});
        WriteBytes(dir_ / name, bytes);
    }

    std::vector<std::string> PackArgs(const fs::path& out, std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"pack", "--stub", Stub(), "--title", "Clouds", "--first-number", "15",
                                         "-o", out.string()};
        for (const Input& in : inputs_) args.insert(args.end(), {in.option, in.path.string()});
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    Result Pack(const fs::path& out, std::vector<std::string> extra = {}) const {
        return RunTool(kTool, PackArgs(out, extra));
    }

    // Checks the installer against the package layout, reading it
    // independently of the tool; returns each entry's expandedSize.
    std::vector<std::uint32_t> CheckLayout(const Bytes& file, const std::string& titleField,
                                           std::uint16_t first) const {
        std::uint32_t start = author::CheckHost(file, author::Trailing::Allowed).packageStart;
        ExpectHostKept(file);
        EXPECT_EQ(std::string(file.begin() + start, file.begin() + start + 32), titleField);
        EXPECT_EQ(file.at(start + 32) | (file.at(start + 33) << 8), first);

        std::size_t n = inputs_.size();
        std::uint32_t offset = start + 34 + 16 * (std::uint32_t(n) + 1);
        std::vector<std::uint32_t> expanded;
        const char* extensions[] = {".SCR", ".DAT", ".MID", ".bmp"};
        for (std::size_t i = 0; i < n; i++) {
            std::size_t at = start + 34 + 16 * i;
            std::uint32_t stored = U32(file, at + 4);
            expanded.push_back(U32(file, at + 8));
            EXPECT_EQ(U32(file, at), offset) << "entry " << i << " does not follow the one before";
            EXPECT_EQ(std::string(file.begin() + at + 12, file.begin() + at + 16), extensions[i]);
            Bytes data(file.begin() + offset, file.begin() + offset + stored);
            if (expanded.back() == 0) {
                EXPECT_EQ(data, inputs_[i].bytes) << "entry " << i;
            } else {
                Bytes out(expanded.back());
                EXPECT_LE(codec::ExpandMemory(data.data(), stored, out.data(), expanded.back()), 8ull * stored);
                EXPECT_EQ(out, inputs_[i].bytes) << "entry " << i;
            }
            offset += stored;
        }
        std::size_t terminator = start + 34 + 16 * n;
        EXPECT_EQ(Bytes(file.begin() + terminator, file.begin() + terminator + 16), Bytes(16, 0));
        EXPECT_EQ(offset, file.size()) << "the last entry's data must end the file";
        return expanded;
    }

    // The stub's sections before ".rsrc" byte for byte, and every resource
    // of the stub, with a version resource besides.
    void ExpectHostKept(const Bytes& file) const {
        author::PeImage img = author::ReadPeImage(stub_);
        std::size_t code = img.sections.front().rawOffset, rsrc = img.sections[img.resources].rawOffset;
        EXPECT_TRUE(std::equal(stub_.begin() + code, stub_.begin() + rsrc, file.begin() + code))
            << "the sections before \".rsrc\" changed";
        std::vector<author::Resource> written = author::ReadResources(file);
        for (const author::Resource& r : author::ReadResources(stub_)) {
            // The marker's 4 declared bytes are the package's first now.
            auto same = [&](const author::Resource& w) {
                return w.type == r.type && w.name == r.name && w.language == r.language &&
                       (r.type.Named() || w.data == r.data);
            };
            EXPECT_TRUE(std::any_of(written.begin(), written.end(), same))
                << "resource type " << r.type.id << " name " << r.name.id << " lost";
        }
        EXPECT_TRUE(std::any_of(written.begin(), written.end(), [](const author::Resource& w) {
            return w.type == author::ResourceKey{{}, author::kVersionType};
        })) << "no version resource";
    }

    void ExpectExtracted(const fs::path& out, const std::string& stem, const std::string& scr) const {
        EXPECT_EQ(ReadBytes(out / scr), inputs_[0].bytes);
        fs::path data = out / "TORVANEK" / "LUMAVERN" / stem;
        EXPECT_EQ(ReadBytes(data / (stem + ".DAT")), inputs_[1].bytes);
        EXPECT_EQ(ReadBytes(data / "FILE0015.MID"), inputs_[2].bytes);
        EXPECT_EQ(ReadBytes(data / "FILE0016.bmp"), inputs_[3].bytes);
    }

    TempDir dir_;
    Bytes stub_;
    std::vector<Input> inputs_;
};

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
    EXPECT_EQ(j["entries"][1]["installedAs"], "TORVANEK\\LUMAVERN\\Sea.Life\\Sea.Life.DAT");
    EXPECT_EQ(j["entries"][2]["installedAs"], "TORVANEK\\LUMAVERN\\Sea.Life\\FILE0015.MID");
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

struct Refused {
    const char* name;
    std::vector<std::string> extra;  // appended to a good command line
    const char* message;             // part of what the tool says
    int status;
};

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

// Damage done to a sound installer, and what verify must say about it.
class DamageTest : public PackTest {
protected:
    void SetUp() override {
        PackTest::SetUp();
        good_ = dir_ / "good.exe";
        ASSERT_EQ(Pack(good_).status, 0);
        bytes_ = ReadBytes(good_);
        start_ = author::CheckHost(bytes_, author::Trailing::Allowed).packageStart;
    }

    std::size_t RecordAt(std::size_t index) const { return start_ + 34 + 16 * index; }

    Result VerifyDamaged(const Bytes& damaged) {
        fs::path path = dir_ / "damaged.exe";
        WriteBytes(path, damaged);
        return RunTool(kTool, {"verify", path.string()});
    }

    fs::path good_;
    Bytes bytes_;
    std::uint32_t start_ = 0;
};

TEST_F(DamageTest, VerifyFindsAnInstallerCutShort) {
    Bytes cut(bytes_.begin(), bytes_.end() - 100);
    Result r = VerifyDamaged(cut);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("entry 3: its data ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("runs past the end of the file"), std::string::npos) << r.out;

    Bytes inTable(bytes_.begin(), bytes_.begin() + RecordAt(4) + 8);
    r = VerifyDamaged(inTable);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("no terminator"), std::string::npos) << r.out;

    Bytes inHeader(bytes_.begin(), bytes_.begin() + start_ + 20);
    r = VerifyDamaged(inHeader);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("inside the package header"), std::string::npos) << r.out;
}

TEST_F(DamageTest, VerifyFindsATableThatLostItsTerminator) {
    Bytes lost = bytes_;
    std::fill(lost.begin() + RecordAt(4), lost.begin() + RecordAt(5), 0xFF);
    Result r = VerifyDamaged(lost);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("entry 4: dataOffset 4294967295 reaches 2^31"), std::string::npos) << r.out;

    Bytes sized = bytes_;
    Put32(sized, RecordAt(4) + 8, 12345);
    r = VerifyDamaged(sized);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("terminator record is not all zero (its expandedSize 12345"), std::string::npos) << r.out;
}

TEST_F(DamageTest, VerifyFindsAStreamThatRunsOut) {
    ASSERT_NE(U32(bytes_, RecordAt(0) + 8), 0u) << "entry 0 is compressed";
    Bytes shorter = bytes_;
    Put32(shorter, RecordAt(0) + 4, U32(bytes_, RecordAt(0) + 4) / 2);
    Result r = VerifyDamaged(shorter);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("entry 0: its compressed stream runs out"), std::string::npos) << r.out;
}

TEST_F(DamageTest, ExtractAndVerifyRefuseAnExtensionWindowsWouldNot) {
    Bytes bad = bytes_;
    std::memcpy(&bad[RecordAt(2) + 12], "/../", 4);
    fs::path path = dir_ / "bad.exe";
    WriteBytes(path, bad);
    Result verify = RunTool(kTool, {"verify", path.string()});
    EXPECT_EQ(verify.status, 1);
    EXPECT_NE(verify.out.find("entry 2: its extension holds '/'"), std::string::npos) << verify.out;

    fs::path windows = dir_ / "windows";
    Result extract = RunTool(kTool, {"extract", path.string(), windows.string()});
    EXPECT_EQ(extract.status, 1);
    EXPECT_NE(extract.err.find("entry 2"), std::string::npos) << extract.err;
    EXPECT_EQ(ReadBytes(windows / "BAD.SCR"), inputs_[0].bytes) << "the other entries are extracted";
    EXPECT_EQ(ReadBytes(windows / "TORVANEK" / "LUMAVERN" / "bad" / "FILE0016.bmp"), inputs_[3].bytes);
    EXPECT_FALSE(fs::exists(windows / "TORVANEK" / "LUMAVERN" / "bad" / "FILE0015"));
}

TEST_F(DamageTest, ListAndVerifyRefuseAFileWithoutPackage) {
    WriteBytes(dir_ / "notes.txt", Bytes(300, 'n'));
    for (const char* command : {"list", "verify", "extract"}) {
        std::vector<std::string> args = {command, (dir_ / "notes.txt").string()};
        if (std::string(command) == "extract") args.push_back((dir_ / "x").string());
        Result r = RunTool(kTool, args);
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_NE((r.out + r.err).find("holds no package"), std::string::npos) << command << ": " << r.out << r.err;
    }
}

}  // namespace
