// A plain transcription of the stream decoder, for checking the installer's
// decoder against: 16-bit bit buffer, byte-at-a-time reader and writer, the
// tree rebuilt by insertion. Also a small stream builder on the same model,
// for hand-made streams of chosen symbols.
#ifndef TESTS_SUPPORT_REFERENCE_DECODER_H
#define TESTS_SUPPORT_REFERENCE_DECODER_H

#include <cstdint>
#include <vector>

namespace reference {

struct Model {
    uint16_t freq[568];
    uint16_t child[567];
    uint16_t parent[851];
};

void StartModel(Model& m);
void UpdateModel(Model& m, int symbol);
void RebuildModel(Model& m);

struct Outcome {
    std::vector<uint8_t> produced;       // every byte decoded, the last match's surplus included
    uint32_t remaining = 0;              // stored bytes not taken
    std::vector<uint32_t> readRequests;  // sizes asked of the source
};

// Decoder state that lives on from stream to stream (the ring).
struct Decoder {
    uint8_t ring[4096] = {};
};

// Decodes one stream. `source` is what the file holds from the stream's
// first byte on (it may be shorter than storedSize: the file ends).
Outcome Expand(Decoder& decoder, const std::vector<uint8_t>& source, int32_t expectedTotal, uint32_t storedSize);

// Builds streams symbol by symbol on its own model.
class StreamBuilder {
public:
    StreamBuilder();
    void Symbol(int symbol);               // its code on the current tree, then the tree's update
    void Position(int position);           // the prefix code and the low 6 bits
    void Literal(uint8_t byte) { Symbol(byte); }
    void Match(int length, int position) { Symbol(253 + length), Position(position); }
    void Bits(uint32_t value, int count);  // raw bits, most significant first
    std::vector<uint8_t> Finish() const;   // pads the last byte with zero bits

private:
    Model model_;
    std::vector<uint8_t> bytes_;
    uint32_t acc_ = 0;
    int accBits_ = 0;
};

}  // namespace reference

#endif
