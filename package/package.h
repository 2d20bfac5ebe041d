/* Package access: the package an installer carries in its own executable.
 *
 * Layout. The package starts at the file position of the data of resource
 * "LASTRES" 1000 (language 1033), which the host executable keeps as the last
 * resource data of its ".rsrc" section, the last section of the file. It runs
 * to the end of the file. All integers are little-endian.
 *
 *   PackageHeader   34 bytes: title[32] (ANSI, NUL-filled, no NUL when 32
 *                   characters long), firstFileNumber (u16)
 *   EntryRecord[]   16 bytes each: dataOffset (u32, from the start of the
 *                   FILE), storedSize (u32), expandedSize (u32, 0 = stored
 *                   raw), extension[4] (".MID", NUL-filled when shorter).
 *                   The table ends with the first record whose storedSize is
 *                   0, written as 16 zero bytes.
 *   entry data      storedSize bytes at each dataOffset.
 *
 * Entry 0 is the saver, entry 1 its data file, entries 2.. further files.
 * Nothing in the package is trusted: every reader here bounds what it reads.
 */
#ifndef PACKAGE_PACKAGE_H
#define PACKAGE_PACKAGE_H

#include "platform/platform.h"

enum {
    PATH_SIZE = 260,              /* every path buffer */
    TITLE_SIZE = 32,              /* title field */
    PACKAGE_HEADER_SIZE = 34,
    ENTRY_RECORD_SIZE = 16,
    EXTENSION_SIZE = 4,
    PACKAGE_RESOURCE_ID = 1000,
    PE_OPTIONAL_HEADER_SIZE = 224 /* PE32 with 16 data directories */
};

#define PACKAGE_RESOURCE_TYPE "LASTRES"

struct PackageHeader {
    char title[TITLE_SIZE];
    unsigned short firstFileNumber;
};

struct EntryRecord {
    DWORD dataOffset;
    DWORD storedSize;
    DWORD expandedSize;
    char extension[EXTENSION_SIZE];
};

/* Why the last OpenPackage failed. */
enum PackageFailure {
    PACKAGE_OPENED = 0,
    PACKAGE_PATH_TOO_LONG,  /* the executable's path does not fit PATH_SIZE */
    PACKAGE_UNREADABLE,     /* the executable's file cannot be opened */
    PACKAGE_NOT_FOUND       /* no ".rsrc" section, or a header read came up short */
};

/* Opens the running executable and leaves the handle at the package's first
 * byte. The three arguments are those of the resource; the walk takes the
 * first entry at each level of the resource tree, which the host layout
 * guarantees to be "LASTRES", 1000, 1033. Returns HFILE_ERROR on failure and
 * records the reason for PackageFailureReason. The caller closes the handle. */
HFILE OpenPackage(HINSTANCE instance, int resourceId, const char* resourceType);

/* The same walk on the executable file at path (the authoring tool reads
 * installers it is given this way). */
HFILE OpenPackageFile(const char* path);

/* The reason of the last OpenPackage failure, PACKAGE_OPENED after success. */
int PackageFailureReason(void);

/* Reads the 32-byte title into title[0..31]; title[32] stays as the caller
 * set it (0). On failure the buffer is untouched. Returns 0. */
int ReadTitle(HINSTANCE instance, char* title);

/* Table walk, on a handle fresh from OpenPackage: skips the title and reads
 * firstFileNumber. Returns 1, or 0 when the header is cut short. */
int ReadFirstFileNumber(HFILE package, unsigned short* firstFileNumber);

/* Reads the next 16-byte record at the handle's position. Returns 1 when the
 * record was read whole, 0 when the file ends (or fails) inside it; the walk
 * ends there and *record is zeroed, so no stale record is ever reused. */
int ReadEntryRecord(HFILE package, EntryRecord* record);

/* What a full check of the package found (see InspectPackage). */
enum PackageState {
    PACKAGE_SOUND = 0,
    PACKAGE_MISSING,        /* OpenPackage failed; see PackageFailureReason */
    PACKAGE_NO_TERMINATOR,  /* the file ends inside the table */
    PACKAGE_DATA_OUTSIDE,   /* an entry's data reaches past the end of the file */
    PACKAGE_SIZE_TOO_LARGE, /* a size or offset of 2^31 or more */
    PACKAGE_NO_ENTRIES      /* a whole table without even the saver */
};

/* Walks the whole table and checks it against the file: a terminator before
 * the end of the file, every entry's data inside the file, every size and
 * offset below 2^31, and at least one entry (the saver). Sums the installation size (expandedSize, or storedSize
 * for a stored entry) without wrapping into *installSize, and the number of
 * entries into *entryCount (either may be null). Returns a PackageState. */
int InspectPackage(HINSTANCE instance, unsigned long long* installSize, DWORD* entryCount);

#endif
