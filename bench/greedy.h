// The benchmark's baseline: the classic greedy parse, the longest match a
// plain search tree finds (bench/classic_tree.h), taken at once. The codec's
// levels are measured against it; the tool never uses it.
#ifndef BENCH_GREEDY_H
#define BENCH_GREEDY_H

#include <cstdint>
#include <span>
#include <vector>

namespace bench {

// A stream of the installer's format that decodes to input, as
// codec::Compress makes them; an empty input gives an empty stream.
std::vector<std::uint8_t> CompressGreedy(std::span<const std::uint8_t> input);

}  // namespace bench

#endif
