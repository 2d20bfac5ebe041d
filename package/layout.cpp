/* The package contract: header and record bytes, the table walk's step, the
 * installation size and the locator's walk through the PE headers. See
 * package/layout.h for the layout.
 */
#include "package/layout.h"

#include <string.h>

static uint32_t GetU32(const unsigned char* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static uint16_t GetU16(const unsigned char* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

static void PutU32(unsigned char* p, uint32_t value) {
    for (int i = 0; i < 4; i++) p[i] = (unsigned char)(value >> (8 * i));
}

void DecodeHeader(const unsigned char* raw, PackageHeader* header) {
    memcpy(header->title, raw, TITLE_SIZE);
    header->firstFileNumber = GetU16(raw + TITLE_SIZE);
}

void EncodeHeader(const PackageHeader* header, unsigned char* raw) {
    memcpy(raw, header->title, TITLE_SIZE);
    raw[TITLE_SIZE] = (unsigned char)header->firstFileNumber;
    raw[TITLE_SIZE + 1] = (unsigned char)(header->firstFileNumber >> 8);
}

void DecodeRecord(const unsigned char* raw, EntryRecord* record) {
    record->dataOffset = GetU32(raw);
    record->storedSize = GetU32(raw + 4);
    record->expandedSize = GetU32(raw + 8);
    memcpy(record->extension, raw + 12, EXTENSION_SIZE);
}

void EncodeRecord(const EntryRecord* record, unsigned char* raw) {
    PutU32(raw, record->dataOffset);
    PutU32(raw + 4, record->storedSize);
    PutU32(raw + 8, record->expandedSize);
    memcpy(raw + 12, record->extension, EXTENSION_SIZE);
}

uint32_t InstalledSize(const EntryRecord* record) {
    return record->expandedSize ? record->expandedSize : record->storedSize;
}

int RecordWithinLimit(const EntryRecord* record) {
    return ((record->dataOffset | record->storedSize | record->expandedSize) & PACKAGE_LIMIT) == 0;
}

uint64_t PackageDataStart(uint32_t packageStart, uint64_t entryCount) {
    return (uint64_t)packageStart + PACKAGE_HEADER_SIZE + (uint64_t)ENTRY_RECORD_SIZE * (entryCount + 1);
}

void StartTableWalk(TableWalk* walk) {
    walk->installSize = 0;
    walk->entries = 0;
}

TableStep StepTable(TableWalk* walk, const unsigned char* raw, uint32_t available, EntryRecord* record) {
    if (available < ENTRY_RECORD_SIZE) {
        memset(record, 0, sizeof *record);
        return TABLE_CUT_SHORT;
    }
    DecodeRecord(raw, record);
    walk->installSize += InstalledSize(record);
    if (record->storedSize == 0) return TABLE_END;
    walk->entries++;
    return TABLE_ENTRY;
}

/* Reads at base + offset, a sum that must neither wrap nor reach 2^31. */
static int ReadAt(ReadAtCall readAt, void* file, uint32_t base, uint32_t offset, unsigned char* buffer,
                  uint32_t count) {
    uint32_t at = base + offset;
    if (at < base || at >= PACKAGE_LIMIT) return 0;
    return readAt(file, at, buffer, count);
}

int LocatePackage(ReadAtCall readAt, void* file, uint32_t* start) {
    /* Every header on the way is read whole, as the installer always has:
     * 14 reads of 508 bytes in the example executable. */
    unsigned char buffer[PE_OPTIONAL_HEADER_SIZE];
    if (!ReadAt(readAt, file, 60, 0, buffer, 4)) return 0;
    uint32_t peOffset = GetU32(buffer);

    /* The signature is not compared; the file header gives the count. */
    if (!ReadAt(readAt, file, peOffset, 0, buffer, 4) || !ReadAt(readAt, file, peOffset, 4, buffer, 20)) return 0;
    unsigned sectionCount = GetU16(buffer + 2);
    if (!ReadAt(readAt, file, peOffset, 24, buffer, PE_OPTIONAL_HEADER_SIZE)) return 0;
    uint32_t table = peOffset + 24 + PE_OPTIONAL_HEADER_SIZE;

    for (unsigned i = 0;; i++) {
        if (i == sectionCount) return 0;
        if (!ReadAt(readAt, file, table, i * PE_SECTION_HEADER_SIZE, buffer, PE_SECTION_HEADER_SIZE)) return 0;
        if (memcmp(buffer, ".rsrc", 6) == 0) break;
    }
    uint32_t virtualAddress = GetU32(buffer + 12);
    uint32_t rawData = GetU32(buffer + 20);

    /* The root directory's header, its first entry, then the first entries
     * of the name and language levels. */
    if (!ReadAt(readAt, file, rawData, 0, buffer, 16) || !ReadAt(readAt, file, rawData, 16, buffer, 8)) return 0;
    for (int level = 0; level < 2; level++)
        if (!ReadAt(readAt, file, rawData, 16 + (GetU32(buffer + 4) & 0x7FFFFFFFu), buffer, 8)) return 0;
    if (!ReadAt(readAt, file, rawData, GetU32(buffer + 4), buffer, 16)) return 0;

    uint32_t dataRva = GetU32(buffer);
    if (dataRva < virtualAddress) return 0;
    uint32_t at = rawData + (dataRva - virtualAddress);
    if (at < rawData || at >= PACKAGE_LIMIT) return 0;
    *start = at;
    return 1;
}
