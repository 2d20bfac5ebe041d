// The compressor: chooses literals and matches for the installer's stream
// format, and expands streams in memory with the installer's own decoder.
//
// The input is searched as if RING_START spaces stood before it: that is
// what the decoder's ring holds at the start of every stream (positions
// 0..4065), so matches may reach into them. The decoder's positions
// 4066..4095 still hold whatever a previous expansion left there until this
// stream writes them; no match reaches that far back, since a match can go
// back at most to the first of the spaces.
//
// Parses, from cheapest to best:
//   Greedy   the longest match at each position, taken at once;
//   Fast     one step of lazy evaluation: a literal first when the next
//            position has a longer match;
//   Default, Best
//            a shortest path through each stretch of the input, every
//            literal and match priced by its code length on the adaptive
//            tree as it stands at the start of the stretch and by the
//            position code. Only the front of each path is kept; the rest
//            is planned again with the prices of the tree it leads to.
#include "compress/compress.h"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>

#include "compress/match_finder.h"
#include "compress/stream_encoder.h"
#include "expand/decoder.h"

namespace codec {
namespace {

constexpr unsigned kMinMatch = THRESHOLD + 1;
constexpr unsigned kMaxMatches = MAX_MATCH - THRESHOLD;  // one per length at most
constexpr uint32_t kProgressStep = 1u << 20;

struct Job {
    std::vector<uint8_t> data;  // RING_START spaces, then the input
    StreamEncoder encoder;
    const Progress* progress = nullptr;
    uint32_t nextReport = kProgressStep;

    uint32_t End() const { return static_cast<uint32_t>(data.size()); }

    void Report(uint32_t pos) {
        if (!*progress || pos - RING_START < nextReport) return;
        nextReport = pos - RING_START + kProgressStep;
        (*progress)(pos - RING_START, data.size() - RING_START);
    }
};

Match Longest(const Match* matches, size_t count) { return count ? matches[count - 1] : Match{0, 0}; }

void ParseGreedy(Job& job, MatchFinder& finder) {
    Match found[kMaxMatches];
    const uint32_t end = job.End();
    for (uint32_t pos = RING_START; pos < end;) {
        Match m = Longest(found, finder.Find(pos, found));
        if (m.length < kMinMatch) {
            job.encoder.Literal(job.data[pos++]);
        } else {
            job.encoder.Match(m.length, m.distance);
            for (uint32_t k = 1; k < m.length; k++) finder.Skip(pos + k);
            pos += m.length;
        }
        job.Report(pos);
    }
}

void ParseLazy(Job& job, MatchFinder& finder) {
    Match found[kMaxMatches];
    const uint32_t end = job.End();
    uint32_t pos = RING_START;
    Match here = Longest(found, finder.Find(pos, found));
    while (pos < end) {
        if (here.length < kMinMatch) {
            job.encoder.Literal(job.data[pos++]);
            if (pos < end) here = Longest(found, finder.Find(pos, found));
            continue;
        }
        Match next = pos + 1 < end ? Longest(found, finder.Find(pos + 1, found)) : Match{0, 0};
        if (next.length > here.length) {
            job.encoder.Literal(job.data[pos++]);
            here = next;
            continue;
        }
        job.encoder.Match(here.length, here.distance);
        for (uint32_t k = 2; k < here.length; k++) finder.Skip(pos + k);
        pos += here.length;
        if (pos < end) here = Longest(found, finder.Find(pos, found));
        job.Report(pos);
    }
}

struct OptimalSettings {
    uint32_t commitSpan;  // positions of each plan that are kept
};

void ParseOptimal(Job& job, MatchFinder& finder, const OptimalSettings& settings) {
    const uint32_t end = job.End();
    const uint32_t horizon = settings.commitSpan + MAX_MATCH;
    uint32_t slots = 1;
    while (slots < horizon) slots <<= 1;

    // Matches of the positions found so far and not yet coded, by position
    // modulo slots: each position is searched once.
    std::vector<std::array<Match, kMaxMatches>> lists(slots);
    std::vector<uint8_t> listSize(slots);
    uint32_t foundUpTo = RING_START;

    constexpr uint32_t kUnreached = std::numeric_limits<uint32_t>::max();
    std::vector<uint32_t> cost(horizon + 1);
    std::vector<uint16_t> stepLength(horizon + 1);  // 1: a literal
    std::vector<uint16_t> stepDistance(horizon + 1);
    std::vector<uint32_t> path;

    uint32_t positionBits[RING_SIZE + 1];
    for (unsigned d = 1; d <= RING_SIZE; d++) positionBits[d] = PositionBits(d);

    uint32_t pos = RING_START;
    while (pos < end) {
        const uint32_t limit = std::min(end, pos + horizon);
        for (; foundUpTo < limit; foundUpTo++) {
            uint32_t slot = foundUpTo & (slots - 1);
            listSize[slot] = static_cast<uint8_t>(finder.Find(foundUpTo, lists[slot].data()));
        }

        const auto lengths = job.encoder.CodeLengths();
        uint32_t matchBits[MAX_MATCH + 1] = {};
        for (unsigned len = kMinMatch; len <= MAX_MATCH; len++) {
            matchBits[len] = lengths[FIRST_MATCH_SYMBOL + len - kMinMatch];
        }

        const uint32_t span = limit - pos;
        std::fill(cost.begin(), cost.begin() + span + 1, kUnreached);
        cost[0] = 0;
        for (uint32_t j = 0; j < span; j++) {
            const uint32_t here = cost[j];
            uint32_t literal = here + lengths[job.data[pos + j]];
            if (literal < cost[j + 1]) {
                cost[j + 1] = literal;
                stepLength[j + 1] = 1;
            }
            const uint32_t slot = (pos + j) & (slots - 1);
            const Match* m = lists[slot].data();
            unsigned len = kMinMatch;
            for (unsigned k = 0; k < listSize[slot]; k++) {
                const unsigned longest = std::min<uint32_t>(m[k].length, span - j);
                const uint32_t base = here + positionBits[m[k].distance];
                for (; len <= longest; len++) {
                    uint32_t total = base + matchBits[len];
                    if (total < cost[j + len]) {
                        cost[j + len] = total;
                        stepLength[j + len] = static_cast<uint16_t>(len);
                        stepDistance[j + len] = m[k].distance;
                    }
                }
            }
        }

        // Walk the cheapest path back from the end of the stretch, then
        // code its front part.
        path.clear();
        for (uint32_t j = span; j > 0; j -= stepLength[j]) path.push_back(j);
        const uint32_t keep = limit == end ? span : settings.commitSpan;
        uint32_t at = 0;
        for (auto it = path.rbegin(); it != path.rend() && at < keep; ++it) {
            uint32_t to = *it;
            if (to - at == 1) {
                job.encoder.Literal(job.data[pos + at]);
            } else {
                job.encoder.Match(to - at, stepDistance[to]);
            }
            at = to;
        }
        pos += at;
        job.Report(pos);
    }
}

}  // namespace

std::vector<uint8_t> Compress(std::span<const uint8_t> input, Level level, const Progress& progress) {
    if (input.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()) - RING_START) {
        throw std::length_error("input too large for one stream");
    }
    if (input.empty()) return {};

    Job job;
    job.progress = &progress;
    job.data.assign(RING_START, ' ');
    job.data.insert(job.data.end(), input.begin(), input.end());

    uint32_t depth = level == Level::Best ? 512 : level == Level::Default ? 24 : 16;
    MatchFinder finder(job.data, depth);
    for (uint32_t pos = 0; pos < RING_START; pos++) finder.Skip(pos);

    switch (level) {
    case Level::Greedy: ParseGreedy(job, finder); break;
    case Level::Fast: ParseLazy(job, finder); break;
    case Level::Default: ParseOptimal(job, finder, OptimalSettings{1024}); break;
    case Level::Best: ParseOptimal(job, finder, OptimalSettings{256}); break;
    }
    if (progress) progress(input.size(), input.size());
    return job.encoder.Finish();
}

std::uint64_t ExpandMemory(const std::uint8_t* in, std::uint32_t storedSize, std::uint8_t* out,
                           std::uint32_t expandedSize) {
    if (expandedSize > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
        throw std::length_error("expanded size too large for one stream");
    }
    ReadPtr(nullptr, 0);
    WritePtr(nullptr, 0, 0);
    ExpandSource source{nullptr, in, storedSize, 0};
    ExpandTarget target{nullptr, out, expandedSize, 0};
    uint32_t remaining = storedSize;
    ExpandStream(&source, &target, static_cast<int32_t>(expandedSize), &remaining);
    return ExpandBitsUsed();
}

}  // namespace codec
