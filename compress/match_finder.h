// Binary-tree match finder for the compressor.
//
// Every position of the buffer is inserted once, in order, into a tree of
// the positions at most RING_SIZE back whose next three bytes hash alike,
// ordered by the bytes that follow (up to MAX_MATCH of them). A newer
// position becomes the root, so walking down from it meets positions in
// order of age: the first one met with a given match length is the nearest
// of all with that length. The finder therefore reports, for each length it
// reaches, the shortest distance, which is what the position code prices.
#ifndef COMPRESS_MATCH_FINDER_H
#define COMPRESS_MATCH_FINDER_H

#include <cstdint>
#include <span>
#include <vector>

namespace codec {

struct Match {
    uint16_t length;    // 3..MAX_MATCH
    uint16_t distance;  // 1..RING_SIZE bytes back
};

class MatchFinder {
public:
    // depthLimit bounds the positions visited per search (at least 1).
    MatchFinder(std::span<const uint8_t> data, uint32_t depthLimit);

    // Inserts pos and writes its matches to out, shortest first, each
    // longer than the one before; returns how many (at most MAX_MATCH - 2).
    // Matches stop at the end of the data.
    size_t Find(uint32_t pos, Match* out);

    // Inserts pos without reporting matches.
    void Skip(uint32_t pos);

private:
    size_t Insert(uint32_t pos, Match* out);

    std::span<const uint8_t> data_;
    uint32_t depthLimit_;
    std::vector<uint32_t> head_;
    std::vector<uint32_t> son_;  // two links per position, by position modulo the window
};

}  // namespace codec

#endif
