// pelayout: the host executable's post-link step and layout checker.
//
//   pelayout fix FILE     move the "LASTRES" data last, clear the checksum
//   pelayout check FILE   verify every host property, print the package start
#include "author/pe_layout.h"

#include <cstdio>
#include <cstring>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 3 || (strcmp(argv[1], "fix") != 0 && strcmp(argv[1], "check") != 0)) {
        fprintf(stderr, "usage: pelayout fix|check FILE\n");
        return 2;
    }
    try {
        auto image = author::ReadFileBytes(argv[2]);
        if (strcmp(argv[1], "fix") == 0) {
            author::FixHost(image);
            author::WriteFileBytes(argv[2], image);
            return 0;
        }
        author::HostLayout layout = author::CheckHost(image);
        printf("%s: package starts at 0x%X (%u), section ends at 0x%X\n", argv[2], layout.packageStart,
               layout.packageStart, layout.sectionEnd);
        return 0;
    } catch (const std::exception& e) {
        fprintf(stderr, "%s: %s\n", argv[2], e.what());
        return 1;
    }
}
