// The decoder's ring between two expansions, made the same for every run.
#ifndef TESTS_FUZZ_RING_H
#define TESTS_FUZZ_RING_H

#include "compress/compress.h"
#include "compress/expansion.h"

#include <vector>

#include "tests/fuzz/fuzz_support.h"

namespace fuzz {

// Ring positions 4066..4095 keep the previous expansion's bytes, and an
// arbitrary stream may read them before writing them. A stream's first 30
// bytes land there, so expanding a fixed 64-byte stream first makes two
// expansions of the same stream start from the same ring.
inline void PrimeRing() {
    static const std::vector<std::uint8_t> plain = [] {
        std::vector<std::uint8_t> p(64);
        for (std::size_t i = 0; i < p.size(); i++) p[i] = std::uint8_t(i * 31 / 7);
        return p;
    }();
    static const std::vector<std::uint8_t> stream = codec::Compress(plain, codec::Level::Fast);
    std::vector<std::uint8_t> out(plain.size());
    codec::ExpandMemory(stream.data(), std::uint32_t(stream.size()), out.data(), std::uint32_t(out.size()));
    FUZZ_CHECK(out == plain);
}

}  // namespace fuzz

#endif
