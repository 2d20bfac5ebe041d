// Reading an installer by the package contract, with the standard library's
// file streams.
#include "author/saverpack/installer_reader.h"

#include "author/saverpack/files.h"
#include "author/saverpack/installed_names.h"
#include "compress/expansion.h"

#include <algorithm>
#include <array>
#include <memory>

namespace saverpack {
namespace {

// The installer file, read at offsets: a regular file, or a ReadError that
// names what it is instead.
class InstallerFile {
public:
    explicit InstallerFile(const std::filesystem::path& path) : file_(Open(path)) {}

    std::uint64_t Size() const { return file_->Size(); }

    // The bytes at `at`: count of them, or fewer where the file ends.
    std::uint32_t ReadAt(std::uint64_t at, void* buffer, std::uint32_t count) {
        return file_->ReadAt(at, buffer, count);
    }

    // LocatePackage's reads.
    static int ReadWhole(void* file, std::uint32_t at, unsigned char* buffer, std::uint32_t count) {
        return static_cast<InstallerFile*>(file)->ReadAt(at, buffer, count) == count;
    }

private:
    static std::unique_ptr<InputFile> Open(const std::filesystem::path& path) {
        try {
            return std::make_unique<InputFile>(path, "installer");
        } catch (const Refusal& e) {
            throw ReadError(e.what());
        }
    }

    std::unique_ptr<InputFile> file_;
};

// The table a signer appends: after the last byte of the package and at
// most 7 zero bytes, at a multiple of 8, up to the end of the file, of
// well-formed entries. Throws LayoutError for anything else.
void CheckCertificatePlace(InstallerFile& file, const InstallerView& view, std::uint64_t sectionEnd) {
    const author::CertificateTable& table = *view.certificate;
    const std::uint64_t end = ContentEnd(view, sectionEnd), tableEnd = std::uint64_t(table.offset) + table.size;
    const std::string where = "the certificate table (" + std::to_string(table.size) + " bytes at " +
                              std::to_string(table.offset) + ")";
    if (table.offset < end)
        throw author::LayoutError(where + " begins before the end of the package (" + std::to_string(end) +
                                  "): a signer appends it behind the last entry's data");
    std::uint64_t gap = table.offset - end;
    std::array<std::uint8_t, author::kCertificateAlignment> padding{};
    if (gap >= padding.size() || file.ReadAt(end, padding.data(), std::uint32_t(gap)) != gap ||
        !std::all_of(padding.begin(), padding.begin() + gap, [](std::uint8_t b) { return b == 0; }))
        throw author::LayoutError(std::to_string(gap) + " bytes lie between the last entry's data and the "
                                  "certificate table; a signer pads with at most 7 zero bytes");
    if (table.offset % author::kCertificateAlignment != 0)
        throw author::LayoutError(where + " does not begin at a multiple of 8, where a signer puts it");
    if (tableEnd != view.fileSize)
        throw author::LayoutError(std::to_string(view.fileSize - tableEnd) + " bytes follow the certificate table");
    std::vector<std::uint8_t> bytes(table.size);
    if (file.ReadAt(table.offset, bytes.data(), table.size) != table.size)
        throw author::LayoutError("cannot read " + where);
    author::CheckCertificateEntries(bytes);
}

// The security directory, read from the file's first bytes, and where the
// table it describes lies.
void ReadCertificate(InstallerFile& file, InstallerView& view) {
    constexpr std::uint32_t kHeaders = 65536;
    std::vector<std::uint8_t> headers(std::size_t(std::min<std::uint64_t>(view.fileSize, kHeaders)));
    headers.resize(file.ReadAt(0, headers.data(), std::uint32_t(headers.size())));
    try {
        const author::PeImage image = author::ReadPeImage(headers);
        view.certificate = image.Certificate(view.fileSize);
        const author::PeSection& rsrc = image.ResourceSection();
        if (view.certificate) CheckCertificatePlace(file, view, std::uint64_t(rsrc.rawOffset) + rsrc.rawSize);
    } catch (const author::LayoutError& e) {
        view.certificateProblem = std::string("damaged or tampered signature: ") + e.what();
    }
}

}  // namespace

std::uint64_t ContentEnd(const InstallerView& view, std::uint64_t sectionEnd) {
    std::uint64_t end = std::max(sectionEnd, PackageDataStart(view.packageStart, view.entries.size()));
    for (const Record& r : view.entries)
        if (DataEnd(r) <= view.fileSize) end = std::max(end, DataEnd(r));
    return end;
}

std::string SignedNote(const author::CertificateTable& table) {
    return "signed: certificate table of " + std::to_string(table.size) + " bytes";
}

std::string CertificateOverlap(const InstallerView& view, const Record& r) {
    if (!view.certificate || DataEnd(r) <= view.certificate->offset ||
        r.dataOffset >= std::uint64_t(view.certificate->offset) + view.certificate->size)
        return "";
    return "its data (" + std::to_string(r.storedSize) + " bytes at " + std::to_string(r.dataOffset) +
           ") reaches into the certificate table (" + std::to_string(view.certificate->size) + " bytes at " +
           std::to_string(view.certificate->offset) + ")";
}

std::vector<std::string> OverlapWarnings(const InstallerView& view) {
    const std::vector<Record>& entries = view.entries;
    std::vector<std::size_t> order(entries.size());
    for (std::size_t i = 0; i < order.size(); i++) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return entries[a].dataOffset < entries[b].dataOffset; });
    std::vector<std::string> warnings;
    std::optional<std::size_t> furthest;  // of the entries so far in file order, the one whose data reaches furthest
    for (std::size_t k : order) {
        const Record& r = entries[k];
        if (furthest && r.dataOffset < DataEnd(entries[*furthest])) {
            auto [a, b] = std::minmax(*furthest, k);
            const Record &first = entries[a], &second = entries[b];
            std::string which = "warning: entries " + std::to_string(a) + " and " + std::to_string(b);
            if (first.dataOffset == second.dataOffset && first.storedSize == second.storedSize)
                warnings.push_back(which + " share their stored data (" + std::to_string(r.storedSize) +
                                   " bytes at " + std::to_string(r.dataOffset) + "), which pack never writes");
            else
                warnings.push_back(which + ": their stored data overlap (from byte " +
                                   std::to_string(std::max(first.dataOffset, second.dataOffset)) + " to " +
                                   std::to_string(std::min(DataEnd(first), DataEnd(second))) +
                                   "), which pack never writes");
        }
        if (!furthest || DataEnd(r) > DataEnd(entries[*furthest])) furthest = k;
    }
    return warnings;
}

void ReportLines(std::ostream& out, const std::string& prefix, const std::vector<std::string>& lines,
                 std::size_t shown) {
    for (std::size_t i = 0; i < lines.size() && i < shown; i++) out << prefix << lines[i] << "\n";
    if (lines.size() > shown) out << prefix << "... " << lines.size() - shown << " more\n";
}

EntryStream StreamEntry(const InstallerView& view, const Record& record, const codec::BlockSink& sink) {
    if (record.dataOffset >= PACKAGE_LIMIT)
        throw ReadError("data offset " + std::to_string(record.dataOffset) + " cannot be reached");
    InstallerFile file(view.path);
    std::uint64_t at = record.dataOffset;
    auto source = [&](std::uint8_t* buffer, std::uint32_t count) {
        std::uint32_t got = file.ReadAt(at, buffer, count);
        at += got;
        return got;
    };
    EntryStream result;
    if (record.Compressed()) {
        codec::StreamExpansion e = codec::ExpandStreaming(source, record.storedSize, record.expandedSize, sink);
        result.ranOut = e.ranOut;
        result.cutShort = e.sourceShort;
        result.stopped = e.stopped;
        return result;
    }
    std::array<std::uint8_t, 65536> block;
    for (std::uint32_t left = record.storedSize; left > 0;) {
        std::uint32_t want = std::uint32_t(std::min<std::size_t>(left, block.size()));
        std::uint32_t got = source(block.data(), want);
        if (got > 0 && !sink(std::span<const std::uint8_t>(block.data(), got))) {
            result.stopped = true;
            break;
        }
        if (got < want) {
            result.cutShort = true;
            break;
        }
        left -= got;
    }
    return result;
}

std::string InstallerView::Title() const { return titleField.substr(0, titleField.find('\0')); }

std::string InstallerView::FileName() const { return FileNameOf(PathToUtf8(path.filename())); }

InstallerView ReadInstaller(const std::filesystem::path& path) {
    InstallerView view;
    view.path = path;
    InstallerFile file(path);
    std::uint32_t start = 0;
    if (!LocatePackage(InstallerFile::ReadWhole, &file, &start))
        throw ReadError(Quoted(path) +
                        " holds no package: the installer finds no \".rsrc\" section in it, or its headers are cut short");
    view.packageStart = start;
    view.fileSize = file.Size();

    unsigned char header[PACKAGE_HEADER_SIZE];
    std::uint32_t got = file.ReadAt(start, header, PACKAGE_HEADER_SIZE);
    view.titleField.assign(reinterpret_cast<const char*>(header), std::min<std::uint32_t>(got, TITLE_SIZE));
    view.headerComplete = got == PACKAGE_HEADER_SIZE;
    if (!view.headerComplete) {
        ReadCertificate(file, view);
        return view;
    }
    PackageHeader decoded;
    DecodeHeader(header, &decoded);
    view.firstFileNumber = decoded.firstFileNumber;

    TableWalk walk;
    StartTableWalk(&walk);
    for (std::uint64_t at = std::uint64_t(start) + PACKAGE_HEADER_SIZE;; at += ENTRY_RECORD_SIZE) {
        unsigned char raw[ENTRY_RECORD_SIZE];
        Record r;
        r.at = at;
        TableStep step = StepTable(&walk, raw, file.ReadAt(at, raw, ENTRY_RECORD_SIZE), &r);
        if (step == TABLE_CUT_SHORT) break;
        if (step == TABLE_END) {
            view.terminated = true;
            view.terminator = r;
            break;
        }
        view.entries.push_back(r);
    }
    view.installSize = walk.installSize;
    ReadCertificate(file, view);
    return view;
}

Expansion ExpandEntryData(const std::vector<std::uint8_t>& stored, std::uint32_t expandedSize) {
    Expansion result;
    result.bytes.resize(expandedSize);
    std::uint64_t bits =
        codec::ExpandMemory(stored.data(), std::uint32_t(stored.size()), result.bytes.data(), expandedSize);
    result.ranOut = bits > 8ull * stored.size();
    return result;
}

std::optional<InstallerView> ReadInstallerForCommand(const std::filesystem::path& path, std::ostream& err) {
    try {
        InstallerView view = ReadInstaller(path);
        if (view.headerComplete) return view;
        err << "saverpack: " << PathToUtf8(path) << ": the file ends inside the package header\n";
    } catch (const ReadError& e) {
        err << "saverpack: " << e.what() << "\n";
    }
    return std::nullopt;
}

}  // namespace saverpack
