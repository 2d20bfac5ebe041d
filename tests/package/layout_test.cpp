// The package contract on its own, over bytes: header and record bytes, the
// walk's step and its installation size, the locator, the installed names
// and the extension check.
#include "package/layout.h"
#include "package/names.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Layout, HeaderAndRecordBytesRoundTripLittleEndian) {
    PackageHeader header{};
    memcpy(header.title, "Clouds", 6);
    header.firstFileNumber = 0x1234;
    unsigned char raw[PACKAGE_HEADER_SIZE];
    EncodeHeader(&header, raw);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw), 7), std::string("Clouds\0", 7));
    EXPECT_EQ(raw[32], 0x34);
    EXPECT_EQ(raw[33], 0x12);
    PackageHeader back;
    DecodeHeader(raw, &back);
    EXPECT_EQ(back.firstFileNumber, 0x1234);
    EXPECT_EQ(0, memcmp(back.title, header.title, TITLE_SIZE));

    EntryRecord record{0x01020304u, 0x7FFFFFFFu, 0x80000000u, {'.', 'M', 'I', 'D'}};
    unsigned char bytes[ENTRY_RECORD_SIZE];
    EncodeRecord(&record, bytes);
    const unsigned char expected[ENTRY_RECORD_SIZE] = {4, 3, 2, 1, 0xFF, 0xFF, 0xFF, 0x7F,
                                                       0, 0, 0, 0x80, '.', 'M', 'I', 'D'};
    EXPECT_EQ(0, memcmp(bytes, expected, sizeof expected));
    EntryRecord decoded;
    DecodeRecord(bytes, &decoded);
    EXPECT_EQ(decoded.dataOffset, record.dataOffset);
    EXPECT_EQ(decoded.storedSize, record.storedSize);
    EXPECT_EQ(decoded.expandedSize, record.expandedSize);
    EXPECT_EQ(0, memcmp(decoded.extension, ".MID", 4));
}

TEST(Layout, LimitsAndDataStart) {
    EntryRecord r{0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFFu, {}};
    EXPECT_TRUE(RecordWithinLimit(&r));
    for (std::uint32_t EntryRecord::*field : {&EntryRecord::dataOffset, &EntryRecord::storedSize,
                                              &EntryRecord::expandedSize}) {
        EntryRecord over = r;
        over.*field = 0x80000000u;
        EXPECT_FALSE(RecordWithinLimit(&over));
    }
    // The documented example: package at 0xDC84, three entries, data at 56,550.
    EXPECT_EQ(PackageDataStart(0xDC84, 3), 56550u);
    EXPECT_EQ(PackageDataStart(0xDC84, 0), 0xDC84u + 34 + 16);
}

// Records as the file holds them, one after another.
Bytes Table(const std::vector<EntryRecord>& records) {
    Bytes out;
    for (const EntryRecord& r : records) {
        unsigned char raw[ENTRY_RECORD_SIZE];
        EncodeRecord(&r, raw);
        out.insert(out.end(), raw, raw + ENTRY_RECORD_SIZE);
    }
    return out;
}

// Steps through table as a reader would that has `size` bytes of it.
std::vector<TableStep> Walk(const Bytes& table, std::size_t size, TableWalk* walk) {
    StartTableWalk(walk);
    std::vector<TableStep> steps;
    for (std::size_t at = 0;; at += ENTRY_RECORD_SIZE) {
        std::size_t left = at < size ? size - at : 0;
        EntryRecord r;
        TableStep step = StepTable(walk, table.data() + (at < table.size() ? at : 0),
                                   std::uint32_t(std::min<std::size_t>(left, ENTRY_RECORD_SIZE)), &r);
        steps.push_back(step);
        if (step != TABLE_ENTRY) return steps;
    }
}

TEST(TableWalk, SumsEveryRecordReadWholeTheTerminatorIncluded) {
    Bytes table = Table({{100, 60, 0, {}}, {160, 40, 5000, {}}, {0, 0, 0, {}}});
    TableWalk walk;
    EXPECT_EQ(Walk(table, table.size(), &walk), (std::vector<TableStep>{TABLE_ENTRY, TABLE_ENTRY, TABLE_END}));
    EXPECT_EQ(walk.installSize, 5060u) << "a stored entry counts its stored size, a compressed one its expanded";
    EXPECT_EQ(walk.entries, 2u);

    // A terminator whose expandedSize is not 0 adds it to the size shown.
    table = Table({{100, 60, 0, {}}, {160, 40, 0, {}}, {7, 0, 12345, {'x'}}});
    Walk(table, table.size(), &walk);
    EXPECT_EQ(walk.installSize, 12445u);
    EXPECT_EQ(walk.entries, 2u);

    // The sum is 64 bits wide.
    table = Table({{1, 0x7FFFFFFF, 0xFFFFFFFF, {}}, {1, 1, 0xFFFFFFFF, {}}, {0, 0, 0xFFFFFFFF, {}}});
    Walk(table, table.size(), &walk);
    EXPECT_EQ(walk.installSize, 3 * 0xFFFFFFFFull);
}

TEST(TableWalk, ACutRecordEndsTheWalkAndLeavesNoStaleValues) {
    Bytes table = Table({{100, 60, 0, {}}, {160, 40, 0, {}}, {0, 0, 0, {}}});
    for (std::size_t cut = 1; cut < ENTRY_RECORD_SIZE; cut++) {
        TableWalk walk;
        std::vector<TableStep> steps = Walk(table, ENTRY_RECORD_SIZE + cut, &walk);
        EXPECT_EQ(steps, (std::vector<TableStep>{TABLE_ENTRY, TABLE_CUT_SHORT})) << cut;
        EXPECT_EQ(walk.installSize, 60u) << "a cut record counts nothing";
        EXPECT_EQ(walk.entries, 1u);
    }
    EntryRecord r{1, 2, 3, {'a', 'b', 'c', 'd'}};
    TableWalk walk;
    StartTableWalk(&walk);
    EXPECT_EQ(StepTable(&walk, table.data(), 0, &r), TABLE_CUT_SHORT);
    EXPECT_EQ(r.storedSize, 0u);
    EXPECT_EQ(r.extension[0], 0);
}

struct ByteFile {
    const Bytes* bytes;
    int reads = 0;
};

int ReadBytesAt(void* file, std::uint32_t at, unsigned char* buffer, std::uint32_t count) {
    ByteFile* f = static_cast<ByteFile*>(file);
    f->reads++;
    if (at > f->bytes->size() || f->bytes->size() - at < count) return 0;
    memcpy(buffer, f->bytes->data() + at, count);
    return 1;
}

TEST(LocatePackage, FindsTheLastresDataOverBytes) {
    Bytes host = testhost::MakeHost();
    ByteFile file{&host};
    std::uint32_t start = 0;
    ASSERT_TRUE(LocatePackage(ReadBytesAt, &file, &start));
    EXPECT_EQ(start, testhost::PackageStartOf());

    // Cut anywhere before the data entry is read: not found, never a wrong place.
    for (std::size_t size : {std::size_t(10), std::size_t(0x80 + 30), std::size_t(testhost::ResourceRawOffset() + 20),
                             std::size_t(testhost::ResourceRawOffset() + 0x50)}) {
        Bytes cut(host.begin(), host.begin() + size);
        ByteFile f{&cut};
        EXPECT_FALSE(LocatePackage(ReadBytesAt, &f, &start)) << size;
    }
}

TEST(LocatePackage, OffsetsAtOrPast2To31AreRefused) {
    Bytes host = testhost::MakeHost();
    testhost::Put32(host, 60, 0x80000000u);  // e_lfanew beyond the signed range
    ByteFile file{&host};
    std::uint32_t start = 0;
    EXPECT_FALSE(LocatePackage(ReadBytesAt, &file, &start));
    EXPECT_EQ(file.reads, 1) << "nothing is read at an offset the installer's seeks cannot reach";
}

TEST(ExtensionCheck, RefusesWhatWindowsRefusesOrRenames) {
    struct Case {
        const char* text;
        ExtensionCheck expected;
        std::uint32_t at;
    } cases[] = {
        {".MID", EXTENSION_GOOD, 0},
        {"", EXTENSION_GOOD, 0},
        {"MID", EXTENSION_GOOD, 0},
        {".A.B", EXTENSION_GOOD, 0},
        {".a|b", EXTENSION_RESERVED, 2},
        {"?", EXTENSION_RESERVED, 0},
        {"\\..", EXTENSION_RESERVED, 0},
        {".\x1F", EXTENSION_CONTROL, 1},
        // Windows drops trailing dots and spaces: these would land under
        // another name (an extension of "." would install as FILE0015).
        {".", EXTENSION_TRAILING, 0},
        {"....", EXTENSION_TRAILING, 3},
        {".A.", EXTENSION_TRAILING, 2},
        {".A ", EXTENSION_TRAILING, 2},
        {" ", EXTENSION_TRAILING, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t at = 99;
        EXPECT_EQ(CheckExtension(c.text, std::uint32_t(strlen(c.text)), &at), c.expected) << '"' << c.text << '"';
        if (c.expected != EXTENSION_GOOD) {
            EXPECT_EQ(at, c.at) << '"' << c.text << '"';
        }
    }
}

// The name appended to an empty path, or what the rule says of it.
EntryName Name(std::uint32_t index, std::uint16_t first, const char* extension, const char* stem, std::string* out) {
    char path[PATH_SIZE] = "";
    EntryName made = AppendEntryName(path, index, first, extension, "SEA.SCR", stem);
    *out = path;
    return made;
}

TEST(EntryNames, FollowTheIndex) {
    std::string name;
    const char mid[4] = {'.', 'M', 'I', 'D'};
    EXPECT_EQ(Name(0, 15, mid, "Sea.Life", &name), ENTRY_NAME_MADE);
    EXPECT_EQ(name, "SEA.SCR");
    EXPECT_EQ(EntryDirectory(0), IN_WINDOWS_DIRECTORY);
    EXPECT_EQ(Name(1, 15, mid, "Sea.Life", &name), ENTRY_NAME_MADE);
    EXPECT_EQ(name, "Sea.Life.DAT");
    EXPECT_EQ(EntryDirectory(1), IN_DATA_DIRECTORY);
    EXPECT_EQ(Name(2, 15, mid, "Sea.Life", &name), ENTRY_NAME_MADE);
    EXPECT_EQ(name, "FILE0015.MID");
    EXPECT_EQ(EntryDirectory(2), IN_DATA_DIRECTORY);
    const char short_[4] = {'.', 'B', 0, 'Z'};
    EXPECT_EQ(Name(5, 65535, short_, "Sea.Life", &name), ENTRY_NAME_MADE);
    EXPECT_EQ(name, "FILE65538.B") << "the number does not wrap at 16 bits; a NUL ends the extension";

    // Entries 0 and 1 never read the extension; from 2 on it is checked,
    // and a refused one leaves the path as it was.
    const char dot[4] = {'.', 0, 0, 0};
    EXPECT_EQ(Name(1, 15, dot, "Sea", &name), ENTRY_NAME_MADE);
    char path[PATH_SIZE] = "C:\\WINDOWS\\";
    EXPECT_EQ(AppendEntryName(path, 2, 15, dot, "SEA.SCR", "Sea"), ENTRY_NAME_BAD_EXTENSION);
    EXPECT_STREQ(path, "C:\\WINDOWS\\");

    // Appended to a path, the whole must fit PATH_SIZE.
    std::string stem(PATH_SIZE - 5 - 11, 's');
    EXPECT_EQ(AppendEntryName(path, 1, 15, mid, "SEA.SCR", stem.c_str()), ENTRY_NAME_MADE);
    EXPECT_EQ(strlen(path), std::size_t(PATH_SIZE - 1));
    path[11] = '\0';
    stem += 's';
    EXPECT_EQ(AppendEntryName(path, 1, 15, mid, "SEA.SCR", stem.c_str()), ENTRY_NAME_TOO_LONG);
    EXPECT_LT(strlen(path), std::size_t(PATH_SIZE));
}

}  // namespace
