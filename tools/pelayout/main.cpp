// pelayout: the host executable's post-link step and layout checker.
//
//   pelayout fix FILE             move the "LASTRES" data last, clear the
//                                 checksum, set BaseOfData, leave out the
//                                 import lookup tables, compact the headers
//   pelayout check FILE           verify every host property, print the package start
//   pelayout imports FILE LIST    fail, naming each, on imports LIST does not allow
#include "author/imports.h"
#include "author/pe_layout.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

int main(int argc, char** argv) {
    bool imports = argc == 4 && strcmp(argv[1], "imports") == 0;
    if (!imports && (argc != 3 || (strcmp(argv[1], "fix") != 0 && strcmp(argv[1], "check") != 0))) {
        fprintf(stderr, "usage: pelayout fix|check FILE\n       pelayout imports FILE LIST\n");
        return 2;
    }
    try {
        auto image = author::ReadFileBytes(argv[2]);
        if (imports) {
            auto listBytes = author::ReadFileBytes(argv[3]);
            auto list = author::ParseImportList(std::string(listBytes.begin(), listBytes.end()));
            auto problems = author::AuditImports(author::ReadImports(image), list);
            for (const std::string& p : problems) fprintf(stderr, "%s: %s\n", argv[2], p.c_str());
            return problems.empty() ? 0 : 1;
        }
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
