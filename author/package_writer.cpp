// Lays a package out behind a host executable's "LASTRES" data, in the
// package contract's bytes.
#include "author/package_writer.h"

#include "author/pe_layout.h"
#include "package/layout.h"

#include <algorithm>

namespace author {

std::vector<std::uint8_t> WritePackage(std::span<const std::uint8_t> host, const PackageContents& contents) {
    return WritePackage(CheckedHost({host.begin(), host.end()}), contents);
}

std::vector<std::uint8_t> WritePackage(const CheckedHost& checked, const PackageContents& contents) {
    std::span<const std::uint8_t> host = checked.Image();
    const HostLayout& layout = checked.Layout();
    if (contents.title.size() > TITLE_SIZE)
        throw PackageError("title is " + std::to_string(contents.title.size()) + " bytes; at most " +
                           std::to_string(TITLE_SIZE) + " fit");

    std::uint64_t dataStart = PackageDataStart(layout.packageStart, contents.entries.size());
    std::uint64_t offset = dataStart;
    for (std::size_t i = 0; i < contents.entries.size(); i++) {
        const PackageEntry& e = contents.entries[i];
        std::string which = "entry " + std::to_string(i);
        if (e.data.empty()) throw PackageError(which + " is empty (a stored size of 0 would end the table)");
        if (e.data.size() >= PACKAGE_LIMIT || e.expandedSize >= PACKAGE_LIMIT)
            throw PackageError(which + " is 2^31 bytes or more");
        offset += e.data.size();
        if (offset >= PACKAGE_LIMIT) throw PackageError(which + ": package data would reach 2^31 bytes");
    }

    std::vector<std::uint8_t> out(host.begin(), host.begin() + layout.packageStart);
    out.reserve(offset);
    PackageHeader header{};
    std::copy(contents.title.begin(), contents.title.end(), header.title);
    header.firstFileNumber = contents.firstFileNumber;
    std::uint8_t raw[PACKAGE_HEADER_SIZE];
    EncodeHeader(&header, raw);
    out.insert(out.end(), raw, raw + PACKAGE_HEADER_SIZE);

    std::uint64_t dataOffset = dataStart;
    for (const PackageEntry& e : contents.entries) {
        EntryRecord record{};
        record.dataOffset = std::uint32_t(dataOffset);
        record.storedSize = std::uint32_t(e.data.size());
        record.expandedSize = e.expandedSize;
        std::copy(e.extension.begin(), e.extension.end(), record.extension);
        EncodeRecord(&record, raw);
        out.insert(out.end(), raw, raw + ENTRY_RECORD_SIZE);
        dataOffset += e.data.size();
    }
    out.insert(out.end(), ENTRY_RECORD_SIZE, 0);
    for (const PackageEntry& e : contents.entries) out.insert(out.end(), e.data.begin(), e.data.end());
    // A small package would end the file inside the section, which the
    // loader refuses; the installer reads nothing behind the last entry.
    if (out.size() < layout.sectionEnd) out.resize(layout.sectionEnd, 0);
    return out;
}

}  // namespace author
