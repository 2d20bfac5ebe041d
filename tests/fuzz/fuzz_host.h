// The win32 build's installer executable, as host for fuzzed packages: the
// input's bytes are written where its package starts.
#ifndef TESTS_FUZZ_FUZZ_HOST_H
#define TESTS_FUZZ_FUZZ_HOST_H

#include "author/pe_layout.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace fuzz {

inline std::vector<std::uint8_t> InstallerWithPackage(const std::uint8_t* package, std::size_t size) {
    static const std::vector<std::uint8_t> host = [] {
        const char* path = getenv("SAVER_FUZZ_HOST");
        auto bytes = author::ReadFileBytes(path ? path : SAVER_WIN32_DIR "/installer.exe");
        bytes.resize(author::CheckHost(bytes).packageStart);
        return bytes;
    }();
    std::vector<std::uint8_t> image = host;
    image.insert(image.end(), package, package + size);
    return image;
}

}  // namespace fuzz

#endif
