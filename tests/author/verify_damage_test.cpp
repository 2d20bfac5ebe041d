// What verify must say of an installer damaged after packing, and what
// list and extract do with it: cut short, a lost terminator, a stream that
// runs out, extensions and names Windows would not take, sizes near 2^31,
// entries that share a file, what follows the last entry.
#include "pack_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace fs = std::filesystem;
using namespace tooltest;

namespace {

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
    ASSERT_NE(Get32(bytes_, RecordAt(0) + 8), 0u) << "entry 0 is compressed";
    Bytes shorter = bytes_;
    Put32(shorter, RecordAt(0) + 4, Get32(bytes_, RecordAt(0) + 4) / 2);
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
    EXPECT_EQ(ReadBytes(DataDirIn(windows, "bad") / "FILE0016.bmp"), inputs_[3].bytes);
    EXPECT_FALSE(fs::exists(DataDirIn(windows, "bad") / "FILE0015"));
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

TEST_F(DamageTest, WhatFollowsTheLastEntryIsPaddingAndACertificateTableOrNothing) {
    Bytes signedGood = FakeSigned(bytes_, 1000);
    Result sound = VerifyDamaged(signedGood);
    EXPECT_EQ(sound.status, 0) << sound.out;
    EXPECT_TRUE(Has(sound.out, "signed: certificate table of 1000 bytes")) << sound.out;

    Bytes nonZero = {1, 0, 0};
    Bytes eight(8 + (8 - bytes_.size() % 8) % 8, 0);
    Bytes trailing = FakeSigned(bytes_, 1000);
    trailing.push_back(0);
    Bytes unsignedChecksum = bytes_;
    Put32(unsignedChecksum, author::ReadPeImage(bytes_).optionalHeader + author::kOptionalCheckSum, 7);
    Bytes unsignedTrailing = bytes_;
    unsignedTrailing.insert(unsignedTrailing.end(), 16, 0);
    // The table starts 10 bytes before the last entry's data ends.
    Bytes overlapping = FakeSigned(bytes_, 1000);
    std::uint32_t tableAt = Get32(overlapping, author::ReadPeImage(bytes_).optionalHeader +
                                                 author::kOptionalDataDirectories + 8 * author::kSecurityDirectory);
    Put32(overlapping,
          author::ReadPeImage(bytes_).optionalHeader + author::kOptionalDataDirectories + 8 * author::kSecurityDirectory,
          std::uint32_t(bytes_.size() - 10));
    Put32(overlapping,
          author::ReadPeImage(bytes_).optionalHeader + author::kOptionalDataDirectories +
              8 * author::kSecurityDirectory + 4,
          std::uint32_t(1000 + tableAt - (bytes_.size() - 10)));
    Bytes pastEnd = FakeSigned(bytes_, 1000);
    pastEnd.resize(pastEnd.size() - 1);
    struct Case {
        const char* what;
        Bytes file;
        const char* message;
    } cases[] = {
        {"padding that is not zero", FakeSigned(bytes_, 1000, &nonZero), "a signer pads with at most 7 zero bytes"},
        {"8 bytes of padding", FakeSigned(bytes_, 1000, &eight), "a signer pads with at most 7 zero bytes"},
        {"bytes after the table", trailing, "1 bytes follow the certificate table"},
        {"a table past the end", pastEnd, "runs past the end of the file"},
        {"an entry reaching into the table", overlapping, "entry 3: its data (" },
        {"a checksum without a signature", unsignedChecksum,
         "image checksum is not 0: installers are written with checksum 0 (the installer never reads it)"},
        {"bytes after an unsigned package", unsignedTrailing, "16 bytes follow the last entry's data"},
    };
    for (const Case& c : cases) {
        Result r = VerifyDamaged(c.file);
        EXPECT_EQ(r.status, 1) << c.what << ": " << r.out;
        EXPECT_TRUE(Has(r.out, c.message)) << c.what << ": " << r.out;
    }
    EXPECT_TRUE(Has(VerifyDamaged(overlapping).out, "reaches into the certificate table"));

    // extract leaves out the entry that reaches into the table, list says so.
    WriteBytes(dir_ / "overlap.exe", overlapping);
    Result extract = RunTool(kTool, {"extract", (dir_ / "overlap.exe").string(), (dir_ / "windows").string()});
    EXPECT_EQ(extract.status, 1);
    EXPECT_TRUE(Has(extract.err, "entry 3 (TORVANEK\\LUMAVERN\\overlap\\FILE0016.bmp) not extracted")) << extract.err;
    EXPECT_FALSE(fs::exists(DataDirIn(dir_ / "windows", "overlap") / "FILE0016.bmp"));
    EXPECT_EQ(ReadBytes(dir_ / "windows" / "OVERLAP.SCR"), inputs_[0].bytes);
    Result list = RunTool(kTool, {"list", (dir_ / "overlap.exe").string()});
    EXPECT_EQ(list.status, 1);
    EXPECT_TRUE(Has(list.err, "reaches into the certificate table")) << list.err;
}

// A tampered security directory or table is a damaged signature to every
// command that reads the installer, not a signed installer.
TEST_F(DamageTest, ACertificateTableOnlyWhereASignerPutsItAndOfWellFormedEntries) {
    const std::size_t directory =
        author::ReadPeImage(bytes_).DirectoryEntry(author::kSecurityDirectory);
    auto pointedAt = [&](std::uint32_t offset, std::uint32_t size) {
        Bytes b = FakeSigned(bytes_, 1000);
        Put32(b, directory, offset);
        Put32(b, directory + 4, size);
        return b;
    };
    const Bytes unaligned(bytes_.size() % 8 ? 0 : 1, 0);  // no padding, or one zero byte: off the multiple of 8
    Bytes signed_ = FakeSigned(bytes_, 1000);
    const std::size_t table = signed_.size() - 1000;
    auto entry = [&](std::size_t at, std::uint32_t value) {
        Bytes b = signed_;
        Put32(b, table + at, value);
        return b;
    };
    struct Case {
        const char* what;
        Bytes file;
        const char* message;
    } cases[] = {
        {"a table in the headers", pointedAt(64, 1000), "begins before the end of the package"},
        {"a table in the package", pointedAt(start_ & ~7u, 16), "begins before the end of the package"},
        {"a table off the multiple of 8", FakeSigned(bytes_, 1000, &unaligned), "does not begin at a multiple of 8"},
        {"an entry of revision 0x0100", entry(4, 0x00020100), "revision 256 and type 2"},
        {"an entry of type 1", entry(4, 0x00010200), "revision 512 and type 1"},
        {"an entry shorter than its header", entry(0, 4), "claims 4 bytes"},
        {"an entry longer than the table", entry(0, 1008), "claims 1008 bytes"},
    };
    for (const Case& c : cases) {
        fs::path path = dir_ / "tampered.exe";
        WriteBytes(path, c.file);
        Result verify = RunTool(kTool, {"verify", path.string()});
        EXPECT_EQ(verify.status, 1) << c.what << ": " << verify.out;
        EXPECT_TRUE(Has(verify.out, "damaged or tampered signature")) << c.what << ": " << verify.out;
        EXPECT_TRUE(Has(verify.out, c.message)) << c.what << ": " << verify.out;
        EXPECT_FALSE(Has(verify.out, "signed: certificate table")) << c.what << ": " << verify.out;
        Result list = RunTool(kTool, {"list", path.string()});
        EXPECT_EQ(list.status, 1) << c.what;
        EXPECT_TRUE(Has(list.err, c.message)) << c.what << ": " << list.err;
        Result extract = RunTool(kTool, {"extract", path.string(), (dir_ / "windows").string()});
        EXPECT_EQ(extract.status, 1) << c.what;
        EXPECT_TRUE(Has(extract.err, c.message)) << c.what << ": " << extract.err;
    }
}

TEST_F(DamageTest, SizesNear2To31FromAFewStoredBytesAreRefusedInFixedMemory) {
    Bytes claims = bytes_;
    Put32(claims, RecordAt(0) + 8, 0x7FFFFFF0);  // entry 0 claims to expand to almost 2 GB
    Put32(claims, RecordAt(2) + 8, 0x7FFFFFFF);
    WriteBytes(dir_ / "claims.exe", claims);
    // 1 GB of address space: an expansion into memory would fail on it.
    std::vector<std::string> limit = {"--as=1000000000", kTool};
#if defined(__SANITIZE_ADDRESS__)
    limit = {"--as=unlimited", kTool};  // the sanitizer reserves terabytes of address space
#endif
    std::vector<std::string> args = limit;
    args.insert(args.end(), {"verify", (dir_ / "claims.exe").string()});
    Result verify = RunTool("prlimit", args);
    EXPECT_EQ(verify.status, 1) << verify.out << verify.err;
    EXPECT_TRUE(Has(verify.out, "entry 0: its compressed stream runs out of its")) << verify.out;
    EXPECT_TRUE(Has(verify.out, "entry 2: its compressed stream runs out of its")) << verify.out;

    args = limit;
    args.insert(args.end(), {"extract", (dir_ / "claims.exe").string(), (dir_ / "windows").string()});
    Result extract = RunTool("prlimit", args);
    EXPECT_EQ(extract.status, 1);
    EXPECT_TRUE(Has(extract.err, "entry 0 (CLAIMS.SCR) not extracted: its compressed stream runs out")) << extract.err;
    EXPECT_FALSE(fs::exists(dir_ / "windows" / "CLAIMS.SCR"));
    fs::path data = DataDirIn(dir_ / "windows", "claims");
    EXPECT_EQ(ReadBytes(data / "claims.DAT"), inputs_[1].bytes) << "the sound entries are extracted";
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(data)) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"FILE0016.bmp", "claims.DAT"})) << "no partial or temporary file";
}

TEST_F(DamageTest, EntriesThatTheInstallerWouldWriteToOneFileAreFound) {
    // Entry 2 ends in ".DAT" and the installer is named like its file: both
    // entry 1 and entry 2 are FILE0015.DAT.
    Bytes same = bytes_;
    std::memcpy(&same[RecordAt(2) + 12], ".DAT", 4);
    WriteBytes(dir_ / "FILE0015.exe", same);
    Result verify = RunTool(kTool, {"verify", (dir_ / "FILE0015.exe").string()});
    EXPECT_EQ(verify.status, 1);
    EXPECT_TRUE(Has(verify.out, "entries 1 and 2 are both installed as TORVANEK\\LUMAVERN\\FILE0015\\FILE0015.DAT"))
        << verify.out;
    Result extract = RunTool(kTool, {"extract", (dir_ / "FILE0015.exe").string(), (dir_ / "windows").string()});
    EXPECT_EQ(extract.status, 1);
    EXPECT_TRUE(Has(extract.err, "entry 2 (TORVANEK\\LUMAVERN\\FILE0015\\FILE0015.DAT) not extracted: an earlier"))
        << extract.err;
    EXPECT_EQ(ReadBytes(DataDirIn(dir_ / "windows", "FILE0015") / "FILE0015.DAT"), inputs_[1].bytes);

    // A number and an extension that combine into another entry's name:
    // FILE1000 with "0.MI" (entry 2) and FILE10000 with ".MI" (entry 9002).
    const std::size_t count = 9003;
    Bytes crafted(bytes_.begin(), bytes_.begin() + start_);
    std::string title = "Crafted";
    title.resize(32, '\0');
    crafted.insert(crafted.end(), title.begin(), title.end());
    crafted.insert(crafted.end(), {0xE8, 0x03});  // 1000
    std::uint32_t data = std::uint32_t(start_ + 34 + 16 * (count + 1));
    for (std::size_t i = 0; i < count; i++) {
        Bytes record(16, 0);
        Put32(record, 0, data);
        Put32(record, 4, 4);
        const char* extension = i == 2 ? "0.MI" : i == count - 1 ? ".MI" : ".X";
        std::memcpy(&record[12], extension, std::strlen(extension));
        crafted.insert(crafted.end(), record.begin(), record.end());
    }
    crafted.insert(crafted.end(), 16, 0);
    crafted.insert(crafted.end(), {'M', 'Z', 0, 0});
    verify = VerifyDamaged(crafted);
    EXPECT_EQ(verify.status, 1);
    EXPECT_TRUE(Has(verify.out, "entries 2 and 9002 are both installed as TORVANEK\\LUMAVERN\\damaged\\FILE10000.MI"))
        << verify.out;
    EXPECT_TRUE(Has(verify.out, ": 1 problem")) << "nothing else is wrong with it: " << verify.out;
}

}  // namespace
