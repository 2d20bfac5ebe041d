// ExpandEntry on the native stand-in: an installer file with streams at
// known offsets, expanded into targets under the stand-in's drive C.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "compress/compress.h"
#include "compress/expansion.h"
#include "expand/expand.h"
#include "expand/decoder.h"
#include "support/bytes.h"
#include "support/reference_decoder.h"
#include "platform/standin/control.h"
#include "support/standin_test.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::Noise;

// An entry: a stream of random bits and what it decodes to at a size.
struct Entry {
    Bytes stream;
    DWORD expandedSize;
    DWORD dataOffset = 0;
};

class ExpandEntryTest : public testsupport::StandinTest {
protected:
    void SetUp() override {
        StandinTest::SetUp();
        standin::SetModulePath("C:\\DOWNLOAD\\Clouds.exe");
        fs::create_directories(root_ + "/C/DOWNLOAD");
        fs::create_directories(root_ + "/C/WINDOWS");
        // Any ring state the decoder holds from before is replaced by a
        // stream of literals in both decoders.
        reference::StreamBuilder b;
        for (int i = 0; i < 64; i++) b.Literal(static_cast<uint8_t>(i));
        Entry prime{b.Finish(), 64};
        WriteInstaller({&prime});
        ExpandEntry(Module(), prime.dataOffset, 64, static_cast<DWORD>(prime.stream.size()), "C:\\WINDOWS\\PRIME.BIN");
        reference::Expand(ref_, prime.stream, 64, static_cast<uint32_t>(prime.stream.size()));
    }

    static HINSTANCE Module() { return GetModuleHandleA(nullptr); }

    // Lays out the installer: 3000 bytes of header, then each entry's stream,
    // then `trailer` more bytes.
    void WriteInstaller(std::vector<Entry*> entries, size_t trailer = 0, size_t cut = 0) {
        Bytes file = Noise(3000, 1);
        for (Entry* e : entries) {
            e->dataOffset = static_cast<DWORD>(file.size());
            file.insert(file.end(), e->stream.begin(), e->stream.end());
        }
        Bytes tail = Noise(trailer, 2);
        file.insert(file.end(), tail.begin(), tail.end());
        file.resize(file.size() - cut);
        std::ofstream(root_ + "/C/DOWNLOAD/Clouds.exe", std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }

    Bytes Expected(const Entry& e, uint32_t stored) {
        auto out = reference::Expand(ref_, e.stream, static_cast<int32_t>(e.expandedSize), stored).produced;
        out.resize(e.expandedSize);
        return out;
    }

    Bytes ReadTarget(const std::string& name) {
        std::string s = ReadFile("C:\\WINDOWS\\" + name);
        return Bytes(s.begin(), s.end());
    }

    bool TargetExists(const std::string& name) { return Exists("C:\\WINDOWS\\" + name); }

    reference::Decoder ref_;
};

TEST_F(ExpandEntryTest, ReplacesAnExistingTarget) {
    Entry e{Noise(30000, 3), 50000};
    WriteInstaller({&e});
    WriteFile("C:\\WINDOWS\\OLD.SCR", std::string(200000, 'x'));
    DWORD stored = static_cast<DWORD>(e.stream.size());
    EXPECT_EQ(ExpandEntry(Module(), e.dataOffset, e.expandedSize, stored, "C:\\WINDOWS\\old.scr"), EXPAND_DONE);
    EXPECT_EQ(ReadTarget("OLD.SCR"), Expected(e, stored));
}

TEST_F(ExpandEntryTest, TwoEntriesInARow) {
    Entry first{Noise(20000, 4), 33000};
    Entry second{Noise(9000, 5), 17}; // below the longest match
    WriteInstaller({&first, &second}, 100);
    DWORD firstStored = static_cast<DWORD>(first.stream.size());
    DWORD secondStored = static_cast<DWORD>(second.stream.size());
    EXPECT_EQ(ExpandEntry(Module(), first.dataOffset, first.expandedSize, firstStored, "C:\\WINDOWS\\A.BIN"), EXPAND_DONE);
    EXPECT_EQ(ExpandEntry(Module(), second.dataOffset, second.expandedSize, secondStored, "C:\\WINDOWS\\B.BIN"),
              EXPAND_DONE);
    EXPECT_EQ(ReadTarget("A.BIN"), Expected(first, firstStored));
    EXPECT_EQ(ReadTarget("B.BIN"), Expected(second, secondStored));
}

TEST_F(ExpandEntryTest, StoredSizeLargerThanTheStreamNeeds) {
    Entry e{Noise(50000, 6), 3000};
    WriteInstaller({&e});
    EXPECT_EQ(ExpandEntry(Module(), e.dataOffset, e.expandedSize, 50000, "C:\\WINDOWS\\A.BIN"), EXPAND_DONE);
    EXPECT_EQ(ReadTarget("A.BIN"), Expected(e, 50000));
}

// The stored size bounds the bits the symbols may use: exactly 8 x storedSize
// is a whole stream (about one good entry in eight ends on a byte), one bit
// more is a stream that ran short.
TEST_F(ExpandEntryTest, SymbolsUsingExactlyTheStoredBitsAreWholeOneBitMoreIsShort) {
    bool exact = false, over = false;
    for (uint32_t seed = 1; seed < 400 && !(exact && over); seed++) {
        Bytes data = Noise(300 + seed, seed);
        for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>('a' + data[i] % 4);
        Bytes stream = codec::Compress(data, codec::Level::Default);
        Bytes out(data.size());
        uint64_t bits = codec::ExpandMemory(stream.data(), static_cast<uint32_t>(stream.size()), out.data(),
                                            static_cast<uint32_t>(data.size()));
        ASSERT_EQ(out, data);
        if (bits % 8 > 1 || (bits % 8 == 0 && exact) || (bits % 8 == 1 && over)) continue;
        DWORD stored = static_cast<DWORD>(bits / 8);
        Entry e{Bytes(stream.begin(), stream.begin() + stored), static_cast<DWORD>(data.size())};
        WriteInstaller({&e});
        ExpandResult result = ExpandEntry(Module(), e.dataOffset, e.expandedSize, stored, "C:\\WINDOWS\\X.BIN");
        if (bits % 8 == 0) {
            EXPECT_EQ(result, EXPAND_DONE) << bits << " bits in " << stored << " bytes";
            EXPECT_EQ(ReadTarget("X.BIN"), data);
            exact = true;
        } else {
            EXPECT_EQ(result, EXPAND_SHORT_DATA) << bits << " bits in " << stored << " bytes";
            over = true;
        }
    }
    EXPECT_TRUE(exact && over) << "no stream ended on a byte, or one bit past it";
}

TEST_F(ExpandEntryTest, DataThatIsNotThereIsReported) {
    // 20000 bytes take all of the 4000 stored ones.
    Entry e{Noise(4000, 7), 20000};
    WriteInstaller({&e}, 0, 1000);  // the installer was cut short
    DWORD stored = static_cast<DWORD>(e.stream.size());
    EXPECT_EQ(ExpandEntry(Module(), e.dataOffset, e.expandedSize, stored, "C:\\WINDOWS\\CUT.BIN"), EXPAND_SHORT_DATA);
    EXPECT_LE(ReadTarget("CUT.BIN").size(), 20000u);

    EXPECT_EQ(ExpandEntry(Module(), 10000000, 6000, stored, "C:\\WINDOWS\\FAR.BIN"), EXPAND_SHORT_DATA);
    EXPECT_EQ(ReadTarget("FAR.BIN").size(), 6000u);
    EXPECT_EQ(ExpandEntry(Module(), 0x80000000u, 6000, stored, "C:\\WINDOWS\\FAR2.BIN"), EXPAND_SHORT_DATA);
}

// A damaged record claims far more than its stream can give: expansion
// stops at the first block after the stream has run out, instead of writing
// 1.5 GB of what zero bits decode to, and says the data was short.
TEST_F(ExpandEntryTest, AStreamThatRunsOutStopsEarly) {
    Bytes plain(40000);
    for (std::size_t i = 0; i < plain.size(); i++) plain[i] = static_cast<std::uint8_t>(i * i >> 5);
    Entry e{codec::Compress(plain, codec::Level::Fast), 40000};
    WriteInstaller({&e});
    DWORD stored = static_cast<DWORD>(e.stream.size());
    EXPECT_EQ(ExpandEntry(Module(), e.dataOffset, 1500000000u, stored, "C:\\WINDOWS\\HUGE.BIN"), EXPAND_SHORT_DATA);
    std::size_t written = ReadTarget("HUGE.BIN").size();
    EXPECT_GE(written, 40000u);
    EXPECT_LE(written, 40000u + 2 * IO_BLOCK);
    EXPECT_EQ(ExpandEntry(Module(), e.dataOffset, 40000, stored, "C:\\WINDOWS\\FINE.BIN"), EXPAND_DONE);
    EXPECT_EQ(ReadTarget("FINE.BIN"), plain);
}

TEST_F(ExpandEntryTest, AFullDiskIsReported) {
    Entry e{Noise(60000, 8), 100000};
    WriteInstaller({&e});
    fs::create_symlink("/dev/full", root_ + "/C/WINDOWS/FULL.BIN");
    DWORD stored = static_cast<DWORD>(e.stream.size());
    // A block write fails at once...
    EXPECT_EQ(ExpandEntry(Module(), e.dataOffset, 100000, stored, "C:\\WINDOWS\\FULL.BIN"), EXPAND_WRITE_FAILED);
    // ...a small file fails only when the stream is closed.
    EXPECT_EQ(ExpandEntry(Module(), e.dataOffset, 100, stored, "C:\\WINDOWS\\FULL.BIN"), EXPAND_WRITE_FAILED);
}

TEST_F(ExpandEntryTest, TargetThatCannotBeCreated) {
    Entry e{Noise(1000, 9), 1000};
    WriteInstaller({&e});
    EXPECT_EQ(ExpandEntry(Module(), e.dataOffset, 1000, 1000, "C:\\NOWHERE\\A.BIN"), EXPAND_TARGET_FAILED);
}

TEST_F(ExpandEntryTest, RefusedBeforeAnythingIsCreated) {
    Entry e{Noise(1000, 10), 1000};
    WriteInstaller({&e});
    EXPECT_EQ(ExpandEntry(Module(), e.dataOffset, 0x80000000u, 1000, "C:\\WINDOWS\\HUGE.BIN"), EXPAND_BAD_ENTRY);
    EXPECT_EQ(ExpandEntry(Module(), e.dataOffset, 0xFFFFFFFFu, 1000, "C:\\WINDOWS\\HUGE.BIN"), EXPAND_BAD_ENTRY);
    EXPECT_FALSE(TargetExists("HUGE.BIN"));

    standin::SetModulePath("C:\\DOWNLOAD\\Missing.exe");
    EXPECT_EQ(ExpandEntry(Module(), e.dataOffset, 1000, 1000, "C:\\WINDOWS\\NONE.BIN"), EXPAND_NOT_STARTED);
    EXPECT_FALSE(TargetExists("NONE.BIN"));
}

TEST_F(ExpandEntryTest, EmptyEntryCreatesAnEmptyFile) {
    Entry e{Noise(1000, 11), 0};
    WriteInstaller({&e});
    WriteFile("C:\\WINDOWS\\EMPTY.BIN", "old");
    EXPECT_EQ(ExpandEntry(Module(), e.dataOffset, 0, 1000, "C:\\WINDOWS\\EMPTY.BIN"), EXPAND_DONE);
    EXPECT_TRUE(TargetExists("EMPTY.BIN"));
    EXPECT_TRUE(ReadTarget("EMPTY.BIN").empty());
}

// _lwrite with a count of 0 cuts a file off at its position (the stand-in
// does as Windows does), so the writer must never ask for 0 bytes, also
// when the size is a whole number of blocks and the last block is full.
TEST_F(ExpandEntryTest, NoWriteOfNothingEverReachesTheTarget) {
    HFILE probe = _lcreat("C:\\WINDOWS\\CUT.BIN", 0);
    ASSERT_NE(probe, HFILE_ERROR);
    ASSERT_EQ(_lwrite(probe, "abcdef", 6), 6u);
    ASSERT_EQ(_llseek(probe, 2, FILE_BEGIN), 2);
    EXPECT_EQ(_lwrite(probe, "", 0), 0u);
    _lclose(probe);
    EXPECT_EQ(ReadTarget("CUT.BIN").size(), 2u);

    Bytes plain(3 * IO_BLOCK);
    for (std::size_t i = 0; i < plain.size(); i++) plain[i] = static_cast<std::uint8_t>(i / 7);
    Entry e{codec::Compress(plain, codec::Level::Fast), 0};
    WriteInstaller({&e});
    DWORD stored = static_cast<DWORD>(e.stream.size());
    for (DWORD size : {DWORD(IO_BLOCK), DWORD(2 * IO_BLOCK), DWORD(3 * IO_BLOCK), DWORD(1), DWORD(0)}) {
        standin::GetCounters().writeSizes.clear();
        EXPECT_EQ(ExpandEntry(Module(), e.dataOffset, size, stored, "C:\\WINDOWS\\WHOLE.BIN"), EXPAND_DONE);
        Bytes expected(plain.begin(), plain.begin() + size);
        EXPECT_EQ(ReadTarget("WHOLE.BIN"), expected) << size;
        for (unsigned request : standin::GetCounters().writeSizes) EXPECT_NE(request, 0u) << size;
    }
}

}  // namespace
