// Stream encoder: see stream_encoder.h.
#include "compress/stream_encoder.h"

namespace codec {
namespace {

struct PositionPrefixes {
    uint8_t code[64];
    uint8_t length[64];
    PositionPrefixes() {
        for (unsigned upper = 0; upper < 64; upper++) {
            unsigned c, l;
            GetPositionPrefix(upper, &c, &l);
            code[upper] = static_cast<uint8_t>(c);
            length[upper] = static_cast<uint8_t>(l);
        }
    }
};
const PositionPrefixes kPrefixes;

}  // namespace

unsigned PositionBits(unsigned distance) { return kPrefixes.length[(distance - 1) >> 6] + 6; }

StreamEncoder::StreamEncoder() { StartModel(&model_); }

void StreamEncoder::Put(uint32_t bits, unsigned count) {
    pending_ = (pending_ << count) | bits;
    pendingBits_ += count;
    while (pendingBits_ >= 8) {
        pendingBits_ -= 8;
        bytes_.push_back(static_cast<uint8_t>(pending_ >> pendingBits_));
    }
}

void StreamEncoder::Symbol(unsigned symbol) {
    // The code is the path from the root; collect it from the leaf upward.
    // A node's place among its siblings is the low bit of its position.
    uint32_t code = 0;
    unsigned length = 0;
    for (unsigned c = model_.parent[NODE_COUNT + symbol]; c != ROOT; c = model_.parent[c]) {
        code |= (c & 1u) << length;
        length++;
    }
    Put(code, length);
    UpdateModel(&model_, symbol);
}

void StreamEncoder::Literal(uint8_t byte) { Symbol(byte); }

void StreamEncoder::Match(unsigned length, unsigned distance) {
    Symbol(FIRST_MATCH_SYMBOL + length - (THRESHOLD + 1));
    unsigned p = distance - 1;
    unsigned upper = p >> 6;
    Put((uint32_t{kPrefixes.code[upper]} << 6) | (p & 63), kPrefixes.length[upper] + 6u);
}

std::vector<uint8_t> StreamEncoder::Finish() const {
    std::vector<uint8_t> out = bytes_;
    if (pendingBits_) out.push_back(static_cast<uint8_t>(pending_ << (8 - pendingBits_)));
    return out;
}

}  // namespace codec
