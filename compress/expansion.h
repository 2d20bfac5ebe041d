// The authoring side's expansion: streams expanded with the installer's own
// decoder (expand/decoder.h), from memory or in fixed memory from a file.
// The decoder's state exists once per process: not for use from two threads
// at a time.
#ifndef COMPRESS_EXPANSION_H
#define COMPRESS_EXPANSION_H

#include <cstdint>
#include <functional>
#include <span>

namespace codec {

// Expands a whole stream held in memory: storedSize bytes at in, exactly
// expandedSize bytes to out. Returns the number of input bits the decoder
// consumed; more than 8 * storedSize means the stream needed bytes it does
// not have (a stream cut short). Throws std::length_error for an
// expandedSize of 2^31 or more.
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
// storedSize bytes taken from source in blocks, expandedSize bytes handed to
// sink in blocks. Stops at the end of the block in which the stream runs out
// of its stored bytes, so a record that claims 2 GB from a few bytes is
// found at once, and at the block the sink refuses. Throws
// std::length_error for an expandedSize of 2^31 or more.
StreamExpansion ExpandStreaming(const ByteSource& source, std::uint32_t storedSize, std::uint32_t expandedSize,
                                const BlockSink& sink);

}  // namespace codec

#endif
