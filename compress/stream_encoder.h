// Writes one compressed stream: symbols on the adaptive tree that the
// decoder steps in the same way, positions in the fixed prefix code.
#ifndef COMPRESS_STREAM_ENCODER_H
#define COMPRESS_STREAM_ENCODER_H

#include <cstdint>
#include <vector>

#include "expand/model.h"

namespace codec {

// What the position code costs, in bits, for a distance of 1..RING_SIZE.
unsigned PositionBits(unsigned distance);

class StreamEncoder {
public:
    StreamEncoder();

    void Literal(uint8_t byte);
    void Match(unsigned length, unsigned distance);  // length 3..30, distance 1..4096

    // The stream so far, its last byte padded with zero bits.
    std::vector<uint8_t> Finish() const;

    // The tree as it stands, which prices the next symbols.
    const HuffModel& Model() const { return model_; }

private:
    void Symbol(unsigned symbol);
    void Put(uint32_t bits, unsigned count);

    HuffModel model_;
    std::vector<uint8_t> bytes_;
    uint64_t pending_ = 0;
    unsigned pendingBits_ = 0;
};

}  // namespace codec

#endif
