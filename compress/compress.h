// Compressor for the installer's stream format (authoring side).
//
// (Interface agreed between the codec and the authoring tool.)
#ifndef COMPRESS_COMPRESS_H
#define COMPRESS_COMPRESS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace codec {

enum class Level {
    Fast,     // nearest longest matches with one step of lazy evaluation
    Default,  // matches and literals chosen by their price on the adaptive tree
    Best      // the same, searching deeper and pricing each stretch twice
};

// Called now and then with the input bytes done so far and the total.
using Progress = std::function<void(std::size_t done, std::size_t total)>;

// Compresses input into one stream that the installer's decoder expands to
// exactly these bytes, whatever ring bytes a previous expansion left behind.
// Deterministic: the same input and level give the same bytes everywhere.
// An empty input gives an empty stream; an input of 2^31 - 4066 bytes or
// more throws std::length_error.
std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> input, Level level, const Progress& progress = {});

}  // namespace codec

#endif
