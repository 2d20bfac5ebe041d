// pelayout: the host executable's post-link step and layout checker.
//
//   pelayout fix FILE [--keep P]  move the "LASTRES" data last, clear the
//                                 checksum, set BaseOfData, leave out the
//                                 import lookup tables, compact the headers;
//                                 --keep drop-import-lookup-tables or
//                                 --keep compact-headers skips that pass
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
    bool check = argc == 3 && strcmp(argv[1], "check") == 0;
    bool fix = argc >= 3 && argc % 2 == 1 && strcmp(argv[1], "fix") == 0;
    author::FixPasses passes;
    for (int i = 3; fix && i < argc; i += 2) {
        bool keep = strcmp(argv[i], "--keep") == 0;
        if (keep && strcmp(argv[i + 1], "drop-import-lookup-tables") == 0)
            passes.dropImportLookupTables = false;
        else if (keep && strcmp(argv[i + 1], "compact-headers") == 0)
            passes.compactHeaders = false;
        else
            fix = false;
    }
    if (!imports && !check && !fix) {
        fprintf(stderr,
                "usage: pelayout fix FILE [--keep drop-import-lookup-tables|compact-headers]...\n"
                "       pelayout check FILE\n       pelayout imports FILE LIST\n");
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
        if (fix) {
            author::FixHost(image, passes);
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
