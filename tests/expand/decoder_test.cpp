// The stream decoder: hand-made streams for the format's corner cases, the
// model against its plain transcription, the buffered writer's requests, and
// agreement with the reference decoder on many streams.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <cstring>
#include <string>
#include <vector>

#include "expand/decoder.h"
#include "support/bytes.h"
#include "support/reference_decoder.h"
#include "platform/standin/control.h"

namespace {

using testsupport::Bytes;
using testsupport::Noise;

struct Decoded {
    Bytes out;              // what the target received
    int32_t produced = 0;   // ExpandStream's result
    uint32_t remaining = 0;
    unsigned faults = 0;
    uint32_t sourceTaken = 0;  // bytes the reader asked of the source
};

// Bytes in memory as the decoder's source or target: what it took or put,
// and the sizes of the reads it asked for.
struct Memory {
    uint8_t* bytes;
    uint32_t size;
    uint32_t offset = 0;
    std::vector<uint32_t> requests;
};

uint32_t ReadMemory(void* source, unsigned char* buffer, uint32_t count) {
    Memory* in = static_cast<Memory*>(source);
    in->requests.push_back(count);
    count = std::min(count, in->size - in->offset);
    std::copy_n(in->bytes + in->offset, count, buffer);
    in->offset += count;
    return count;
}

uint32_t WriteMemory(void* target, const unsigned char* data, uint32_t count) {
    Memory* out = static_cast<Memory*>(target);
    count = std::min(count, out->size - out->offset);
    std::copy_n(data, count, out->bytes + out->offset);
    out->offset += count;
    return count;
}

// One expansion from memory to memory, as ExpandEntry runs it but decoding
// zero bits past the stored bytes.
Decoded Decode(const Bytes& file, int32_t total, uint32_t stored, std::vector<uint32_t>* requests = nullptr) {
    Memory source{const_cast<uint8_t*>(file.data()), static_cast<uint32_t>(file.size()), 0, {}};
    Bytes out(std::max(total, 0) + 64, 0xEE);
    Memory target{out.data(), static_cast<uint32_t>(out.size()), 0, {}};
    Decoded d;
    d.remaining = stored;
    d.produced = ExpandStream(ReadMemory, &source, WriteMemory, &target, total, &d.remaining, EXPAND_ZERO_BITS);
    d.faults = ExpandFaults();
    d.sourceTaken = source.offset;
    if (requests) *requests = source.requests;
    out.resize(target.offset);
    d.out = out;
    return d;
}

// A target file on the stand-in's drive C: the stand-in records every
// _lwrite request and can be made to fill up.
struct WriteLog {
    std::vector<size_t> requests;
    Bytes bytes;
    long long room = -1;  // bytes it still takes; negative: no limit
};

// The writer's file call, as ExpandEntry gives it.
uint32_t WriteToFile(void* file, const unsigned char* data, uint32_t count) {
    UINT put = _lwrite(static_cast<HFILE>(reinterpret_cast<intptr_t>(file)), reinterpret_cast<LPCCH>(data), count);
    return put == static_cast<UINT>(HFILE_ERROR) ? 0 : put;
}

HFILE OpenWriteLog(const WriteLog& log) {
    static std::string root;
    if (root.empty()) {
        char templ[] = "/tmp/decoder-test-XXXXXX";
        root = mkdtemp(templ);
        mkdir((root + "/C").c_str(), 0755);
    }
    standin::Reset(root);
    standin::SetWriteBudget(log.room);
    return _lcreat("C:\\OUT.BIN", 0);
}

void CloseWriteLog(WriteLog& log, HFILE file) {
    _lclose(file);
    const std::vector<unsigned>& sizes = standin::GetCounters().writeSizes;
    log.requests.assign(sizes.begin(), sizes.end());
    std::ifstream in(standin::HostPath("C:\\OUT.BIN"), std::ios::binary);
    log.bytes.assign(std::istreambuf_iterator<char>(in), {});
}

Decoded DecodeToLog(const Bytes& file, int32_t total, WriteLog& log) {
    Memory source{const_cast<uint8_t*>(file.data()), static_cast<uint32_t>(file.size()), 0, {}};
    HFILE f = OpenWriteLog(log);
    Decoded d;
    d.remaining = static_cast<uint32_t>(file.size());
    d.produced = ExpandStream(ReadMemory, &source, WriteToFile, reinterpret_cast<void*>(static_cast<intptr_t>(f)), total,
                              &d.remaining, EXPAND_ZERO_BITS);
    d.faults = ExpandFaults();
    CloseWriteLog(log, f);
    d.out = log.bytes;
    return d;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Leaves the ring with known bytes in the installer's decoder and in ref.
void Prime(reference::Decoder& ref) {
    reference::StreamBuilder b;
    for (int i = 0; i < 100; i++) b.Literal(static_cast<uint8_t>(i * 7));
    Bytes s = b.Finish();
    Decode(s, 100, static_cast<uint32_t>(s.size()));
    reference::Expand(ref, s, 100, static_cast<uint32_t>(s.size()));
}

TEST(DecoderEdges, FirstSymbolOnTheInitialTree) {
    // Symbols 56..283 start with the 8-bit codes symbol - 56.
    EXPECT_EQ(Decode({0x00}, 1, 1).out, Bytes{0x38});
    EXPECT_EQ(Decode({0xC7}, 1, 1).out, Bytes{0xFF});
    // 0xC8 is symbol 256, a match of 3; position byte 0x00 and a 0 bit: position 0.
    EXPECT_EQ(Decode({0xC8, 0x00, 0x00}, 3, 3).out, Text("   "));
    // Symbols 0..55 have 9-bit codes 456 + symbol: 0x1C8 is the byte 0.
    EXPECT_EQ(Decode({0xE4, 0x00}, 1, 2).out, Bytes{0x00});
}

TEST(DecoderEdges, MatchesAtTheStartCopySpaces) {
    reference::StreamBuilder b;
    b.Match(30, 0);
    b.Match(5, 4065);  // the oldest of the leading spaces
    Bytes s = b.Finish();
    EXPECT_EQ(Decode(s, 35, static_cast<uint32_t>(s.size())).out, Bytes(35, ' '));
}

TEST(DecoderEdges, PositionCodesAtBothEnds) {
    // First byte 0x00 and a 1 bit: position 1, two bytes back.
    reference::StreamBuilder b;
    b.Literal('a');
    b.Literal('b');
    b.Symbol(256 + 2);  // a match of 5
    b.Bits(0x00, 8);
    b.Bits(1, 1);
    Bytes s = b.Finish();
    EXPECT_EQ(Decode(s, 7, static_cast<uint32_t>(s.size())).out, Text("abababa"));

    // First byte 0xFF and six 1 bits: position 4095, a whole ring back.
    reference::StreamBuilder far;
    Bytes expected;
    for (int i = 0; i < 4096; i++) {
        uint8_t v = static_cast<uint8_t>((i * 31) ^ (i >> 8));
        far.Literal(v);
        expected.push_back(v);
    }
    far.Symbol(253 + 4);
    far.Bits(0xFF, 8);
    far.Bits(0x3F, 6);
    for (int i = 0; i < 4; i++) expected.push_back(expected[i]);
    Bytes s2 = far.Finish();
    EXPECT_EQ(Decode(s2, 4100, static_cast<uint32_t>(s2.size())).out, expected);
}

TEST(DecoderEdges, ShortestAndLongestMatchAndOverlap) {
    reference::StreamBuilder b;
    for (char c : std::string("xyz")) b.Literal(static_cast<uint8_t>(c));
    b.Match(3, 2);   // symbol 256: "xyz"
    b.Match(30, 1);  // symbol 283, overlapping its own output: "yz" repeated
    Bytes s = b.Finish();
    std::string expected = "xyzxyz";
    for (int i = 0; i < 30; i++) expected += (i % 2 == 0) ? 'y' : 'z';
    EXPECT_EQ(Decode(s, 36, static_cast<uint32_t>(s.size())).out, Text(expected));
}

TEST(DecoderRing, LastThirtyPositionsOutliveTheStream) {
    // The first stream writes 5000 bytes; the byte at 4096 + k is the last
    // to land on ring position 4066 + k. A second stream that starts with a
    // match 4096 bytes back reads them before writing there itself.
    Bytes first = Noise(5000, 7);
    reference::StreamBuilder a;
    for (uint8_t v : first) a.Literal(v);
    Bytes sa = a.Finish();
    ASSERT_EQ(Decode(sa, 5000, static_cast<uint32_t>(sa.size())).out, first);

    reference::StreamBuilder b;
    b.Match(30, 4095);
    Bytes sb = b.Finish();
    Bytes expected(first.begin() + 4096, first.begin() + 4126);
    EXPECT_EQ(Decode(sb, 30, static_cast<uint32_t>(sb.size())).out, expected);

    // The next stream finds the last of them at 4095; from 0 on, spaces.
    reference::StreamBuilder c;
    c.Match(3, 4066);
    Bytes sc = c.Finish();
    EXPECT_EQ(Decode(sc, 3, static_cast<uint32_t>(sc.size())).out, (Bytes{first[4125], ' ', ' '}));
}

TEST(DecoderModel, MergeRebuildMatchesTheInsertionRebuild) {
    // Statistics that shift every few thousand symbols, over several rebuilds.
    HuffModel fast;
    reference::Model plain;
    StartModel(&fast);
    reference::StartModel(plain);
    std::mt19937 rng(11);
    int rebuilds = 0;
    for (int n = 0; n < 400000; n++) {
        int phase = n / 7000;
        int symbol;
        switch (phase % 3) {
        case 0: symbol = static_cast<int>(rng() % 16) + 100; break;
        case 1: symbol = static_cast<int>(rng() % 284); break;
        default: symbol = std::min(283, static_cast<int>(std::geometric_distribution<int>(0.2)(rng)) + 250); break;
        }
        bool rebuilding = fast.freq[ROOT] == FREQ_LIMIT;
        UpdateModel(&fast, static_cast<unsigned>(symbol));
        reference::UpdateModel(plain, symbol);
        if (rebuilding || n % 997 == 0) {
            rebuilds += rebuilding;
            ASSERT_EQ(0, std::memcmp(fast.freq, plain.freq, sizeof plain.freq)) << "after " << n;
            ASSERT_EQ(0, std::memcmp(fast.child, plain.child, sizeof plain.child)) << "after " << n;
            ASSERT_EQ(0, std::memcmp(fast.parent, plain.parent, sizeof plain.parent)) << "after " << n;
        }
    }
    EXPECT_GT(rebuilds, 10);
}

unsigned LeafFreq(const HuffModel& m, unsigned symbol) { return m.freq[m.parent[NODE_COUNT + symbol]]; }

unsigned LongestCode(const HuffModel& m) {
    unsigned longest = 0;
    for (unsigned s = 0; s < SYMBOL_COUNT; s++) {
        unsigned length = 0;
        for (unsigned c = m.parent[NODE_COUNT + s]; c != ROOT; c = m.parent[c]) length++;
        longest = std::max(longest, length);
    }
    return longest;
}

TEST(DecoderModel, RebuildRunsWhenTheRootReachesTheLimit) {
    HuffModel m;
    StartModel(&m);
    // Leaves of frequency 1 (symbol 10), 2 (symbol 11), 3 (symbol 12); the
    // rest of the count goes to symbol 200.
    UpdateModel(&m, 11);
    UpdateModel(&m, 12);
    UpdateModel(&m, 12);
    while (m.freq[ROOT] < FREQ_LIMIT) UpdateModel(&m, 200);
    ASSERT_EQ(m.freq[ROOT], FREQ_LIMIT);
    unsigned big = LeafFreq(m, 200);
    EXPECT_EQ(LeafFreq(m, 12), 3u);

    // The next update halves first, then counts its symbol.
    UpdateModel(&m, 12);
    EXPECT_EQ(LeafFreq(m, 10), 1u);
    EXPECT_EQ(LeafFreq(m, 11), 1u);
    EXPECT_EQ(LeafFreq(m, 12), 3u);  // 3 halves to 2, plus this one
    EXPECT_EQ(LeafFreq(m, 200), (big + 1) / 2);
    unsigned sum = 0;
    for (unsigned s = 0; s < SYMBOL_COUNT; s++) sum += LeafFreq(m, s);
    EXPECT_EQ(m.freq[ROOT], sum);
}

TEST(DecoderModel, CodesStayWithinTheirBound) {
    // Fibonacci-like counts make the deepest trees a root of 2^15 allows.
    HuffModel m;
    StartModel(&m);
    unsigned deepest = 0;
    std::vector<unsigned> counts{1, 1};
    while (counts.size() < 24) counts.push_back(counts[counts.size() - 1] + counts[counts.size() - 2]);
    for (int round = 0; round < 6; round++) {
        for (size_t s = 0; s < counts.size(); s++) {
            for (unsigned k = 0; k < counts[s]; k++) {
                UpdateModel(&m, static_cast<unsigned>(s + 30 * round) % SYMBOL_COUNT);
                if ((k & 63) == 0) deepest = std::max(deepest, LongestCode(m));
            }
        }
    }
    EXPECT_LE(deepest, MAX_CODE_BITS);
    EXPECT_GE(deepest, 15u);  // the test does reach deep trees
}

TEST(DecoderOutput, BlocksOfTheWriter) {
    Bytes stream = Noise(60000, 3);
    struct Case { int32_t total; std::vector<size_t> requests; };
    for (const Case& c : {Case{16384, {16384}}, Case{16385, {16384, 1}}, Case{32768, {16384, 16384}},
                          Case{16390, {16384, 6}}, Case{1, {1}}, Case{20, {20}}, Case{0, {}}}) {
        WriteLog log;
        Decoded d = DecodeToLog(stream, c.total, log);
        EXPECT_EQ(log.requests, c.requests) << "total " << c.total;
        EXPECT_EQ(log.bytes.size(), static_cast<size_t>(c.total));
        EXPECT_GE(d.produced, c.total);
        EXPECT_EQ(d.faults, 0u);
    }
}

TEST(DecoderOutput, FinalMatchOverrunsTheTotal) {
    // 20 literals and a match of 30 decode to 50 bytes; the file gets the
    // total, also below 30, and the surplus only lands in the ring.
    reference::StreamBuilder b;
    Bytes literals = Noise(20, 5);
    for (uint8_t v : literals) b.Literal(v);
    b.Match(30, 19);
    Bytes s = b.Finish();
    for (int32_t total : {21, 29, 35, 49}) {
        WriteLog log;
        Decoded d = DecodeToLog(s, total, log);
        EXPECT_EQ(d.produced, 50);
        ASSERT_EQ(log.bytes.size(), static_cast<size_t>(total));
        EXPECT_EQ(log.requests, std::vector<size_t>{static_cast<size_t>(total)});
        for (int i = 0; i < total; i++) EXPECT_EQ(log.bytes[i], literals[i % 20]) << i;
    }
}

TEST(DecoderOutput, NothingForAnEmptyTotal) {
    Bytes stream = Noise(100, 9);
    Decoded d = Decode(stream, 0, 100);
    EXPECT_EQ(d.produced, 0);
    EXPECT_EQ(d.remaining, 100u);
    EXPECT_EQ(d.sourceTaken, 0u);
    EXPECT_TRUE(d.out.empty());
}

TEST(DecoderOutput, AFullTargetStopsTheDecoder) {
    Bytes stream = Noise(200000, 4);
    WriteLog log;
    log.room = 20000;
    Decoded d = DecodeToLog(stream, 150000, log);
    EXPECT_TRUE(d.faults & EXPAND_FAULT_WRITE);
    EXPECT_LT(d.produced, 16384 * 2 + 30);  // stopped at the block that failed
    ASSERT_GE(log.requests.size(), 2u);
    EXPECT_EQ(log.requests[0], 16384u);
    EXPECT_EQ(log.bytes.size(), 20000u);
}

TEST(DecoderInput, ShortSourceIsReported) {
    reference::StreamBuilder b;
    Bytes text = Noise(3000, 8);
    for (uint8_t v : text) b.Literal(v);
    Bytes s = b.Finish();
    uint32_t stored = static_cast<uint32_t>(s.size());

    Decoded whole = Decode(s, 3000, stored);
    EXPECT_EQ(whole.out, text);
    EXPECT_EQ(whole.faults, 0u);

    Bytes cut(s.begin(), s.end() - 1);  // the file ends a byte early
    EXPECT_EQ(Decode(cut, 3000, stored).faults, static_cast<unsigned>(EXPAND_FAULT_SHORT));
    Decoded none = Decode({}, 3000, stored);  // nothing at the offset at all
    EXPECT_EQ(none.faults, static_cast<unsigned>(EXPAND_FAULT_SHORT));
    EXPECT_EQ(none.out.size(), 3000u);

    // Too small a storedSize is a damaged stream, not a short file: the
    // decoder goes on with zero bits and says nothing.
    EXPECT_EQ(Decode(s, 3000, stored - 10).faults, 0u);
    // Bytes missing past what the stream uses do not matter.
    Bytes longer = s;
    longer.resize(s.size() + 5000, 0x55);
    Bytes trimmed(longer.begin(), longer.begin() + static_cast<long>(s.size()) + 2);
    EXPECT_EQ(Decode(trimmed, 3000, stored + 5000).faults, 0u);
}

TEST(DecoderInput, TheSourceIsReadInBlocksUpToTheStoredSize) {
    // Random bits take every stored byte; the first request asks for a
    // whole block although the stream starts with a few bits.
    Bytes file = Noise(20000, 12);
    std::vector<uint32_t> requests;
    Decoded d = Decode(file, 100000, 17000, &requests);
    EXPECT_EQ(requests, (std::vector<uint32_t>{16384, 616}));
    EXPECT_EQ(d.sourceTaken, 17000u);
    EXPECT_EQ(d.remaining, 0u);
}

TEST(DecoderInput, ReadingStopsInsideTheCurrentBlock) {
    // Streams whose last bits fall near the end of the first 16384-byte
    // block, with plenty of stored bytes after them: the second block is
    // read exactly when a decoder holding 9 to 16 bits would read it.
    reference::Decoder ref;
    Prime(ref);
    int crossings = 0, stops = 0;
    for (uint32_t seed = 0; seed < 8; seed++) {
        Bytes file = Noise(60000, 15 + seed);
        const uint32_t stored = static_cast<uint32_t>(file.size());
        auto taken = [&](int32_t total) {
            reference::Decoder scratch;
            return stored - reference::Expand(scratch, file, total, stored).remaining;
        };
        int32_t low = 1, high = 60000;  // the first total that takes 16370 bytes or more
        while (low < high) {
            int32_t mid = (low + high) / 2;
            if (taken(mid) < 16370) {
                low = mid + 1;
            } else {
                high = mid;
            }
        }
        for (int32_t total = low; taken(total) <= 16400; total++) {
            Decoded mine = Decode(file, total, stored);
            reference::Outcome theirs = reference::Expand(ref, file, total, stored);
            uint32_t asked = 0;
            for (uint32_t r : theirs.readRequests) asked += r;
            ASSERT_EQ(mine.sourceTaken, asked) << "seed " << seed << " total " << total;
            ASSERT_EQ(mine.remaining, theirs.remaining) << "seed " << seed << " total " << total;
            ASSERT_TRUE(std::equal(mine.out.begin(), mine.out.end(), theirs.produced.begin())) << "total " << total;
            crossings += asked > IO_BLOCK;
            stops += asked == IO_BLOCK;
        }
    }
    EXPECT_GT(crossings, 0);  // both kinds occurred
    EXPECT_GT(stops, 0);
}

// The installer's decoder and the plain one, stream after stream: output,
// the count produced, the stored bytes taken, and the ring carried over.
TEST(DecoderAgreement, RandomStreamsDecodeAlike) {
    reference::Decoder ref;
    Prime(ref);
    std::mt19937 rng(2024);
    const int32_t totals[] = {1, 2, 3, 29, 30, 31, 64, 4096, 16383, 16384, 16385, 40000, 120000};
    int cases = 0;
    for (int round = 0; round < 8; round++) {
        for (int32_t total : totals) {
            size_t length = 1 + rng() % (static_cast<size_t>(total) * 2 + 100);
            Bytes stream = Noise(length, rng());
            uint32_t stored = static_cast<uint32_t>(length);
            Bytes file = stream;
            switch (rng() % 4) {
            case 0: stored = static_cast<uint32_t>(length / 2 + 1); break;     // the stream runs on in zeros
            case 1: file.resize(length / 2); break;                           // the file ends early
            case 2: file.resize(length + 40000, 0xA5); stored += 40000; break;  // more stored than used
            default: break;
            }
            Decoded mine = Decode(file, total, stored);
            reference::Outcome theirs = reference::Expand(ref, file, total, stored);
            ASSERT_EQ(mine.produced, static_cast<int32_t>(theirs.produced.size())) << "total " << total;
            ASSERT_TRUE(std::equal(mine.out.begin(), mine.out.end(), theirs.produced.begin())) << "total " << total;
            ASSERT_EQ(mine.out.size(), static_cast<size_t>(total));
            ASSERT_EQ(mine.remaining, theirs.remaining) << "total " << total;
            if (file.size() >= stored) {
                uint32_t asked = 0;
                for (uint32_t r : theirs.readRequests) asked += r;
                ASSERT_EQ(mine.sourceTaken, asked) << "total " << total;
            }
            cases++;
        }
    }
    EXPECT_EQ(cases, 8 * 13);
}

}  // namespace
