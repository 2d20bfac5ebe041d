/* Package locator and readers.
 *
 * OpenPackage walks the executable as a file, not through the resource
 * loader (which would give only the 4 declared bytes of "LASTRES"):
 *
 *   offset 60             e_lfanew (u32)
 *   e_lfanew              "PE\0\0", file header (20), optional header (224)
 *   e_lfanew + 248        section headers (40 each), NumberOfSections of them
 *   ".rsrc" raw data      root directory (16), its first entry (8) ->
 *                         name level's first entry -> language level's first
 *                         entry -> data entry (16) holding the data's RVA
 *
 * Directory entries point at a subdirectory's 16-byte header; adding their
 * offset to section start + 16 lands on that subdirectory's first entry.
 * A read that comes up short, or an offset that leaves the signed 32-bit
 * range of the seeks, fails the walk instead of leaving the handle anywhere.
 */
#include "package/package.h"

#include <string.h>

static int lastFailure;

static DWORD GetU32(const unsigned char* p) {
    return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24);
}

static unsigned short GetU16(const unsigned char* p) {
    return (unsigned short)(p[0] | (p[1] << 8));
}

static int ReadWhole(HFILE file, void* buffer, UINT count) {
    return _lread(file, buffer, count) == count;
}

/* Seeks from the file's start to base + offset, a sum that must neither
 * wrap nor leave the signed 32-bit range of the seek. */
static int SeekTo(HFILE file, DWORD base, DWORD offset) {
    DWORD at = base + offset;
    if (at < base || at > 0x7FFFFFFFu) return 0;
    return _llseek(file, (LONG)at, FILE_BEGIN) == (LONG)at;
}

static int ReadAt(HFILE file, DWORD base, DWORD offset, void* buffer, UINT count) {
    return SeekTo(file, base, offset) && ReadWhole(file, buffer, count);
}

static HFILE Fail(HFILE file, int reason) {
    if (file != HFILE_ERROR) _lclose(file);
    lastFailure = reason;
    return HFILE_ERROR;
}

HFILE OpenPackage(HINSTANCE instance, int resourceId, const char* resourceType) {
    (void)instance;
    (void)resourceId;
    (void)resourceType;

    char path[PATH_SIZE];
    DWORD length = GetModuleFileNameA(NULL, path, PATH_SIZE);
    if (length == 0) return Fail(HFILE_ERROR, PACKAGE_UNREADABLE);
    if (length >= PATH_SIZE) return Fail(HFILE_ERROR, PACKAGE_PATH_TOO_LONG);
    path[PATH_SIZE - 1] = '\0';
    return OpenPackageFile(path);
}

/* The walk from the DOS header to the package's first byte; 0 when a read
 * comes up short or an offset leaves the range of the seeks. */
static int SeekToPackage(HFILE file) {
    unsigned char buffer[PE_OPTIONAL_HEADER_SIZE];
    if (!ReadAt(file, 60, 0, buffer, 4)) return 0;
    DWORD peOffset = GetU32(buffer);

    if (!ReadAt(file, peOffset, 0, buffer, 4) || !ReadWhole(file, buffer, 20)) return 0;
    unsigned sectionCount = GetU16(buffer + 2);
    if (!ReadWhole(file, buffer, PE_OPTIONAL_HEADER_SIZE)) return 0;

    DWORD virtualAddress = 0, rawData = 0;
    int found = 0;
    for (unsigned i = 0; i < sectionCount && !found; i++) {
        if (!ReadWhole(file, buffer, 40)) return 0;
        if (memcmp(buffer, ".rsrc", 6) == 0) {
            virtualAddress = GetU32(buffer + 12);
            rawData = GetU32(buffer + 20);
            found = 1;
        }
    }
    if (!found) return 0;

    if (!ReadAt(file, rawData, 0, buffer, 16) || !ReadWhole(file, buffer, 8)) return 0;
    for (int level = 0; level < 2; level++)
        if (!ReadAt(file, rawData, 16 + (GetU32(buffer + 4) & 0x7FFFFFFFu), buffer, 8)) return 0;
    if (!ReadAt(file, rawData, GetU32(buffer + 4), buffer, 16)) return 0;

    DWORD dataRva = GetU32(buffer);
    return dataRva >= virtualAddress && SeekTo(file, rawData, dataRva - virtualAddress);
}

HFILE OpenPackageFile(const char* path) {
    HFILE file = _lopen(path, OF_READ | OF_SHARE_DENY_NONE);
    if (file == HFILE_ERROR) return Fail(HFILE_ERROR, PACKAGE_UNREADABLE);
    if (!SeekToPackage(file)) return Fail(file, PACKAGE_NOT_FOUND);
    lastFailure = PACKAGE_OPENED;
    return file;
}

int PackageFailureReason(void) { return lastFailure; }

int ReadTitle(HINSTANCE instance, char* title) {
    HFILE package = OpenPackage(instance, PACKAGE_RESOURCE_ID, PACKAGE_RESOURCE_TYPE);
    if (package != HFILE_ERROR) {
        char field[TITLE_SIZE];
        if (ReadWhole(package, field, TITLE_SIZE)) memcpy(title, field, TITLE_SIZE);
        _lclose(package);
    }
    return 0;
}

int ReadFirstFileNumber(HFILE package, unsigned short* firstFileNumber) {
    unsigned char field[2];
    LONG start = _llseek(package, 0, FILE_CURRENT);
    if (start == HFILE_ERROR || _llseek(package, TITLE_SIZE, FILE_CURRENT) != start + TITLE_SIZE) return 0;
    if (!ReadWhole(package, field, 2)) return 0;
    *firstFileNumber = GetU16(field);
    return 1;
}

int ReadEntryRecord(HFILE package, EntryRecord* record) {
    unsigned char raw[ENTRY_RECORD_SIZE];
    if (!ReadWhole(package, raw, ENTRY_RECORD_SIZE)) {
        memset(record, 0, sizeof *record);
        return 0;
    }
    record->dataOffset = GetU32(raw);
    record->storedSize = GetU32(raw + 4);
    record->expandedSize = GetU32(raw + 8);
    memcpy(record->extension, raw + 12, EXTENSION_SIZE);
    return 1;
}

int InspectPackage(HINSTANCE instance, unsigned long long* installSize, DWORD* entryCount) {
    if (installSize) *installSize = 0;
    if (entryCount) *entryCount = 0;

    HFILE package = OpenPackage(instance, PACKAGE_RESOURCE_ID, PACKAGE_RESOURCE_TYPE);
    if (package == HFILE_ERROR) return PACKAGE_MISSING;

    LONG start = _llseek(package, 0, FILE_CURRENT);
    LONG fileSize = _llseek(package, 0, FILE_END);
    unsigned short firstFileNumber;
    if (start == HFILE_ERROR || fileSize == HFILE_ERROR || _llseek(package, start, FILE_BEGIN) != start ||
        !ReadFirstFileNumber(package, &firstFileNumber)) {
        _lclose(package);
        return PACKAGE_NO_TERMINATOR;
    }

    /* A missing terminator outranks a problem with one entry: the table
     * itself is not whole. */
    int state = PACKAGE_SOUND;
    unsigned long long total = 0;
    DWORD count = 0;
    EntryRecord record;
    for (;;) {
        if (!ReadEntryRecord(package, &record)) {
            state = PACKAGE_NO_TERMINATOR;
            break;
        }
        if (record.storedSize == 0) break;
        if (state != PACKAGE_SOUND) continue;
        if (record.dataOffset >= 0x80000000u || record.storedSize >= 0x80000000u ||
            record.expandedSize >= 0x80000000u)
            state = PACKAGE_SIZE_TOO_LARGE;
        else if ((unsigned long long)record.dataOffset + record.storedSize > (unsigned long long)fileSize)
            state = PACKAGE_DATA_OUTSIDE;
        total += record.expandedSize ? record.expandedSize : record.storedSize;
        count++;
    }
    _lclose(package);
    if (state == PACKAGE_SOUND && count == 0) state = PACKAGE_NO_ENTRIES;
    if (installSize) *installSize = total;
    if (entryCount) *entryCount = count;
    return state;
}
