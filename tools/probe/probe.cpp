/* package-probe: prints what the installer's package code sees in the
 * running executable (or, natively, in the file named on the command line).
 * A copy of the win32 probe with a package written into it shows package
 * access working on the real platform. */
#include "package/package.h"

#include <stdio.h>
#include <string.h>

#ifndef _WIN32
#include "platform/standin/control.h"
#endif

static void PrintText(const char* label, const char* text, int size) {
    printf("%s \"", label);
    for (int i = 0; i < size && text[i]; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\')
            printf("\\x%02X", c);
        else
            putchar(c);
    }
    printf("\"\n");
}

int main(int argc, char** argv) {
#ifndef _WIN32
    if (argc != 2) {
        fprintf(stderr, "usage: package-probe INSTALLER\n");
        return 2;
    }
    standin::SetModulePath(argv[1]);
#else
    (void)argc;
    (void)argv;
#endif
    HINSTANCE self = GetModuleHandleA(NULL);
    HFILE package = OpenPackage(self, PACKAGE_RESOURCE_ID, PACKAGE_RESOURCE_TYPE);
    if (package == HFILE_ERROR) {
        printf("OpenPackage failed: reason %d\n", PackageFailureReason());
        return 1;
    }
    printf("package at %ld\n", (long)_llseek(package, 0, FILE_CURRENT));
    _lclose(package);

    char title[TITLE_SIZE + 1];
    memset(title, 0, sizeof title);
    ReadTitle(self, title);
    PrintText("title", title, TITLE_SIZE);

    package = OpenPackage(self, PACKAGE_RESOURCE_ID, PACKAGE_RESOURCE_TYPE);
    unsigned short first = 0;
    if (package == HFILE_ERROR || !ReadFirstFileNumber(package, &first)) {
        printf("header cut short\n");
        return 1;
    }
    printf("firstFileNumber %u\n", first);
    TableWalk walk;
    StartTableWalk(&walk);
    EntryRecord record;
    for (;;) {
        TableStep step = ReadTableStep(package, &walk, &record);
        if (step == TABLE_CUT_SHORT) {
            printf("table ends without terminator after %lu entries\n", (unsigned long)walk.entries);
            break;
        }
        if (step == TABLE_END) {
            printf("terminator after %lu entries\n", (unsigned long)walk.entries);
            break;
        }
        printf("entry %lu: dataOffset %lu storedSize %lu expandedSize %lu ", (unsigned long)walk.entries - 1,
               (unsigned long)record.dataOffset, (unsigned long)record.storedSize,
               (unsigned long)record.expandedSize);
        PrintText("extension", record.extension, EXTENSION_SIZE);
    }
    printf("installation size %llu\n", walk.installSize);
    _lclose(package);
    return 0;
}
