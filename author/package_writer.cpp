// Lays a package out behind a host executable's "LASTRES" data.
#include "author/package_writer.h"

#include "author/pe_layout.h"

namespace author {
namespace {

constexpr std::uint64_t kLimit = 0x80000000ull;  // offsets and sizes go to signed 32-bit seeks
constexpr std::size_t kTitleSize = 32;
constexpr std::size_t kHeaderSize = 34;
constexpr std::size_t kRecordSize = 16;

void PutU16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(std::uint8_t(v));
    out.push_back(std::uint8_t(v >> 8));
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; i++) out.push_back(std::uint8_t(v >> (8 * i)));
}

}  // namespace

std::vector<std::uint8_t> WritePackage(std::span<const std::uint8_t> host, const PackageContents& contents) {
    HostLayout layout = CheckHost(host);
    if (contents.title.size() > kTitleSize)
        throw PackageError("title is " + std::to_string(contents.title.size()) + " bytes; at most 32 fit");

    std::uint64_t dataStart =
        std::uint64_t(layout.packageStart) + kHeaderSize + kRecordSize * (contents.entries.size() + 1);
    std::uint64_t offset = dataStart;
    for (std::size_t i = 0; i < contents.entries.size(); i++) {
        const PackageEntry& e = contents.entries[i];
        std::string which = "entry " + std::to_string(i);
        if (e.data.empty()) throw PackageError(which + " is empty (a stored size of 0 would end the table)");
        if (e.data.size() >= kLimit || e.expandedSize >= kLimit)
            throw PackageError(which + " is 2^31 bytes or more");
        offset += e.data.size();
        if (offset >= kLimit) throw PackageError(which + ": package data would reach 2^31 bytes");
    }

    std::vector<std::uint8_t> out(host.begin(), host.begin() + layout.packageStart);
    out.reserve(offset);
    std::string title = contents.title;
    title.resize(kTitleSize, '\0');
    out.insert(out.end(), title.begin(), title.end());
    PutU16(out, contents.firstFileNumber);

    std::uint64_t dataOffset = dataStart;
    for (const PackageEntry& e : contents.entries) {
        PutU32(out, std::uint32_t(dataOffset));
        PutU32(out, std::uint32_t(e.data.size()));
        PutU32(out, e.expandedSize);
        out.insert(out.end(), e.extension.begin(), e.extension.end());
        dataOffset += e.data.size();
    }
    out.insert(out.end(), kRecordSize, 0);
    for (const PackageEntry& e : contents.entries) out.insert(out.end(), e.data.begin(), e.data.end());
    // A small package would end the file inside the section, which the
    // loader refuses; the installer reads nothing behind the last entry.
    if (out.size() < layout.sectionEnd) out.resize(layout.sectionEnd, 0);
    return out;
}

}  // namespace author
