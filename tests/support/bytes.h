// Byte vectors: little-endian fields, as the tests read, patch and build
// executables, packages and resource blocks (out-of-range offsets throw),
// and noise to fill them with.
#ifndef TESTS_SUPPORT_BYTES_H
#define TESTS_SUPPORT_BYTES_H

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

inline std::uint16_t Get16(const Bytes& b, std::size_t at) { return std::uint16_t(b.at(at) | (b.at(at + 1) << 8)); }

inline std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) | (std::uint32_t(b.at(at + 3)) << 24);
}

// For raw input of a known length (the fuzz targets').
inline std::uint32_t Get32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24);
}

inline void Put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b.at(at) = std::uint8_t(v);
    b.at(at + 1) = std::uint8_t(v >> 8);
}

inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; i++) b.at(at + i) = std::uint8_t(v >> (8 * i));
}

inline void Append16(Bytes& b, std::uint32_t v) { b.insert(b.end(), {std::uint8_t(v), std::uint8_t(v >> 8)}); }

inline void Append32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; i++) b.push_back(std::uint8_t(v >> (8 * i)));
}

// Bytes that do not compress, the same for the same seed; with an
// alphabet, only values below it.
inline Bytes Noise(std::size_t size, std::uint32_t seed, unsigned alphabet = 256) {
    std::mt19937 random(seed);
    Bytes out(size);
    for (auto& b : out) b = std::uint8_t(random() % alphabet);
    return out;
}

}  // namespace testsupport

#endif
