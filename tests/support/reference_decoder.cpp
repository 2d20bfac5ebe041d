// The stream decoder written step by step as the format describes it, with
// no speed-ups: the yardstick for the installer's decoder.
#include "support/reference_decoder.h"

#include <algorithm>
#include <cstring>

namespace reference {
namespace {

constexpr int kSymbols = 284, kNodes = 567, kRoot = 566;

// Position prefix tables, built from the runs of the format.
struct PositionTables {
    uint8_t upper[256];
    uint8_t length[256];
    PositionTables() {
        struct Run { int firstByte, firstUpper, perUpper, length; };
        const Run runs[] = {{0, 0, 32, 3}, {32, 1, 16, 4}, {80, 4, 8, 5}, {144, 12, 4, 6}, {192, 24, 2, 7}, {240, 48, 1, 8}};
        for (int r = 0; r < 6; r++) {
            int end = r < 5 ? runs[r + 1].firstByte : 256;
            for (int b = runs[r].firstByte; b < end; b++) {
                upper[b] = static_cast<uint8_t>(runs[r].firstUpper + (b - runs[r].firstByte) / runs[r].perUpper);
                length[b] = static_cast<uint8_t>(runs[r].length);
            }
        }
    }
};
const PositionTables kPosition;

struct Run {
    Decoder& dec;
    const std::vector<uint8_t>& source;
    size_t sourcePos = 0;
    Outcome out{};
    // reader
    uint8_t readBuf[16384] = {};
    int16_t readCount = 0;
    int16_t readPos = 0;
    // bit input
    uint16_t bitBuf = 0;
    uint8_t bitCount = 0;
    uint32_t remaining = 0;
    Model model{};

    int ReadPtr() {
        if (readCount < 1) {
            uint32_t want = std::min<uint32_t>(remaining, 16384);
            out.readRequests.push_back(want);
            size_t got = std::min<size_t>(want, source.size() - std::min(sourcePos, source.size()));
            if (got) std::memcpy(readBuf, source.data() + sourcePos, got);
            sourcePos += got;
            readCount = static_cast<int16_t>(got);
            readPos = 0;
            if (got == 0) return 0;  // the file has ended: serve zero
        }
        readCount--;
        return readBuf[readPos++];
    }
    void Refill() {
        while (bitCount <= 8) {
            int byte = 0;
            if (remaining > 0) {
                byte = ReadPtr();
                remaining--;
            }
            bitBuf = static_cast<uint16_t>(bitBuf | (byte << (8 - bitCount)));
            bitCount = static_cast<uint8_t>(bitCount + 8);
        }
    }
    int GetBit() {
        Refill();
        int bit = bitBuf >> 15;
        bitBuf = static_cast<uint16_t>(bitBuf << 1);
        bitCount--;
        return bit;
    }
    int GetByte() {
        Refill();
        int byte = bitBuf >> 8;
        bitBuf = static_cast<uint16_t>(bitBuf << 8);
        bitCount = static_cast<uint8_t>(bitCount - 8);
        return byte;
    }
    int DecodeSymbol() {
        int c = model.child[kRoot];
        while (c < kNodes) c = model.child[c + GetBit()];
        c -= kNodes;
        UpdateModel(model, c);
        return c;
    }
    int DecodePosition() {
        int b = GetByte();
        int upper = kPosition.upper[b];
        int n = kPosition.length[b] - 2;
        int v = b;
        while (n--) v = 2 * v + GetBit();
        return upper * 64 + (v & 63);
    }
};

}  // namespace

void StartModel(Model& m) {
    for (int s = 0; s < kSymbols; s++) {
        m.freq[s] = 1;
        m.child[s] = static_cast<uint16_t>(kNodes + s);
        m.parent[kNodes + s] = static_cast<uint16_t>(s);
    }
    for (int j = kSymbols; j < kNodes; j++) {
        int i = 2 * (j - kSymbols);
        m.freq[j] = static_cast<uint16_t>(m.freq[i] + m.freq[i + 1]);
        m.child[j] = static_cast<uint16_t>(i);
        m.parent[i] = m.parent[i + 1] = static_cast<uint16_t>(j);
    }
    m.freq[kNodes] = 0xFFFF;
    m.parent[kRoot] = 0;
}

void RebuildModel(Model& m) {
    int next = 0;
    for (int i = 0; i < kNodes; i++) {
        if (m.child[i] >= kNodes) {
            m.freq[next] = static_cast<uint16_t>((m.freq[i] + 1) / 2);
            m.child[next] = m.child[i];
            next++;
        }
    }
    for (int j = kSymbols; j < kNodes; j++) {
        int i = 2 * (j - kSymbols);
        unsigned f = m.freq[i] + m.freq[i + 1];
        int scan = j - 1;
        while (f < m.freq[scan]) scan--;
        int k = scan + 1;
        std::memmove(&m.freq[k + 1], &m.freq[k], (j - k) * sizeof m.freq[0]);
        std::memmove(&m.child[k + 1], &m.child[k], (j - k) * sizeof m.child[0]);
        m.freq[k] = static_cast<uint16_t>(f);
        m.child[k] = static_cast<uint16_t>(i);
    }
    for (int i = 0; i < kNodes; i++) {
        int k = m.child[i];
        if (k >= kNodes) {
            m.parent[k] = static_cast<uint16_t>(i);
        } else {
            m.parent[k] = m.parent[k + 1] = static_cast<uint16_t>(i);
        }
    }
}

void UpdateModel(Model& m, int symbol) {
    if (m.freq[kRoot] == 0x8000) RebuildModel(m);
    int c = m.parent[kNodes + symbol];
    do {
        unsigned k = ++m.freq[c];
        if (k > m.freq[c + 1]) {
            int l = c + 1;
            while (k > m.freq[l + 1]) l++;
            m.freq[c] = m.freq[l];
            m.freq[l] = static_cast<uint16_t>(k);
            int i = m.child[c];
            m.parent[i] = static_cast<uint16_t>(l);
            if (i < kNodes) m.parent[i + 1] = static_cast<uint16_t>(l);
            int j = m.child[l];
            m.child[l] = static_cast<uint16_t>(i);
            m.parent[j] = static_cast<uint16_t>(c);
            if (j < kNodes) m.parent[j + 1] = static_cast<uint16_t>(c);
            m.child[c] = static_cast<uint16_t>(j);
            c = l;
        }
        c = m.parent[c];
    } while (c != 0);
}

Outcome Expand(Decoder& decoder, const std::vector<uint8_t>& source, int32_t expectedTotal, uint32_t storedSize) {
    Run run{decoder, source};
    run.remaining = storedSize;
    if (expectedTotal == 0) {
        run.out.remaining = run.remaining;
        return std::move(run.out);
    }
    StartModel(run.model);
    std::memset(decoder.ring, ' ', 4066);
    int ringPos = 4066;
    int32_t count = 0;
    while (count < expectedTotal) {
        int c = run.DecodeSymbol();
        if (c < 256) {
            run.out.produced.push_back(static_cast<uint8_t>(c));
            decoder.ring[ringPos] = static_cast<uint8_t>(c);
            ringPos = (ringPos + 1) & 4095;
            count++;
        } else {
            int p = run.DecodePosition();
            int start = (ringPos - p - 1) & 4095;
            int length = c - 253;
            for (int k = 0; k < length; k++) {
                uint8_t b = decoder.ring[(start + k) & 4095];
                run.out.produced.push_back(b);
                decoder.ring[ringPos] = b;
                ringPos = (ringPos + 1) & 4095;
            }
            count += length;
        }
    }
    run.out.remaining = run.remaining;
    return std::move(run.out);
}

StreamBuilder::StreamBuilder() { StartModel(model_); }

void StreamBuilder::Bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; i--) {
        acc_ = (acc_ << 1) | ((value >> i) & 1);
        if (++accBits_ == 8) {
            bytes_.push_back(static_cast<uint8_t>(acc_));
            acc_ = 0;
            accBits_ = 0;
        }
    }
}

void StreamBuilder::Symbol(int symbol) {
    // The code is the path from the root: collect it from the leaf upward.
    std::vector<int> path;
    for (int c = model_.parent[kNodes + symbol]; c != kRoot; c = model_.parent[c]) path.push_back(c & 1);
    for (auto it = path.rbegin(); it != path.rend(); ++it) Bits(*it, 1);
    UpdateModel(model_, symbol);
}

void StreamBuilder::Position(int position) {
    int upper = position >> 6;
    int firstByte = 0;
    while (kPosition.upper[firstByte] != upper) firstByte++;
    int prefixLength = kPosition.length[firstByte];
    Bits(firstByte >> (8 - prefixLength), prefixLength);
    Bits(position & 63, 6);
}

std::vector<uint8_t> StreamBuilder::Finish() const {
    std::vector<uint8_t> out = bytes_;
    if (accBits_) out.push_back(static_cast<uint8_t>(acc_ << (8 - accBits_)));
    return out;
}

}  // namespace reference
