/* package-probe: prints what the package contract finds in the running
 * executable (or, natively, in the file named on the command line), read
 * as bytes with the C library's streams. A copy of the win32 probe with a
 * package written into it shows the contract reading the real platform's
 * files as it reads them natively. */
#include "package/layout.h"
#include "package/text.h"

#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#endif

static int ReadFileAt(void* file, uint32_t at, unsigned char* buffer, uint32_t count) {
    FILE* stream = (FILE*)file;
    return fseek(stream, (long)at, SEEK_SET) == 0 && fread(buffer, 1, count, stream) == count;
}

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
#ifdef _WIN32
    (void)argc;
    (void)argv;
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        printf("own path not found\n");
        return 1;
    }
#else
    if (argc != 2) {
        fprintf(stderr, "usage: package-probe INSTALLER\n");
        return 2;
    }
    const char* path = argv[1];
#endif
    FILE* file = fopen(path, "rb");
    uint32_t start = 0;
    if (!file || !LocatePackage(ReadFileAt, file, &start)) {
        printf("no package found\n");
        if (file) fclose(file);
        return 1;
    }
    printf("package at %lu\n", (unsigned long)start);

    unsigned char raw[PACKAGE_HEADER_SIZE];
    PackageHeader header;
    if (!ReadFileAt(file, start, raw, PACKAGE_HEADER_SIZE)) {
        printf("header cut short\n");
        fclose(file);
        return 1;
    }
    DecodeHeader(raw, &header);
    PrintText("title", header.title, TITLE_SIZE);
    printf("firstFileNumber %u\n", (unsigned)header.firstFileNumber);

    TableWalk walk;
    StartTableWalk(&walk);
    EntryRecord record;
    for (uint32_t at = start + PACKAGE_HEADER_SIZE;; at += ENTRY_RECORD_SIZE) {
        unsigned char bytes[ENTRY_RECORD_SIZE];
        uint32_t got = fseek(file, (long)at, SEEK_SET) == 0 ? (uint32_t)fread(bytes, 1, ENTRY_RECORD_SIZE, file) : 0;
        TableStep step = StepTable(&walk, bytes, got, &record);
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
    char size[NUMBER_TEXT_SIZE];
    DecimalText(walk.installSize, 1, size);
    printf("installation size %s\n", size);
    fclose(file);
    return 0;
}
