/* The package contract: the layout every reader and writer of a package
 * keeps, in one unit that needs no platform (the installer, the authoring
 * tool and the probe all build on it).
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
 * Offsets and sizes go to signed 32-bit seeks, so each stays below 2^31.
 * Entry 0 is the saver, entry 1 its data file, entries 2.. further files.
 * Nothing in a package is trusted: every function here bounds what it reads.
 */
#ifndef PACKAGE_LAYOUT_H
#define PACKAGE_LAYOUT_H

#include <stdint.h>

enum {
    PATH_SIZE = 260,               /* every path buffer */
    TITLE_SIZE = 32,               /* title field */
    PACKAGE_HEADER_SIZE = 34,
    ENTRY_RECORD_SIZE = 16,
    EXTENSION_SIZE = 4,
    PACKAGE_RESOURCE_ID = 1000,
    PACKAGE_LANGUAGE = 1033,
    PACKAGE_DECLARED_SIZE = 4,     /* the resource's declared data size, never read */
    PE_OPTIONAL_HEADER_SIZE = 224, /* PE32 with 16 data directories */
    PE_SECTION_HEADER_SIZE = 40
};

#define PACKAGE_RESOURCE_TYPE "LASTRES"

/* Every offset and size in a package stays below this. */
const uint32_t PACKAGE_LIMIT = 0x80000000u;

struct PackageHeader {
    char title[TITLE_SIZE];
    uint16_t firstFileNumber;
};

struct EntryRecord {
    uint32_t dataOffset;
    uint32_t storedSize;
    uint32_t expandedSize;
    char extension[EXTENSION_SIZE];
};

/* From and to the bytes of the file: raw holds PACKAGE_HEADER_SIZE or
 * ENTRY_RECORD_SIZE bytes. */
void DecodeHeader(const unsigned char* raw, PackageHeader* header);
void EncodeHeader(const PackageHeader* header, unsigned char* raw);
void DecodeRecord(const unsigned char* raw, EntryRecord* record);
void EncodeRecord(const EntryRecord* record, unsigned char* raw);

/* The bytes an entry installs: expandedSize, or storedSize when stored. */
uint32_t InstalledSize(const EntryRecord* record);

/* 1 when dataOffset, storedSize and expandedSize are all below 2^31. */
int RecordWithinLimit(const EntryRecord* record);

/* File offset of the first entry's data when the package at packageStart
 * carries entryCount entries (the table and its terminator come first). */
uint64_t PackageDataStart(uint32_t packageStart, uint64_t entryCount);

/* ---- The table walk ---- */

enum TableStep {
    TABLE_ENTRY,     /* a record of an entry */
    TABLE_END,       /* the terminator: the walk is over */
    TABLE_CUT_SHORT  /* the file ended inside the record: the walk is over */
};

/* What a walk has seen so far. The installation size adds every record read
 * whole, the terminator's included (a terminator whose expandedSize is not
 * 0 adds that to the size shown to the user), and never wraps. */
struct TableWalk {
    unsigned long long installSize;
    uint32_t entries;
};

void StartTableWalk(TableWalk* walk);

/* One step: the available bytes read at the next record's position (16 or
 * fewer) become *record, and count in *walk. A cut record zeroes *record,
 * so no stale record is ever reused. */
TableStep StepTable(TableWalk* walk, const unsigned char* raw, uint32_t available, EntryRecord* record);

/* ---- Locating the package in a host executable ---- */

/* Reads count bytes at file offset `at` into buffer; 1 when all were read. */
typedef int (*ReadAtCall)(void* file, uint32_t at, unsigned char* buffer, uint32_t count);

/* The installer's walk from the DOS header to the package's first byte:
 *
 *   offset 60             e_lfanew (u32)
 *   e_lfanew              "PE\0\0", file header (20), optional header (224)
 *   e_lfanew + 248        section headers (40 each), NumberOfSections of them
 *   ".rsrc" raw data      root directory (16), its first entry (8) ->
 *                         name level's first entry -> language level's first
 *                         entry -> data entry (16) holding the data's RVA
 *
 * It takes the first entry at each level of the resource tree, which the
 * host layout guarantees to be "LASTRES", 1000, 1033, and compares nothing
 * but the section name (".rsrc" and its NUL, all 6 bytes). Directory
 * entries point at a subdirectory's 16-byte header; adding their offset to
 * section start + 16 lands on that subdirectory's first entry. Returns 1 and
 * the position in *start; 0 when a read comes up short, no ".rsrc" section
 * is found, or an offset reaches 2^31 (the range of the installer's seeks). */
int LocatePackage(ReadAtCall readAt, void* file, uint32_t* start);

#endif
