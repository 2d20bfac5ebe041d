// The compressor: its streams decode to the input at every level (and the
// benchmark's greedy parse), whatever the decoder's ring held before; its
// match searches against brute force.
#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "bench/classic_tree.h"
#include "bench/greedy.h"
#include "compress/compress.h"
#include "compress/expansion.h"
#include "compress/match_finder.h"
#include "expand/decoder.h"
#include "support/bytes.h"
#include "support/reference_decoder.h"

namespace {

using testsupport::Bytes;
using testsupport::Noise;
// Every parse: the benchmark's greedy baseline, then the codec's levels.
struct Parse {
    const char* name;
    Bytes (*compress)(std::span<const uint8_t> input);
};
template <codec::Level level>
Bytes AtLevel(std::span<const uint8_t> input) {
    return codec::Compress(input, level);
}
constexpr Parse kParses[] = {{"greedy", bench::CompressGreedy},
                             {"fast", AtLevel<codec::Level::Fast>},
                             {"default", AtLevel<codec::Level::Default>},
                             {"best", AtLevel<codec::Level::Best>}};

// Words from a small vocabulary: text-like repeats at every distance.
Bytes Words(size_t n, uint32_t seed) {
    static const char* vocabulary[] = {"the ", "screen ", "saver ", "install ", "window ", "a ", "of ",
                                       "directory ", "file ", "and ", "clouds ", "\r\n", "to ", "is "};
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < n) {
        const char* w = vocabulary[rng() % std::size(vocabulary)];
        b.insert(b.end(), w, w + std::char_traits<char>::length(w));
    }
    b.resize(n);
    return b;
}

// Text over a vocabulary of generated words, a few of them far more common
// than the rest.
Bytes Prose(size_t n, uint32_t seed, unsigned vocabulary) {
    std::mt19937 rng(seed);
    std::vector<std::string> words;
    for (unsigned i = 0; i < vocabulary; i++) {
        std::string w;
        for (unsigned k = 2 + rng() % 8; k > 0; k--) w += static_cast<char>('a' + rng() % 26);
        words.push_back(w);
    }
    Bytes b;
    while (b.size() < n) {
        uint32_t rank = rng() % vocabulary;
        for (int skew = 0; skew < 2; skew++) rank = rank * (rng() % vocabulary) / vocabulary;
        b.insert(b.end(), words[rank].begin(), words[rank].end());
        b.push_back(rng() % 9 == 0 ? '\n' : ' ');
    }
    b.resize(n);
    return b;
}

// Statistics that shift every few thousand bytes, over several rebuilds of
// the tree: runs, text, small-alphabet noise, structured records.
Bytes Shifting(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b;
    for (int part = 0; b.size() < n; part++) {
        Bytes piece;
        switch (part % 4) {
        case 0: piece.assign(3000 + rng() % 5000, static_cast<uint8_t>(rng())); break;
        case 1: piece = Words(6000, rng()); break;
        case 2: piece = Noise(5000, rng(), 4); break;
        default:
            for (uint32_t i = 0; i < 2000; i++) {
                piece.push_back(static_cast<uint8_t>(i));
                piece.push_back(static_cast<uint8_t>(i >> 8));
                piece.push_back(0);
                piece.push_back(0x40);
            }
        }
        b.insert(b.end(), piece.begin(), piece.end());
    }
    b.resize(n);
    return b;
}

struct Case {
    std::string name;
    Bytes data;
};

std::vector<Case> Inputs() {
    std::vector<Case> cases = {
        {"one byte", {0x41}},
        {"two bytes", {0x20, 0x20}},
        {"three spaces", Bytes(3, ' ')},
        {"spaces then text", [] {
             Bytes b(5000, ' ');
             Bytes w = Words(3000, 1);
             b.insert(b.end(), w.begin(), w.end());
             return b;
         }()},
        {"zeros", Bytes(100000, 0)},
        {"short text", Words(200, 2)},
        {"text", Words(150000, 3)},
        {"random", Noise(70000, 4)},
        {"small alphabet", Noise(60000, 5, 3)},
        {"shifting", Shifting(400000, 6)},
    };
    // Ends on and just past the edges of the parsers' stretches (1024 coded
    // of 1054 planned; 2048 of 4096), where a plan runs to the input's end.
    for (size_t n : {1054u, 1055u, 2048u, 4096u, 4127u}) cases.push_back({"text of " + std::to_string(n), Words(n, 20)});
    // Repeats exactly one ring and one byte more apart.
    for (size_t period : {4096u, 4097u, 4095u}) {
        Bytes block = Noise(period, 7);
        Bytes b;
        for (int i = 0; i < 4; i++) b.insert(b.end(), block.begin(), block.end());
        cases.push_back({"period " + std::to_string(period), b});
    }
    return cases;
}

// Leaves the installer's decoder with ring positions 4066..4095 holding
// fill (the last bytes of a stream of them).
void FillDecoderRing(uint8_t fill, bool random) {
    Bytes junk = random ? Noise(5000, fill) : Bytes(5000, fill);
    Bytes stream = codec::Compress(junk, codec::Level::Fast);
    Bytes out(junk.size());
    codec::ExpandMemory(stream.data(), static_cast<uint32_t>(stream.size()), out.data(),
                        static_cast<uint32_t>(out.size()));
    ASSERT_EQ(out, junk);
}

TEST(CompressRoundTrip, EveryLevelWhateverTheRingHeld) {
    for (const Case& c : Inputs()) {
        for (const Parse& parse : kParses) {
            const std::string what = c.name + ", " + parse.name;
            Bytes stream = parse.compress(c.data);
            const uint32_t stored = static_cast<uint32_t>(stream.size());
            for (int ring = 0; ring < 3; ring++) {
                FillDecoderRing(ring == 0 ? 0 : ring == 1 ? 0xFF : 0x5A, ring == 2);
                Bytes out(c.data.size(), 0xEE);
                uint64_t bits = codec::ExpandMemory(stream.data(), stored, out.data(), static_cast<uint32_t>(out.size()));
                ASSERT_EQ(out, c.data) << what << ", ring " << ring;
                // The stream ends in its last byte: no byte to spare, none missing.
                ASSERT_EQ((bits + 7) / 8, stored) << what;
            }
            // The plain decoder, with garbage at the ring positions the
            // stream must not read before writing them.
            reference::Decoder ref;
            std::mt19937 rng(static_cast<uint32_t>(c.data.size()));
            for (auto& x : ref.ring) x = static_cast<uint8_t>(rng());
            auto outcome = reference::Expand(ref, stream, static_cast<int32_t>(c.data.size()), stored);
            outcome.produced.resize(c.data.size());
            ASSERT_EQ(outcome.produced, c.data) << what << ", reference decoder";
        }
    }
}

TEST(CompressRoundTrip, EmptyInputGivesAnEmptyStream) {
    for (const Parse& parse : kParses) EXPECT_TRUE(parse.compress({}).empty()) << parse.name;
}

// FNV-1a, 64 bits: a digest of a stream without a hashing library.
uint64_t Digest(const Bytes& b) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t x : b) h = (h ^ x) * 0x100000001b3ull;
    return h;
}

TEST(CompressDeterminism, SameBytesOnEveryMachine) {
    // The generators use the standard's fully specified engine and integer
    // arithmetic only, so the input is the same everywhere; so must be the
    // streams. On this input the best level keeps its second parse's
    // stream. A deliberate change of a parse changes these digests: take
    // the new ones from the failure message.
    Bytes input = Prose(200000, 21, 300);
    const uint64_t expected[] = {0xfb71cef8b9a152bcull, 0x5f48631a2f30b9c1ull, 0xba8e1f5abd79dfd1ull, 0x975fa8ab118e6d70ull};
    for (size_t l = 0; l < std::size(kParses); l++) {
        Bytes stream = kParses[l].compress(input);
        EXPECT_EQ(Digest(stream), expected[l]) << kParses[l].name << ", " << stream.size() << " bytes";
    }
}

TEST(CompressDeterminism, SameInputSameBytes) {
    Bytes a = Shifting(120000, 8);
    Bytes b = Words(50000, 9);
    for (const Parse& parse : kParses) {
        Bytes first = parse.compress(a);
        parse.compress(b);  // nothing carries over from one call to the next
        EXPECT_EQ(parse.compress(a), first) << parse.name;
    }
}

TEST(CompressQuality, CostPricedParsesBeatGreedy) {
    // Sizes, not speeds: the priced parses must pay off on repetitive data
    // and cost little on data that does not compress.
    for (const Bytes& data : {Words(200000, 10), Shifting(200000, 11)}) {
        size_t greedy = bench::CompressGreedy(data).size();
        size_t best = codec::Compress(data, codec::Level::Best).size();
        EXPECT_LT(best, greedy * 98 / 100);
        EXPECT_LE(codec::Compress(data, codec::Level::Default).size(), codec::Compress(data, codec::Level::Fast).size());
    }
    Bytes noise = Noise(200000, 12);
    EXPECT_LT(codec::Compress(noise, codec::Level::Best).size(), noise.size() * 1005 / 1000);
}

TEST(CompressProgress, ReportsUpToTheTotal) {
    // Best parses the input more than once: its reports still rise to the
    // total once.
    Bytes data = Words(3 << 20, 13);
    for (codec::Level level : {codec::Level::Fast, codec::Level::Best}) {
        std::vector<std::pair<size_t, size_t>> calls;
        codec::Compress(data, level, [&](size_t done, size_t total) { calls.emplace_back(done, total); });
        ASSERT_GE(calls.size(), 3u);
        for (size_t i = 0; i < calls.size(); i++) {
            EXPECT_EQ(calls[i].second, data.size());
            EXPECT_LE(calls[i].first, data.size());
            if (i > 0) {
                EXPECT_GE(calls[i].first, calls[i - 1].first);
            }
        }
        EXPECT_LT(calls[calls.size() - 2].first, data.size()) << "the total comes last, once";
        EXPECT_EQ(calls.back().first, data.size());
    }
}

TEST(CompressExpandMemory, ACutStreamNeedsMoreBitsThanItHas) {
    Bytes data = Words(20000, 14);
    Bytes stream = codec::Compress(data, codec::Level::Default);
    Bytes out(data.size());
    uint32_t cut = static_cast<uint32_t>(stream.size() - 10);
    uint64_t bits = codec::ExpandMemory(stream.data(), cut, out.data(), static_cast<uint32_t>(out.size()));
    EXPECT_GT(bits, 8ull * cut);
}

// Brute force: for each length, the nearest earlier position matching that
// far (at most RING_SIZE back, within data).
std::vector<int> NearestByLength(const Bytes& data, uint32_t pos) {
    std::vector<int> nearest(MAX_MATCH + 1, 0);
    uint32_t limit = std::min<uint32_t>(MAX_MATCH, static_cast<uint32_t>(data.size()) - pos);
    for (uint32_t d = 1; d <= RING_SIZE && d <= pos; d++) {
        uint32_t len = 0;
        while (len < limit && data[pos - d + len] == data[pos + len]) len++;
        for (uint32_t l = THRESHOLD + 1; l <= len; l++) {
            if (!nearest[l]) nearest[l] = static_cast<int>(d);
        }
    }
    return nearest;
}

TEST(CompressMatchFinder, NearestMatchOfEveryLength) {
    for (unsigned alphabet : {2u, 4u, 30u}) {
        Bytes data = Noise(12000, alphabet, alphabet);
        // Long repeats too, so that lengths reach MAX_MATCH.
        Bytes copy(data.begin() + 1000, data.begin() + 3000);
        data.insert(data.begin() + 9000, copy.begin(), copy.end());
        codec::MatchFinder finder(data, 100000);
        codec::Match found[MAX_MATCH];
        for (uint32_t pos = 0; pos < data.size(); pos++) {
            size_t count = finder.Find(pos, found);
            if (pos < 5000 && pos % 7 != 0) continue;  // check a sample early on, all later
            std::vector<int> nearest = NearestByLength(data, pos);
            unsigned len = THRESHOLD + 1;
            for (size_t k = 0; k < count; k++) {
                for (; len <= found[k].length; len++) {
                    ASSERT_EQ(nearest[len], found[k].distance) << "alphabet " << alphabet << " pos " << pos << " length " << len;
                }
            }
            ASSERT_TRUE(len > MAX_MATCH || nearest[len] == 0) << "missed length " << len << " at " << pos;
        }
    }
}

TEST(CompressClassicTree, FindsTheLongestMatch) {
    for (unsigned alphabet : {2u, 5u, 64u}) {
        Bytes data = Noise(15000, 100 + alphabet, alphabet);
        bench::ClassicTree tree(data);
        for (uint32_t pos = 0; pos < data.size(); pos++) {
            codec::Match m = tree.Insert(pos);
            std::vector<int> nearest = NearestByLength(data, pos);
            unsigned longest = 0;
            for (unsigned l = THRESHOLD + 1; l <= MAX_MATCH; l++) {
                if (nearest[l]) longest = l;
            }
            ASSERT_EQ(m.length, longest) << "pos " << pos;
            if (m.length) {
                ASSERT_LE(m.distance, RING_SIZE);
                ASSERT_TRUE(std::equal(data.begin() + pos, data.begin() + pos + m.length, data.begin() + pos - m.distance));
            }
        }
    }
}

}  // namespace
