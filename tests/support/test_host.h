// A host executable built in the test: the smallest PE32 image with the
// properties a package host needs (224-byte optional header, ".rsrc" the
// last section with nothing behind it, "LASTRES" 1000 1033 as the first and
// only resource, its 4 declared bytes last in the section, checksum 0), so
// that tests of the package code need no win32 build.
#ifndef TESTS_SUPPORT_TEST_HOST_H
#define TESTS_SUPPORT_TEST_HOST_H

#include "support/bytes.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace testhost {

struct HostShape {
    // Sections before ".rsrc", each with one 512-byte block of raw data.
    std::vector<std::string> sectionsBefore = {".text", ".data"};
};

// Offsets within the image that MakeHost lays out.
constexpr std::uint32_t kPeOffset = 0x80;
constexpr std::uint32_t kResourceVirtualAddress = 0x10000;
constexpr std::uint32_t kDataInSection = 0x68;  // the "LASTRES" data, from the section start

using testsupport::Put16;
using testsupport::Put32;

// File offset of the section header named exactly name (NUL-padded) in a
// PE image; 0 when there is none.
inline std::size_t SectionHeader(const std::vector<std::uint8_t>& image, std::string name) {
    name.resize(8, '\0');
    const std::uint32_t pe = testsupport::Get32(image, 60);
    const std::size_t table = pe + 24 + testsupport::Get16(image, pe + 20);
    for (std::size_t i = 0, at = table; i < testsupport::Get16(image, pe + 6); i++, at += 40)
        if (image.size() >= at + 8 && std::equal(name.begin(), name.end(), image.begin() + at)) return at;
    return 0;
}

// File offset of the ".rsrc" raw data in an image of this shape.
inline std::uint32_t ResourceRawOffset(const HostShape& shape = {}) {
    return 0x200 * std::uint32_t(1 + shape.sectionsBefore.size());
}

// File offset of the package in an image of this shape.
inline std::uint32_t PackageStartOf(const HostShape& shape = {}) {
    return ResourceRawOffset(shape) + kDataInSection;
}

inline std::vector<std::uint8_t> MakeHost(const HostShape& shape = {}) {
    const std::uint32_t sections = std::uint32_t(shape.sectionsBefore.size()) + 1;
    const std::uint32_t rsrcRaw = ResourceRawOffset(shape);
    std::vector<std::uint8_t> f(rsrcRaw + 0x200, 0);
    f[0] = 'M';
    f[1] = 'Z';
    Put32(f, 60, kPeOffset);
    Put32(f, kPeOffset, 0x00004550);          // "PE\0\0"
    Put16(f, kPeOffset + 4, 0x14C);           // i386
    Put16(f, kPeOffset + 6, sections);
    Put16(f, kPeOffset + 20, 224);            // SizeOfOptionalHeader
    Put16(f, kPeOffset + 22, 0x0102);         // executable, 32-bit
    const std::size_t optional = kPeOffset + 24;
    Put16(f, optional, 0x10B);                // PE32
    Put32(f, optional + 92, 16);              // NumberOfRvaAndSizes
    Put32(f, optional + 96 + 2 * 8, kResourceVirtualAddress);  // resource directory
    Put32(f, optional + 96 + 2 * 8 + 4, kDataInSection + 4);

    std::size_t header = optional + 224;
    auto section = [&](const std::string& name, std::uint32_t va, std::uint32_t raw, std::uint32_t size) {
        for (std::size_t i = 0; i < name.size() && i < 8; i++) f.at(header + i) = std::uint8_t(name[i]);
        Put32(f, header + 8, size);           // VirtualSize
        Put32(f, header + 12, va);
        Put32(f, header + 16, size);          // SizeOfRawData
        Put32(f, header + 20, raw);
        header += 40;
    };
    for (std::size_t i = 0; i < shape.sectionsBefore.size(); i++)
        section(shape.sectionsBefore[i], 0x1000 * std::uint32_t(i + 1), 0x200 * std::uint32_t(i + 1), 0x200);
    section(".rsrc", kResourceVirtualAddress, rsrcRaw, 0x200);

    // The resource tree: root -> type "LASTRES" -> id 1000 -> language 1033.
    const std::size_t r = rsrcRaw;
    Put16(f, r + 12, 1);                               // root: one named entry
    Put32(f, r + 16, 0x80000000u | 0x58);              //   its name string
    Put32(f, r + 20, 0x80000000u | 0x18);              //   its directory
    Put16(f, r + 0x18 + 14, 1);                        // type: one id
    Put32(f, r + 0x28, 1000);
    Put32(f, r + 0x2C, 0x80000000u | 0x30);
    Put16(f, r + 0x30 + 14, 1);                        // name: one language
    Put32(f, r + 0x40, 1033);
    Put32(f, r + 0x44, 0x48);                          //   its data entry
    Put32(f, r + 0x48, kResourceVirtualAddress + kDataInSection);
    Put32(f, r + 0x4C, 4);                             // declared size
    const std::u16string type = u"LASTRES";
    Put16(f, r + 0x58, std::uint32_t(type.size()));
    for (std::size_t i = 0; i < type.size(); i++) Put16(f, r + 0x5A + 2 * i, type[i]);
    return f;
}

}  // namespace testhost

#endif
