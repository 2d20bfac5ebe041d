// The host layout checker and post-link step on the win32 build's probe: a
// real linked executable, with the resources the linker lays out (these
// tests carry the label "pe" and are skipped without the win32 build).
#include "author/pe_layout.h"
#include "support/bytes.h"
#include "support/paths.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

const std::string kProbe = Win32Built("package-probe.exe");
const std::string kInstaller = Win32Built("installer.exe");

struct Rsrc {
    std::size_t header;  // file offset of the section header
    std::uint32_t va, raw, rawSize;
};

Rsrc FindRsrc(const Bytes& b) {
    std::size_t at = testhost::SectionHeader(b, ".rsrc");
    if (!at) throw std::runtime_error("no .rsrc");
    return {at, Get32(b, at + 12), Get32(b, at + 20), Get32(b, at + 16)};
}

// File offset of the 16-byte data entry that describes the package marker.
std::size_t MarkerEntry(const Bytes& b) {
    Rsrc r = FindRsrc(b);
    std::uint32_t rva = author::CheckHost(b).packageStart - r.raw + r.va;
    for (std::size_t at = r.raw; at + 8 <= r.raw + r.rawSize; at += 4)
        if (Get32(b, at) == rva && Get32(b, at + 4) == 4) return at;
    throw std::runtime_error("marker entry not found");
}

void ExpectRefused(const Bytes& image, const std::string& fragment, author::Trailing t = author::Trailing::Forbidden) {
    try {
        author::CheckHost(image, t);
        ADD_FAILURE() << "accepted; expected: " << fragment;
    } catch (const author::LayoutError& e) {
        EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
}

TEST(HostLayout, BuiltExecutablesHaveEveryProperty) {
    REQUIRE_WIN32_BUILT(kProbe);
    Bytes probe = author::ReadFileBytes(kProbe);
    author::HostLayout layout = author::CheckHost(probe);
    Rsrc r = FindRsrc(probe);
    EXPECT_EQ(layout.sectionEnd, probe.size());
    EXPECT_GT(layout.packageStart, r.raw);
    EXPECT_LT(layout.packageStart, layout.sectionEnd);
}

TEST(HostLayout, EachBrokenPropertyIsNamed) {
    REQUIRE_WIN32_BUILT(kProbe);
    const Bytes good = author::ReadFileBytes(kProbe);
    std::uint32_t pe = Get32(good, 60);

    Bytes b = good;
    b.push_back(0);
    ExpectRefused(b, "bytes follow");
    EXPECT_NO_THROW(author::CheckHost(b, author::Trailing::Allowed));

    b = good;
    Put32(b, pe + 24 + 64, 0x1234);
    ExpectRefused(b, "checksum");

    b = good;
    b[pe + 24] = 0x0B;
    b[pe + 25] = 0x02;  // PE32+ magic
    ExpectRefused(b, "PE32");

    b = good;
    b[pe + 20] = 240;
    ExpectRefused(b, "224");

    b = good;
    b[0] = 'X';
    ExpectRefused(b, "MZ");

    b = good;
    Rsrc r = FindRsrc(b);
    Put32(b, r.header - 40 + 20, r.raw + 16);  // the section before now has raw data behind ".rsrc"'s start
    ExpectRefused(b, "last section");

    b = good;
    Put32(b, MarkerEntry(b) + 4, 8);
    ExpectRefused(b, "4 bytes");

    b = good;
    Put32(b, MarkerEntry(b), r.va + 0x100);
    ExpectRefused(b, "last resource data");

    b = good;
    for (std::size_t at = r.raw; at + 14 < r.raw + r.rawSize; at++) {
        if (memcmp(&b[at], "L\0A\0S\0T\0R\0E\0S\0", 14) == 0) {
            b[at + 12] = 'Z';
            break;
        }
    }
    ExpectRefused(b, "LASTRES");

    b = good;
    b.resize(r.raw + 8);
    ExpectRefused(b, "");
}

TEST(HostLayout, FixMovesTheMarkerLastAndKeepsOtherResources) {
    REQUIRE_WIN32_BUILT(kProbe);
    Bytes b = author::ReadFileBytes(kProbe);
    Rsrc r = FindRsrc(b);
    std::size_t marker = MarkerEntry(b);
    std::uint32_t first = 0xFFFFFFFFu;
    for (std::size_t at = r.raw; at + 16 <= r.raw + r.rawSize; at += 4) {
        std::uint32_t rva = Get32(b, at), size = Get32(b, at + 4);
        if (at != marker && rva >= r.va && rva < r.va + r.rawSize && size > 4 && size < 0x10000 &&
            Get32(b, at + 12) == 0)
            first = std::min(first, rva);
    }
    ASSERT_NE(first, 0xFFFFFFFFu);
    // As the linker lays it out: the marker's data first, at the lowest address.
    Put32(b, marker, first - 8);
    Put32(b, FindRsrc(b).header - r.header + r.header, Get32(b, r.header));  // unchanged header
    std::uint32_t pe = Get32(b, 60);
    Put32(b, pe + 24 + 64, 0xBEEF);
    EXPECT_THROW(author::CheckHost(b), author::LayoutError);

    Bytes fixed = b;
    author::FixHost(fixed);
    author::HostLayout layout = author::CheckHost(fixed);
    EXPECT_EQ(Get32(fixed, pe + 24 + 64), 0u);
    EXPECT_EQ(fixed.size(), b.size());
    EXPECT_EQ(0, memcmp(&fixed[layout.packageStart], &b[first - 8 - r.va + r.raw], 4))
        << "the marker's 4 bytes move with it";

    Bytes again = fixed;
    author::FixHost(again);
    EXPECT_EQ(again, fixed) << "fixing a fixed host changes nothing";
}

// The installer has no section called ".data", after which GNU ld leaves
// BaseOfData 0; the post-link step gives it the first section that is not
// code, with the manifest among the resources and every property kept.
TEST(HostLayout, TheInstallerGetsItsBaseOfDataAndKeepsEveryProperty) {
    REQUIRE_WIN32_BUILT(kInstaller);
    Bytes b = author::ReadFileBytes(kInstaller);
    author::CheckHost(b);
    std::uint32_t pe = Get32(b, 60);
    unsigned count = Get16(b, pe + 6);
    std::uint32_t firstData = 0;
    for (unsigned i = 0; i < count && !firstData; i++) {
        std::size_t at = pe + 248 + 40 * i;
        if (!(Get32(b, at + 36) & 0x20)) firstData = Get32(b, at + 12);
    }
    ASSERT_NE(firstData, 0u);
    EXPECT_EQ(Get32(b, pe + 24 + 24), firstData);

    Put32(b, pe + 24 + 24, 0);
    author::FixHost(b);
    EXPECT_EQ(Get32(b, pe + 24 + 24), firstData);
    author::CheckHost(b);
}

}  // namespace

namespace {

// A host as the linker lays it out: the PE headers at 0x80 and the section
// table spilling past the first 512-byte block, so the headers take two.
Bytes LinkerShapedHost(unsigned sectionsBefore) {
    testhost::HostShape shape;
    shape.sectionsBefore.clear();
    for (unsigned i = 0; i < sectionsBefore; i++) shape.sectionsBefore.push_back(".s" + std::to_string(i));
    Bytes small = testhost::MakeHost(shape);
    const std::size_t headersEnd = 0x80 + 248 + 40 * (sectionsBefore + 1);
    const std::uint32_t rsrc = testhost::ResourceRawOffset(shape);
    Bytes b(small.begin(), small.begin() + headersEnd);
    b.resize(0x400, 0);
    for (std::size_t at = 0x200; at < rsrc; at++) b.push_back(std::uint8_t(at * 7 + 1) | 1);  // recognisable section bytes
    b.insert(b.end(), small.begin() + rsrc, small.end());
    std::uint32_t opt = 0x80 + 24;
    Put32(b, opt + 36, 0x200);  // FileAlignment
    Put32(b, opt + 60, 0x400);  // SizeOfHeaders
    for (unsigned i = 0; i <= sectionsBefore; i++) Put32(b, opt + 224 + 40 * i + 20, Get32(b, opt + 224 + 40 * i + 20) + 0x200);
    return b;
}

TEST(HostLayout, HeadersAreCompactedOneBlockWhenTheyFit) {
    Bytes linked = LinkerShapedHost(3);  // four sections: 0x80 + 248 + 160 = 536 bytes of headers
    author::HostLayout before = author::CheckHost(linked);

    Bytes fixed = linked;
    author::FixHost(fixed);
    ASSERT_EQ(fixed.size(), linked.size() - 0x200);
    std::uint32_t pe = Get32(fixed, 60);
    EXPECT_LT(pe, 0x80u);
    EXPECT_EQ(pe % 8, 0u);
    EXPECT_EQ(Get32(fixed, pe + 24 + 60), 0x200u) << "SizeOfHeaders";
    EXPECT_EQ(0, memcmp(&fixed[pe], &linked[0x80], 24 + 24)) << "PE signature, file header and the optional header up to BaseOfData kept";
    for (unsigned i = 0; i < 4; i++) {
        std::uint32_t from = Get32(linked, 0x80 + 248 + 40 * i + 20), to = Get32(fixed, pe + 248 + 40 * i + 20);
        EXPECT_EQ(to, from - 0x200) << "section " << i;
        EXPECT_EQ(0, memcmp(&fixed[to], &linked[from], 0x200)) << "section " << i << "'s raw data moved whole";
        EXPECT_EQ(Get32(fixed, pe + 248 + 40 * i + 12), Get32(linked, 0x80 + 248 + 40 * i + 12)) << "address kept";
    }
    author::HostLayout after = author::CheckHost(fixed);
    EXPECT_EQ(after.packageStart, before.packageStart - 0x200);
    std::string stub(fixed.begin() + 64, fixed.begin() + pe);
    EXPECT_NE(stub.find("Windows"), std::string::npos) << "a DOS stub that says what the program needs";

    Bytes again = fixed;
    author::FixHost(again);
    EXPECT_EQ(again, fixed) << "fixing a fixed host changes nothing";
}

TEST(HostLayout, HeadersStayWhereCompactingGainsNothingOrFileOffsetsWouldGoStale) {
    Bytes many = LinkerShapedHost(6);  // seven sections: 0x60 + 248 + 280 > 512
    Bytes fixed = many;
    author::CompactHeaders(fixed);
    EXPECT_EQ(fixed, many);

    Bytes signedHost = LinkerShapedHost(3);
    std::uint32_t opt = Get32(signedHost, 60) + 24;
    Put32(signedHost, opt + 96 + 8 * 4, 0x1000);  // a certificate table, addressed by file offset
    Put32(signedHost, opt + 96 + 8 * 4 + 4, 8);
    fixed = signedHost;
    author::CompactHeaders(fixed);
    EXPECT_EQ(fixed, signedHost);

    Bytes filled = LinkerShapedHost(3);
    filled[0x300] = 1;  // something behind the section table in the header blocks
    fixed = filled;
    author::CompactHeaders(fixed);
    EXPECT_EQ(fixed, filled);
}

}  // namespace

#include "author/imports.h"

namespace {

// A host whose ".idata" (two blocks of raw data) holds imports of two DLLs
// as the installer's linker script lays them out: descriptors, address
// tables, names, and the lookup tables last, from the second block on.
struct ImportHost {
    Bytes image;
    std::uint32_t optional = testhost::kPeOffset + 24;
    std::size_t idataHeader = optional + 224 + 40, rsrcHeader = optional + 224 + 80;
    std::uint32_t idataRaw = 0x400;
};

ImportHost MakeImportHost(std::uint32_t lookupAt = 0x200) {
    testhost::HostShape shape;
    shape.sectionsBefore = {".text", ".idata"};
    ImportHost h;
    h.image = testhost::MakeHost(shape);
    Bytes& b = h.image;
    b.insert(b.begin() + 0x600, 0x200, 0);  // .idata's second block
    Put32(b, h.idataHeader + 16, 0x400);
    Put32(b, h.rsrcHeader + 20, 0x800);
    const std::uint32_t va = 0x2000;
    auto at = [&](std::uint32_t rva) { return h.idataRaw + (rva - va); };
    auto text = [&](std::uint32_t rva, const std::string& s) { std::memcpy(&b[at(rva)], s.c_str(), s.size() + 1); };
    // Two DLLs: (hint/name, hint/name) and (hint/name, ordinal 7).
    const std::uint32_t names[2] = {va + 0x80, va + 0xA0};
    const std::uint32_t entries[2][3] = {{va + 0xC0, va + 0xD0, 0}, {va + 0xE0, 0x80000007u, 0}};
    text(names[0], "KERNEL32.dll");
    text(names[1], "USER32.dll");
    text(va + 0xC2, "CreateFileA");
    text(va + 0xD2, "CloseHandle");
    text(va + 0xE2, "MessageBoxA");
    std::uint32_t lookup = va + lookupAt;
    for (int d = 0; d < 2; d++) {
        const std::uint32_t addresses = va + 0x40 + 0x10 * d;
        Put32(b, at(va + 20 * d), lookup);
        Put32(b, at(va + 20 * d + 12), names[d]);
        Put32(b, at(va + 20 * d + 16), addresses);
        for (int e = 0; e < 3; e++) {
            Put32(b, at(addresses + 4 * e), entries[d][e]);
            Put32(b, at(lookup + 4 * e), entries[d][e]);
        }
        lookup += 12;
    }
    Put32(b, h.idataHeader + 8, lookup - va);  // VirtualSize: the lookup tables end the section
    Put32(b, h.optional + 96 + 8, va);         // import directory
    Put32(b, h.optional + 96 + 8 + 4, lookup - va);
    Put32(b, h.optional + 8, 0x600);           // SizeOfInitializedData
    Put32(b, h.optional + 36, 0x200);          // FileAlignment
    author::CheckHost(b);
    return h;
}

TEST(HostLayout, ImportLookupTablesAreLeftOutWhenTheyEndTheirSection) {
    ImportHost h = MakeImportHost();
    const Bytes before = h.image;
    const auto imports = author::ReadImports(before);
    ASSERT_EQ(imports.size(), 4u);

    author::DropImportNameTable(h.image);
    const Bytes& b = h.image;
    ASSERT_EQ(b.size(), before.size() - 0x200);
    EXPECT_EQ(Get32(b, h.idataHeader + 16), 0x200u) << "raw data cut to the block before the lookup tables";
    EXPECT_EQ(Get32(b, h.idataHeader + 8), Get32(before, h.idataHeader + 8)) << "memory layout unchanged";
    EXPECT_EQ(Get32(b, h.rsrcHeader + 20), 0x600u) << ".rsrc moved down with the file";
    EXPECT_EQ(Get32(b, h.optional + 8), 0x400u) << "SizeOfInitializedData";
    for (int d = 0; d < 2; d++) {
        EXPECT_EQ(Get32(b, h.idataRaw + 20 * d), 0u) << "descriptor " << d << " sends the loader to its address table";
        EXPECT_EQ(Get32(b, h.idataRaw + 20 * d + 16), Get32(before, h.idataRaw + 20 * d + 16));
    }
    EXPECT_EQ(Get32(b, h.optional + 96 + 12), 60u) << "import directory: two descriptors and the terminator";
    EXPECT_EQ(0, memcmp(&b[h.idataRaw + 60], &before[h.idataRaw + 60], 0x200 - 60)) << "tables and names kept";
    EXPECT_EQ(0, memcmp(&b[0x600], &before[0x800], before.size() - 0x800)) << ".rsrc moved whole";

    const auto after = author::ReadImports(b);
    ASSERT_EQ(after.size(), imports.size());
    for (std::size_t i = 0; i < after.size(); i++) {
        EXPECT_EQ(after[i].dll, imports[i].dll);
        EXPECT_EQ(after[i].function, imports[i].function);
    }
    EXPECT_EQ(author::CheckHost(b).packageStart, author::CheckHost(before).packageStart - 0x200);

    Bytes again = b;
    author::DropImportNameTable(again);
    EXPECT_EQ(again, b) << "nothing more to leave out";
}

TEST(HostLayout, ImportLookupTablesStayWhereTheLoaderMayNeedThemOrNothingIsGained) {
    auto unchanged = [](Bytes image, const char* why) {
        Bytes dropped = image;
        author::DropImportNameTable(dropped);
        EXPECT_EQ(dropped, image) << why;
    };
    unchanged(MakeImportHost(0x210).image, "other data in the second block: no block to gain");

    ImportHost notLast = MakeImportHost();
    Put32(notLast.image, notLast.idataHeader + 8, Get32(notLast.image, notLast.idataHeader + 8) + 16);
    unchanged(notLast.image, "something follows the lookup tables");

    ImportHost differs = MakeImportHost();
    Put32(differs.image, differs.idataRaw + 0x200 + 4, 0x2000 + 0xE0);
    unchanged(differs.image, "a lookup table that is not a copy of its address table");

    ImportHost bound = MakeImportHost();
    Put32(bound.image, bound.optional + 96 + 8 * 11 + 4, 0x40);
    unchanged(bound.image, "bound imports: the address tables hold addresses");

    ImportHost stamped = MakeImportHost();
    Put32(stamped.image, stamped.idataRaw + 4, 0xFFFFFFFFu);
    unchanged(stamped.image, "a descriptor marked as bound");

    ImportHost signedHost = MakeImportHost();
    Put32(signedHost.image, signedHost.optional + 96 + 8 * 4, 0x800);
    Put32(signedHost.image, signedHost.optional + 96 + 8 * 4 + 4, 8);
    unchanged(signedHost.image, "a certificate table, addressed by file offset");
}

}  // namespace
