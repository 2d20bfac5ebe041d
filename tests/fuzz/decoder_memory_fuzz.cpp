// Fuzz target: the stream decoder from memory into memory, fast enough for
// long campaigns (decoder_fuzz covers the path through files). Input: a
// 4-byte expanded size, then the stored stream. Output stays below 128 KiB
// and below what the stream's bits could plausibly yield, so time goes to
// decoding bits that exist; long inputs still pass the tree's first rebuild
// and the 16384-byte blocks of reader and writer.
#include "compress/expansion.h"

#include <algorithm>
#include <vector>

#include "tests/fuzz/ring.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const std::uint32_t stored = std::uint32_t(size - 4);
    // A 30-byte match costs at least 10 bits: 24 bytes out per byte in,
    // plus a margin for streams that run past their bytes.
    const std::uint32_t bound = std::min<std::uint32_t>(1u << 17, 24 * stored + 4096);
    const std::uint32_t expanded = fuzz::Get32(data) % (bound + 1);

    // Exactly sized heap buffers: the sanitizer catches any byte read past
    // the stored size or written past the expanded size.
    std::vector<std::uint8_t> in(data + 4, data + size);
    std::vector<std::uint8_t> out(expanded);
    fuzz::PrimeRing();
    const std::uint64_t bits = codec::ExpandMemory(in.data(), stored, out.data(), expanded);
    if (expanded == 0) {
        FUZZ_CHECK(bits == 0);
        return 0;
    }
    FUZZ_CHECK(bits > 0);

    // The stream alone decides the bytes: asking for fewer gives a prefix,
    // and never more input (checked on a quarter of the short runs).
    if (expanded <= 8192 && (data[4] & 3) == 0) {
        const std::uint32_t shorter = expanded / 2;
        std::vector<std::uint8_t> prefix(shorter);
        fuzz::PrimeRing();
        const std::uint64_t prefixBits = codec::ExpandMemory(in.data(), stored, prefix.data(), shorter);
        FUZZ_CHECK(prefixBits <= bits);
        FUZZ_CHECK(std::equal(prefix.begin(), prefix.end(), out.begin()));
    }
    return 0;
}
