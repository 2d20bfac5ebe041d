// The classic longest-match search: see classic_tree.h.
#include "bench/classic_tree.h"

#include <algorithm>

#include "expand/model.h"

namespace bench {

using codec::Match;

namespace {

constexpr uint32_t kNil = 0xFFFFFFFF;
constexpr uint32_t kOut = 0xFFFFFFFE;      // Up() of a position not in a tree
constexpr uint32_t kRootOf = 0x80000000;  // Up() of a root: kRootOf | first byte

}  // namespace

ClassicTree::ClassicTree(std::span<const uint8_t> data)
    : data_(data), left_(kSlots, kNil), right_(kSlots, kNil), up_(kSlots, kOut) {
    roots_.fill(kNil);
}

void ClassicTree::Replace(uint32_t old, uint32_t by) {
    uint32_t up = Up(old);
    if (up & kRootOf) {
        roots_[up & 0xFF] = by;
    } else if (Right(up) == old) {
        Right(up) = by;
    } else {
        Left(up) = by;
    }
    if (by != kNil) Up(by) = up;
    Up(old) = kOut;
}

void ClassicTree::Remove(uint32_t pos) {
    if (Up(pos) == kOut) return;
    uint32_t next;
    if (Right(pos) == kNil) {
        next = Left(pos);
    } else if (Left(pos) == kNil) {
        next = Right(pos);
    } else {
        // The greatest node below on the left takes pos's place.
        next = Left(pos);
        if (Right(next) != kNil) {
            while (Right(next) != kNil) next = Right(next);
            uint32_t below = Left(next);
            Replace(next, below);
            Left(next) = Left(pos);
            Up(Left(pos)) = next;
        }
        Right(next) = Right(pos);
        Up(Right(pos)) = next;
    }
    Replace(pos, next);
}

Match ClassicTree::Insert(uint32_t pos) {
    if (pos > RING_SIZE) Remove(pos - RING_SIZE - 1);
    const uint32_t limit = static_cast<uint32_t>(std::min<size_t>(MAX_MATCH, data_.size() - pos));
    if (limit < THRESHOLD + 1) return Match{0, 0};
    const uint8_t* key = data_.data() + pos;
    Left(pos) = Right(pos) = kNil;

    uint32_t p = roots_[key[0]];
    if (p == kNil) {
        roots_[key[0]] = pos;
        Up(pos) = kRootOf | key[0];
        return Match{0, 0};
    }
    uint32_t bestLength = 0, bestPos = 0;
    for (;;) {
        const uint8_t* other = data_.data() + p;
        uint32_t i = 1;
        while (i < limit && key[i] == other[i]) i++;
        if (i > bestLength) {
            bestLength = i;
            bestPos = p;
        }
        if (i == limit) {
            // Equal as far as the tree compares: the newer string takes over.
            Left(pos) = Left(p);
            Right(pos) = Right(p);
            if (Left(p) != kNil) Up(Left(p)) = pos;
            if (Right(p) != kNil) Up(Right(p)) = pos;
            Up(pos) = Up(p);
            Replace(p, pos);
            break;
        }
        uint32_t& link = key[i] > other[i] ? Right(p) : Left(p);
        if (link == kNil) {
            link = pos;
            Up(pos) = p;
            break;
        }
        p = link;
    }
    if (bestLength <= THRESHOLD) return Match{0, 0};
    return Match{static_cast<uint16_t>(bestLength), static_cast<uint16_t>(pos - bestPos)};
}

}  // namespace bench
