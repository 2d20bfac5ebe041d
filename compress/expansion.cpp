// Expansion for the authoring side, through the installer's own decoder:
// the decoder's read and write calls get the source and the target of the
// one expansion running as their context.
#include "compress/expansion.h"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "expand/decoder.h"

namespace codec {
namespace {

void CheckSize(std::uint32_t expandedSize) {
    if (expandedSize > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::length_error("expanded size too large for one stream");
    }
}

// Bytes in memory, taken or put in turn from the start.
template <typename Byte>
struct MemoryBytes {
    Byte* bytes;
    std::uint32_t size;
    std::uint32_t offset = 0;

    std::uint32_t Next(std::uint32_t count) {
        std::uint32_t left = size - offset;
        return count < left ? count : left;
    }
};

std::uint32_t ReadMemory(void* source, unsigned char* buffer, std::uint32_t count) {
    auto* in = static_cast<MemoryBytes<const std::uint8_t>*>(source);
    count = in->Next(count);
    if (count) std::memcpy(buffer, in->bytes + in->offset, count);
    in->offset += count;
    return count;
}

std::uint32_t WriteMemory(void* target, const unsigned char* data, std::uint32_t count) {
    auto* out = static_cast<MemoryBytes<std::uint8_t>*>(target);
    count = out->Next(count);
    if (count) std::memcpy(out->bytes + out->offset, data, count);
    out->offset += count;
    return count;
}

std::uint32_t ReadSource(void* source, unsigned char* buffer, std::uint32_t count) {
    return (*static_cast<const ByteSource*>(source))(buffer, count);
}

struct Sink {
    const BlockSink& take;
    bool refused = false;
};

// A refused block is a write fault: the decoder stops there.
std::uint32_t WriteSink(void* target, const unsigned char* data, std::uint32_t count) {
    auto* sink = static_cast<Sink*>(target);
    if (sink->take(std::span<const std::uint8_t>(data, count))) return count;
    sink->refused = true;
    return 0;
}

}  // namespace

std::uint64_t ExpandMemory(const std::uint8_t* in, std::uint32_t storedSize, std::uint8_t* out,
                           std::uint32_t expandedSize) {
    CheckSize(expandedSize);
    MemoryBytes<const std::uint8_t> source{in, storedSize};
    MemoryBytes<std::uint8_t> target{out, expandedSize};
    std::uint32_t remaining = storedSize;
    ExpandStream(ReadMemory, &source, WriteMemory, &target, static_cast<std::int32_t>(expandedSize), &remaining,
                 EXPAND_ZERO_BITS);
    return ExpandBitsUsed();
}

StreamExpansion ExpandStreaming(const ByteSource& source, std::uint32_t storedSize, std::uint32_t expandedSize,
                                const BlockSink& sink) {
    CheckSize(expandedSize);
    Sink target{sink};
    std::uint32_t remaining = storedSize;
    ExpandStream(ReadSource, const_cast<ByteSource*>(&source), WriteSink, &target,
                 static_cast<std::int32_t>(expandedSize), &remaining, EXPAND_STOP_AT_OVERRUN);
    const unsigned faults = ExpandFaults();
    StreamExpansion result;
    result.ranOut = (faults & EXPAND_FAULT_OVERRUN) || ExpandBitsUsed() > 8ull * storedSize;
    result.sourceShort = (faults & EXPAND_FAULT_SHORT) != 0;
    result.stopped = target.refused;
    return result;
}

}  // namespace codec
