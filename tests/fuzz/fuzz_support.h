// Small helpers shared by the fuzz targets.
#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H
#define TESTS_FUZZ_FUZZ_SUPPORT_H

#include "tests/support/bytes.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

// A property that must hold for every input; a failure is a finding.
#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                       \
        }                                                                                  \
    } while (0)

namespace fuzz {

// A directory of this process's own, for the files a target writes.
inline std::string ScratchDirectory() {
    char pattern[] = "/tmp/saver-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    return pattern;
}

inline bool MakeDirectory(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

using testsupport::Get32;

inline void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (size && fwrite(data, 1, size, f) != size) abort();
    fclose(f);
}

}  // namespace fuzz

#endif
