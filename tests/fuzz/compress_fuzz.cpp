// Fuzz target: the compressor on arbitrary bytes at every level, each
// stream expanded again by the installer's decoder, with a ring left dirty
// by a previous stream, and compared. Input: a byte choosing the level and
// the previous stream, then up to 8,192 bytes to compress (scripts/fuzz
// gives it no longer inputs): two turns of the ring and every parse's
// stretches, while a run stays near a tenth of a second. Longer inputs only
// add rebuilds of the adaptive tree, whose code encoder and decoder share.
//
// The installer expands its entries one after another without clearing the
// ring positions that a stream's first matches cannot reach (4066..4095):
// a stream that read them before writing them would expand to other bytes
// after another entry. The previous stream here is made of bytes unlike any
// input (a counter through 251 values), so such a read shows as a mismatch.
#include "compress/compress.h"
#include "compress/expansion.h"

#include <algorithm>
#include <vector>

#include "tests/fuzz/fuzz_support.h"

namespace {

// The product's levels; the low two bits of the first byte choose one (3
// is the fast level again).
constexpr codec::Level kLevels[] = {codec::Level::Fast, codec::Level::Default, codec::Level::Best,
                                    codec::Level::Fast};

// Leaves the decoder's ring as the previous stream of choice (0..63), of
// 30 to 4,125 bytes, leaves it: its last positions then hold bytes from the
// start, the middle or the end of that stream.
void DirtyRing(unsigned choice) {
    struct Previous {
        std::vector<std::uint8_t> plain, stream;
    };
    static std::vector<Previous> made(64);
    Previous& p = made[choice];
    if (p.plain.empty()) {
        p.plain.resize(30 + 65 * choice);
        for (std::size_t i = 0; i < p.plain.size(); i++) p.plain[i] = std::uint8_t((i * 97 + 13) % 251);
        p.stream = codec::Compress(p.plain, codec::Level::Fast);
    }
    std::vector<std::uint8_t> out(p.plain.size());
    codec::ExpandMemory(p.stream.data(), std::uint32_t(p.stream.size()), out.data(), std::uint32_t(out.size()));
    FUZZ_CHECK(out == p.plain);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const codec::Level level = kLevels[data[0] & 3];
    std::vector<std::uint8_t> input(data + 1, data + std::min<std::size_t>(size, 1 + 8192));

    std::vector<std::uint8_t> stream = codec::Compress(input, level);
    if (input.empty()) {
        FUZZ_CHECK(stream.empty());
        return 0;
    }
    // What pack checks for every entry: the stream expands to the input
    // within its own bytes.
    DirtyRing(data[0] >> 2);
    std::vector<std::uint8_t> out(input.size());
    std::uint64_t bits =
        codec::ExpandMemory(stream.data(), std::uint32_t(stream.size()), out.data(), std::uint32_t(out.size()));
    FUZZ_CHECK(bits <= 8ull * stream.size());
    FUZZ_CHECK(out == input);
    // Whole bytes: the stream holds no byte its bits do not reach.
    FUZZ_CHECK(bits > 8ull * (stream.size() - 1));
    return 0;
}
