// Fuzz target: the stream decoder on arbitrary streams and sizes, from
// memory and through ExpandEntry's files (the slow path: decoder_memory_fuzz
// is the fast one). Both must agree, deliver exactly expandedSize bytes and
// never read past storedSize.
#include "compress/expansion.h"
#include "expand/expand.h"
#include "platform/standin/control.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/ring.h"

namespace {

std::vector<std::uint8_t> ReadBack(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return bytes;
    int c;
    while ((c = fgetc(f)) != EOF) bytes.push_back(std::uint8_t(c));
    fclose(f);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    // First 4 bytes: expandedSize (kept below 128 KiB so each run stays quick);
    // the rest is the stored stream.
    std::uint32_t expanded = fuzz::Get32(data) % (1u << 17);
    const std::uint8_t* stream = data + 4;
    std::uint32_t stored = std::uint32_t(size - 4);

    // Exactly sized heap buffers: the sanitizer catches any byte read past
    // storedSize or written past expandedSize.
    std::vector<std::uint8_t> in(stream, stream + stored);
    std::vector<std::uint8_t> out(expanded);
    fuzz::PrimeRing();
    std::uint64_t bits = codec::ExpandMemory(in.data(), stored, out.data(), expanded);
    // A stream whose symbols need more than its stored bytes is damaged.
    const int whole = bits <= 8ull * stored ? EXPAND_DONE : EXPAND_SHORT_DATA;

    static std::string root = fuzz::ScratchDirectory();
    standin::Reset(root);
    static bool drive = fuzz::MakeDirectory(root + "/C");
    FUZZ_CHECK(drive);
    const std::uint32_t offset = 16;
    std::vector<std::uint8_t> file(offset, 0xEE);
    file.insert(file.end(), in.begin(), in.end());
    fuzz::WriteFile(standin::HostPath("C:\\installer.exe"), file.data(), file.size());
    standin::SetModulePath("C:\\installer.exe");

    fuzz::PrimeRing();
    int result = ExpandEntry(nullptr, offset, expanded, stored, "C:\\target.bin");
    if (expanded == 0) return 0;
    FUZZ_CHECK(result == whole);
    // A damaged stream may stop early, after the block where it ran out.
    std::vector<std::uint8_t> written = ReadBack(standin::HostPath("C:\\target.bin"));
    if (result == EXPAND_DONE)
        FUZZ_CHECK(written == out);
    else
        FUZZ_CHECK(written.size() <= out.size() && std::equal(written.begin(), written.end(), out.begin()));

    // The same stream cut short in the file is reported, never passed off.
    if (stored > 1) {
        fuzz::WriteFile(root + "/installer.exe", file.data(), file.size() - 1);
        fuzz::PrimeRing();
        result = ExpandEntry(nullptr, offset, expanded, stored, "C:\\target.bin");
        FUZZ_CHECK(result == whole || result == EXPAND_SHORT_DATA);
        if (result == EXPAND_DONE) FUZZ_CHECK(ReadBack(standin::HostPath("C:\\target.bin")) == out);
    }
    return 0;
}
