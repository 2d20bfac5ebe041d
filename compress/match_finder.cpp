// Binary-tree match finder: see match_finder.h.
#include "compress/match_finder.h"

#include <algorithm>

#include "expand/model.h"

namespace codec {
namespace {

constexpr uint32_t kHashBits = 16;
constexpr uint32_t kWindow = 8192;  // link slots: more than RING_SIZE positions
constexpr uint32_t kEmpty = 0xFFFFFFFF;
constexpr uint32_t kMinMatch = THRESHOLD + 1;

uint32_t Hash3(const uint8_t* p) {
    uint32_t key = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
    return (key * 2654435761u) >> (32 - kHashBits);
}

}  // namespace

MatchFinder::MatchFinder(std::span<const uint8_t> data, uint32_t depthLimit)
    : data_(data), depthLimit_(std::max<uint32_t>(depthLimit, 1)), head_(1u << kHashBits, kEmpty),
      son_(2 * kWindow, kEmpty) {}

size_t MatchFinder::Find(uint32_t pos, Match* out) { return Insert(pos, out); }

void MatchFinder::Skip(uint32_t pos) { Insert(pos, nullptr); }

size_t MatchFinder::Insert(uint32_t pos, Match* out) {
    const uint32_t left = static_cast<uint32_t>(data_.size()) - pos;
    if (left < kMinMatch) return 0;  // nothing later can match this far
    const uint32_t lenLimit = std::min<uint32_t>(left, MAX_MATCH);
    const uint8_t* cur = data_.data() + pos;

    uint32_t& head = head_[Hash3(cur)];
    uint32_t candidate = head;
    head = pos;

    // Links still to be set: the subtree of positions below pos's bytes
    // hangs at smaller, the one above at larger.
    uint32_t* smaller = &son_[2 * (pos % kWindow)];
    uint32_t* larger = smaller + 1;
    uint32_t smallerLen = 0, largerLen = 0;
    uint32_t best = kMinMatch - 1;
    size_t found = 0;

    for (uint32_t depth = depthLimit_;; depth--) {
        if (candidate == kEmpty || pos - candidate > RING_SIZE || depth == 0) {
            *smaller = *larger = kEmpty;
            return found;
        }
        uint32_t* pair = &son_[2 * (candidate % kWindow)];
        const uint8_t* other = data_.data() + candidate;
        uint32_t len = std::min(smallerLen, largerLen);
        while (len < lenLimit && other[len] == cur[len]) len++;
        if (len > best) {
            best = len;
            if (out) out[found++] = Match{static_cast<uint16_t>(len), static_cast<uint16_t>(pos - candidate)};
        }
        if (len == lenLimit) {
            // Equal as far as the tree compares: pos takes the candidate's place.
            *smaller = pair[0];
            *larger = pair[1];
            return found;
        }
        if (other[len] < cur[len]) {
            *smaller = candidate;
            smaller = pair + 1;
            candidate = *smaller;
            smallerLen = len;
        } else {
            *larger = candidate;
            larger = pair;
            candidate = *larger;
            largerLen = len;
        }
    }
}

}  // namespace codec
