// The greedy parse: see greedy.h. Like the codec's parses it searches the
// input as if the RING_START spaces the decoder's ring starts with stood
// before it.
#include "bench/greedy.h"

#include "bench/classic_tree.h"
#include "compress/stream_encoder.h"

namespace bench {

std::vector<std::uint8_t> CompressGreedy(std::span<const std::uint8_t> input) {
    if (input.empty()) return {};
    std::vector<std::uint8_t> data;
    data.reserve(RING_START + input.size());
    data.assign(RING_START, ' ');
    data.insert(data.end(), input.begin(), input.end());
    codec::StreamEncoder encoder;
    ClassicTree tree(data);
    for (std::uint32_t pos = 0; pos < RING_START; pos++) tree.Insert(pos);
    const std::uint32_t end = static_cast<std::uint32_t>(data.size());
    for (std::uint32_t pos = RING_START; pos < end;) {
        codec::Match m = tree.Insert(pos);
        if (m.length < THRESHOLD + 1) {
            encoder.Literal(data[pos++]);
        } else {
            encoder.Match(m.length, m.distance);
            for (std::uint32_t k = 1; k < m.length; k++) tree.Insert(pos + k);
            pos += m.length;
        }
    }
    return encoder.Finish();
}

}  // namespace bench
