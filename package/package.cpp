/* Package locator and readers over the platform's file handles.
 *
 * OpenPackage walks the executable as a file (LocatePackage), not through
 * the resource loader, which would give only the 4 declared bytes of
 * "LASTRES". A read that comes up short, or an offset that leaves the signed
 * 32-bit range of the seeks, fails the walk instead of leaving the handle
 * anywhere.
 */
#include "package/package.h"

#include <string.h>

static PackageFailure lastFailure;

static int ReadWhole(HFILE file, void* buffer, UINT count) { return _lread(file, buffer, count) == count; }

/* LocatePackage's reads; the offset is below 2^31. */
static int ReadFileAt(void* file, uint32_t at, unsigned char* buffer, uint32_t count) {
    HFILE handle = (HFILE)(INT_PTR)file;
    return _llseek(handle, (LONG)at, FILE_BEGIN) == (LONG)at && ReadWhole(handle, buffer, count);
}

static HFILE Fail(HFILE file, PackageFailure reason) {
    if (file != HFILE_ERROR) _lclose(file);
    lastFailure = reason;
    return HFILE_ERROR;
}

HFILE OpenPackage(void) {
    char path[PATH_SIZE];
    DWORD length = GetModuleFileNameA(NULL, path, PATH_SIZE);
    if (length == 0) return Fail(HFILE_ERROR, PACKAGE_UNREADABLE);
    if (length >= PATH_SIZE) return Fail(HFILE_ERROR, PACKAGE_PATH_TOO_LONG);
    path[PATH_SIZE - 1] = '\0';
    return OpenPackageFile(path);
}

HFILE OpenPackageFile(const char* path) {
    HFILE file = _lopen(path, OF_READ | OF_SHARE_DENY_NONE);
    if (file == HFILE_ERROR) return Fail(HFILE_ERROR, PACKAGE_UNREADABLE);
    uint32_t start;
    if (!LocatePackage(ReadFileAt, (void*)(INT_PTR)file, &start) ||
        _llseek(file, (LONG)start, FILE_BEGIN) != (LONG)start)
        return Fail(file, PACKAGE_NOT_FOUND);
    lastFailure = PACKAGE_OPENED;
    return file;
}

PackageFailure PackageFailureReason(void) { return lastFailure; }

void ReadTitle(char* title) {
    HFILE package = OpenPackage();
    if (package != HFILE_ERROR) {
        char field[TITLE_SIZE];
        if (ReadWhole(package, field, TITLE_SIZE)) memcpy(title, field, TITLE_SIZE);
        _lclose(package);
    }
}

int ReadFirstFileNumber(HFILE package, unsigned short* firstFileNumber) {
    unsigned char raw[PACKAGE_HEADER_SIZE];
    PackageHeader header;
    if (!ReadWhole(package, raw, PACKAGE_HEADER_SIZE)) return 0;
    DecodeHeader(raw, &header);
    *firstFileNumber = header.firstFileNumber;
    return 1;
}

TableStep ReadTableStep(HFILE package, TableWalk* walk, EntryRecord* record) {
    unsigned char raw[ENTRY_RECORD_SIZE];
    UINT got = _lread(package, raw, ENTRY_RECORD_SIZE);
    return StepTable(walk, raw, got > ENTRY_RECORD_SIZE ? 0 : got, record);
}

PackageState InspectPackage(unsigned long long* installSize, DWORD* entryCount) {
    if (installSize) *installSize = 0;
    if (entryCount) *entryCount = 0;

    HFILE package = OpenPackage();
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
    PackageState state = PACKAGE_SOUND;
    TableWalk walk;
    StartTableWalk(&walk);
    EntryRecord record;
    for (;;) {
        TableStep step = ReadTableStep(package, &walk, &record);
        if (step == TABLE_CUT_SHORT) state = PACKAGE_NO_TERMINATOR;
        if (step != TABLE_ENTRY) break;
        if (state != PACKAGE_SOUND) continue;
        if (!RecordWithinLimit(&record))
            state = PACKAGE_SIZE_TOO_LARGE;
        else if ((unsigned long long)record.dataOffset + record.storedSize > (unsigned long long)fileSize)
            state = PACKAGE_DATA_OUTSIDE;
    }
    _lclose(package);
    if (state == PACKAGE_SOUND && walk.entries == 0) state = PACKAGE_NO_ENTRIES;
    if (installSize) *installSize = walk.installSize;
    if (entryCount) *entryCount = walk.entries;
    return state;
}
