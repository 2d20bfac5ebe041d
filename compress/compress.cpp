// The compressor: chooses literals and matches for the installer's stream
// format (compress/expansion.cpp expands them with the installer's decoder).
//
// The input is searched as if RING_START spaces stood before it: that is
// what the decoder's ring holds at the start of every stream (positions
// 0..4065), so matches may reach into them. The decoder's positions
// 4066..4095 still hold whatever a previous expansion left there until this
// stream writes them; no match reaches that far back, since a match can go
// back at most to the first of the spaces.
//
// Parses, from cheapest to best (the benchmark measures them against the
// classic greedy parse, bench/greedy.h):
//   Fast     the nearest of the longest matches (match_finder.h), with one
//            step of lazy evaluation: a literal first when the next
//            position has a longer match;
//   Default, Best
//            the cheapest path through each stretch of the input, found
//            backwards from its end: every literal and match is priced by
//            its share of the adaptive tree's counts, -log2(leaf / root),
//            and by the bits of the position code. Only the front of each
//            path is coded; the rest is planned again on the tree as it
//            then stands. Best searches deeper and parses the whole input
//            twice, keeping the shorter stream: once pricing each stretch a
//            second time, halfway to the tree its plan leads to; once over
//            longer stretches, priced halfway between the tree's share and
//            the length of the symbol's code as it stands (what its next
//            use costs). Neither parse wins on every input: the second
//            does on real files by a little, the first on most generated
//            ones.
#include "compress/compress.h"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <stdexcept>

#include "compress/match_finder.h"
#include "compress/stream_encoder.h"
#include "expand/model.h"

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
    unsigned parse = 0, parses = 1;  // complete parses of the input: progress counts them all

    uint32_t End() const { return static_cast<uint32_t>(data.size()); }

    void Report(uint32_t pos) {
        if (!*progress || pos - RING_START < nextReport) return;
        nextReport = pos - RING_START + kProgressStep;
        const uint64_t total = data.size() - RING_START;
        (*progress)(static_cast<size_t>((parse * total + pos - RING_START) / parses), static_cast<size_t>(total));
    }

    // Starts another parse of the same input, on a fresh stream.
    void NextParse() {
        encoder = StreamEncoder();
        nextReport = kProgressStep;
        parse++;
    }
};

Match Longest(const Match* matches, size_t count) { return count ? matches[count - 1] : Match{0, 0}; }

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

// log2(x) in 1/64 bits, by integer arithmetic: the same on every machine.
uint32_t Log2Fixed(uint32_t x) {
    const uint32_t whole = 31 - static_cast<uint32_t>(std::countl_zero(x));
    uint64_t m = static_cast<uint64_t>(x) << (31 - whole);  // x / 2^whole, 1.31 fixed point
    uint32_t fraction = 0;
    for (int bit = 5; bit >= 0; bit--) {
        m = (m * m) >> 31;
        if (m >= (uint64_t{1} << 32)) {
            m >>= 1;
            fraction |= 1u << bit;
        }
    }
    return (whole << 6) | fraction;
}

using Prices = std::array<uint32_t, SYMBOL_COUNT>;

enum class Pricing {
    Share,         // -log2(leaf / root): the symbol's cost while the tree adapts
    ShareAndCode,  // halfway between that and its code's length now
};

unsigned CodeLength(const HuffModel& model, unsigned symbol) {
    unsigned length = 0;
    for (unsigned c = model.parent[NODE_COUNT + symbol]; c != ROOT; c = model.parent[c]) length++;
    return length;
}

// What each symbol costs on a tree, in 1/64 bits.
Prices PriceSymbols(const HuffModel& model, Pricing pricing) {
    Prices prices;
    const uint32_t rootLog = Log2Fixed(model.freq[ROOT]);
    for (unsigned s = 0; s < SYMBOL_COUNT; s++) {
        prices[s] = rootLog - Log2Fixed(model.freq[model.parent[NODE_COUNT + s]]);
        if (pricing == Pricing::ShareAndCode) prices[s] = (prices[s] + (CodeLength(model, s) << 6)) / 2;
    }
    return prices;
}

unsigned MatchSymbol(unsigned length) { return FIRST_MATCH_SYMBOL + length - kMinMatch; }

struct OptimalSettings {
    uint32_t commitSpan;  // positions of each plan that are coded
    uint32_t horizon;     // positions each plan looks at: commitSpan + MAX_MATCH at least
    unsigned passes;      // plans per stretch
    Pricing pricing;
};
constexpr OptimalSettings kDefaultPlan{1024, 1024 + MAX_MATCH, 1, Pricing::Share};
// Best's two parses: the shorter stream is kept.
constexpr OptimalSettings kBestPlans[] = {{1024, 1024 + MAX_MATCH, 2, Pricing::Share},
                                          {2048, 4096, 1, Pricing::ShareAndCode}};

class OptimalParser {
public:
    OptimalParser(Job& job, MatchFinder& finder, const OptimalSettings& settings)
        : job_(job), finder_(finder), settings_(settings), lists_(Slots(settings.horizon)),
          listSize_(lists_.size()), cost_(settings.horizon + MAX_MATCH), stepLength_(settings.horizon),
          stepDistance_(settings.horizon) {
        for (unsigned d = 1; d <= RING_SIZE; d++) positionPrice_[d] = PositionBits(d) << 6;
    }

    void Run() {
        const uint32_t end = job_.End();
        uint32_t pos = RING_START;
        while (pos < end) {
            const uint32_t limit = std::min(end, pos + settings_.horizon);
            FindUpTo(limit);
            const uint32_t span = limit - pos;
            const uint32_t keep = limit == end ? span : settings_.commitSpan;
            Prices prices = PriceSymbols(job_.encoder.Model(), settings_.pricing);
            Plan(pos, span, prices);
            for (unsigned pass = 1; pass < settings_.passes; pass++) {
                // Price again, halfway to the tree the plan leads to.
                HuffModel ahead = job_.encoder.Model();
                for (uint32_t at = 0; at < keep; at += stepLength_[at]) {
                    UpdateModel(&ahead, stepLength_[at] == 1 ? job_.data[pos + at] : MatchSymbol(stepLength_[at]));
                }
                Prices later = PriceSymbols(ahead, settings_.pricing);
                for (unsigned s = 0; s < SYMBOL_COUNT; s++) prices[s] = (prices[s] + later[s]) / 2;
                Plan(pos, span, prices);
            }
            pos += Code(pos, keep);
            job_.Report(pos);
        }
    }

private:
    static size_t Slots(uint32_t horizon) { return std::bit_ceil(horizon); }

    // Searches every position up to limit once, keeping its matches until
    // it is coded.
    void FindUpTo(uint32_t limit) {
        for (; foundUpTo_ < limit; foundUpTo_++) {
            size_t slot = foundUpTo_ & (lists_.size() - 1);
            listSize_[slot] = static_cast<uint8_t>(finder_.Find(foundUpTo_, lists_[slot].data()));
        }
    }

    // The cheapest way from each position of pos..pos+span to the end of
    // the stretch, found backwards. A match may run past the end; the plan
    // is coded only up to a point where no step does.
    void Plan(uint32_t pos, uint32_t span, const Prices& prices) {
        uint32_t lengthPrice[MAX_MATCH + 1] = {};
        for (unsigned len = kMinMatch; len <= MAX_MATCH; len++) lengthPrice[len] = prices[MatchSymbol(len)];
        std::fill(cost_.begin() + span, cost_.begin() + span + MAX_MATCH, 0);
        for (uint32_t j = span; j-- > 0;) {
            uint32_t best = prices[job_.data[pos + j]] + cost_[j + 1];
            uint16_t bestLength = 1, bestDistance = 0;
            const size_t slot = (pos + j) & (lists_.size() - 1);
            const Match* m = lists_[slot].data();
            unsigned len = kMinMatch;
            for (unsigned k = 0; k < listSize_[slot]; k++) {
                // Lengths up to this match's take its (nearest) distance.
                const uint32_t base = positionPrice_[m[k].distance];
                for (; len <= m[k].length; len++) {
                    uint32_t total = base + lengthPrice[len] + cost_[j + len];
                    if (total <= best) {  // on a tie, the longer match
                        best = total;
                        bestLength = static_cast<uint16_t>(len);
                        bestDistance = m[k].distance;
                    }
                }
            }
            cost_[j] = best;
            stepLength_[j] = bestLength;
            stepDistance_[j] = bestDistance;
        }
    }

    // Codes the plan's steps that start before keep; returns how far they reach.
    uint32_t Code(uint32_t pos, uint32_t keep) {
        uint32_t at = 0;
        while (at < keep) {
            if (stepLength_[at] == 1) {
                job_.encoder.Literal(job_.data[pos + at]);
            } else {
                job_.encoder.Match(stepLength_[at], stepDistance_[at]);
            }
            at += stepLength_[at];
        }
        return at;
    }

    Job& job_;
    MatchFinder& finder_;
    const OptimalSettings settings_;
    std::vector<std::array<Match, kMaxMatches>> lists_;  // by position modulo their number
    std::vector<uint8_t> listSize_;
    uint32_t foundUpTo_ = RING_START;
    std::vector<uint32_t> cost_;
    std::vector<uint16_t> stepLength_;  // 1: a literal
    std::vector<uint16_t> stepDistance_;
    uint32_t positionPrice_[RING_SIZE + 1];
};

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

    auto startFinder = [&job](uint32_t depth) {
        MatchFinder finder(job.data, depth);
        for (uint32_t pos = 0; pos < RING_START; pos++) finder.Skip(pos);
        return finder;
    };
    std::vector<uint8_t> out;
    if (level == Level::Best) {
        job.parses = std::size(kBestPlans);
        for (const OptimalSettings& plan : kBestPlans) {
            MatchFinder finder = startFinder(256);
            OptimalParser(job, finder, plan).Run();
            std::vector<uint8_t> stream = job.encoder.Finish();
            if (out.empty() || stream.size() < out.size()) out = std::move(stream);
            job.NextParse();
        }
    } else {
        MatchFinder finder = startFinder(16);
        if (level == Level::Fast) {
            ParseLazy(job, finder);
        } else {
            OptimalParser(job, finder, kDefaultPlan).Run();
        }
        out = job.encoder.Finish();
    }
    if (progress) progress(input.size(), input.size());
    return out;
}

}  // namespace codec
