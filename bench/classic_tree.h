// The classic longest-match search of the benchmark's greedy parse, the
// baseline the codec's parses are measured against.
//
// One binary search tree per first byte holds the strings starting at the
// last RING_SIZE positions, ordered by their next MAX_MATCH bytes. A new
// string goes in as a leaf (or takes the place of a node it equals), and the
// match reported is the first of the longest met on the way down: some
// position with that length, not necessarily the nearest one.
#ifndef BENCH_CLASSIC_TREE_H
#define BENCH_CLASSIC_TREE_H

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "compress/match_finder.h"

namespace bench {

class ClassicTree {
public:
    explicit ClassicTree(std::span<const uint8_t> data);

    // Drops the position that leaves the window, inserts pos and returns
    // its longest match (length 0 when shorter than 3).
    codec::Match Insert(uint32_t pos);

private:
    void Remove(uint32_t pos);
    void Replace(uint32_t old, uint32_t by);  // in old's parent link
    uint32_t& Left(uint32_t pos) { return left_[pos % kSlots]; }
    uint32_t& Right(uint32_t pos) { return right_[pos % kSlots]; }
    uint32_t& Up(uint32_t pos) { return up_[pos % kSlots]; }

    static constexpr uint32_t kSlots = 8192;  // more than the positions in the window
    std::span<const uint8_t> data_;
    std::vector<uint32_t> left_, right_, up_;
    std::array<uint32_t, 256> roots_;
};

}  // namespace bench

#endif
