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
    Greedy,   // classic longest-match-first parse: the benchmark's baseline
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

// Expands a whole stream held in memory, with the installer's own decoder:
// storedSize bytes at in, exactly expandedSize bytes to out. Returns the
// number of input bits the decoder consumed; more than 8 * storedSize means
// the stream needed bytes it does not have (a stream cut short). The
// decoder's state exists once per process: not for use from two threads at
// a time. Throws std::length_error for an expandedSize of 2^31 or more.
std::uint64_t ExpandMemory(const std::uint8_t* in, std::uint32_t storedSize, std::uint8_t* out,
                           std::uint32_t expandedSize);

// Puts up to count of a stream's stored bytes, the next ones, into buffer;
// returns how many (fewer at the end of the file).
using ByteSource = std::function<std::uint32_t(std::uint8_t* buffer, std::uint32_t count)>;

// Takes each block of expanded bytes in turn; false stops the expansion.
using BlockSink = std::function<bool(std::span<const std::uint8_t> block)>;

struct StreamExpansion {
    bool ranOut = false;       // the stream needed bits beyond its stored bytes
    bool sourceShort = false;  // the file ended before the stored bytes the stream used
    bool stopped = false;      // the sink refused a block
};

// Expands one stream as the installer does, in fixed memory: at most
// storedSize bytes taken from source in blocks,
// expandedSize bytes handed to sink in blocks. Stops at the end of the block
// in which the stream runs out of its stored bytes, so a record that claims
// 2 GB from a few bytes is found at once. The decoder's state exists once
// per process. Throws std::length_error for an expandedSize of 2^31 or more.
StreamExpansion ExpandStreaming(const ByteSource& source, std::uint32_t storedSize, std::uint32_t expandedSize,
                                const BlockSink& sink);

}  // namespace codec

#endif
