// Reading an installer through the installer's own package code.
#include "author/saverpack/installer_reader.h"

#include "author/saverpack/files.h"
#include "author/saverpack/installed_names.h"
#include "compress/compress.h"
#include "package/package.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#endif

namespace saverpack {
namespace {

// Owns a handle from the package code.
class Handle {
public:
    explicit Handle(HFILE h) : h_(h) {}
    ~Handle() {
        if (h_ != HFILE_ERROR) _lclose(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HFILE get() const { return h_; }

private:
    HFILE h_;
};

HFILE OpenOrThrow(const InstallerView& view) {
    HFILE h = OpenPackageFile(PackageCodePath(view.path).c_str());
    if (h != HFILE_ERROR) return h;
    if (PackageFailureReason() == PACKAGE_UNREADABLE) throw ReadError("cannot open " + Quoted(view.path));
    throw ReadError(Quoted(view.path) +
                    " holds no package: the installer finds no \".rsrc\" section in it, or its headers are cut short");
}

Record Convert(const EntryRecord& r, std::uint64_t at) {
    Record out;
    out.at = at;
    out.dataOffset = r.dataOffset;
    out.storedSize = r.storedSize;
    out.expandedSize = r.expandedSize;
    std::memcpy(out.extension, r.extension, sizeof out.extension);
    return out;
}

// The security directory, read from the file's first bytes.
void ReadCertificate(InstallerView& view) {
    constexpr std::size_t kHeaders = 65536;
    std::ifstream in(view.path, std::ios::binary);
    std::vector<std::uint8_t> headers(std::size_t(std::min<std::uint64_t>(view.fileSize, kHeaders)));
    in.read(reinterpret_cast<char*>(headers.data()), std::streamsize(headers.size()));
    if (!in) return;
    try {
        view.certificate = author::FindCertificateTable(headers, view.fileSize);
    } catch (const author::LayoutError& e) {
        view.certificateProblem = e.what();
    }
}

// Checks that the installer file opened and puts it at offset.
void StandAt(const InstallerView& view, std::uint32_t offset, Handle& file) {
    if (file.get() == HFILE_ERROR) throw ReadError("cannot open " + Quoted(view.path));
    if (offset > 0x7FFFFFFFu || _llseek(file.get(), LONG(offset), FILE_BEGIN) != LONG(offset))
        throw ReadError("data offset " + std::to_string(offset) + " cannot be reached");
}

}  // namespace

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

EntryStream StreamEntry(const InstallerView& view, const Record& record, const codec::BlockSink& sink) {
    Handle file(_lopen(PackageCodePath(view.path).c_str(), OF_READ | OF_SHARE_DENY_NONE));
    StandAt(view, record.dataOffset, file);
    EntryStream result;
    if (record.Compressed()) {
        codec::StreamExpansion e = codec::ExpandFromFile(file.get(), record.storedSize, record.expandedSize, sink);
        result.ranOut = e.ranOut;
        result.cutShort = e.sourceShort;
        result.stopped = e.stopped;
        return result;
    }
    std::array<std::uint8_t, 65536> block;
    for (std::uint32_t left = record.storedSize; left > 0;) {
        UINT want = UINT(std::min<std::size_t>(left, block.size()));
        UINT got = _lread(file.get(), block.data(), want);
        if (got == UINT(HFILE_ERROR)) got = 0;
        if (got > 0 && !sink(std::span<const std::uint8_t>(block.data(), got))) {
            result.stopped = true;
            break;
        }
        if (got < want) {
            result.cutShort = true;
            break;
        }
        left -= std::uint32_t(got);
    }
    return result;
}

std::string PackageCodePath(const std::filesystem::path& path) {
#ifdef _WIN32
    std::wstring wide = std::filesystem::absolute(path).wstring();
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr, 0, nullptr, &lossy);
    std::string ansi(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, ansi.data(), n, nullptr, &lossy);
    if (n <= 0 || lossy) throw ReadError(Quoted(path) + ": the path cannot be spelled in the ANSI code page");
    ansi.resize(n - 1);
    return ansi;
#else
    return std::filesystem::absolute(path).string();
#endif
}

std::string InstallerView::Title() const { return titleField.substr(0, titleField.find('\0')); }

std::string InstallerView::FileName() const { return FileNameOf(PathToUtf8(path.filename())); }

InstallerView ReadInstaller(const std::filesystem::path& path) {
    InstallerView view;
    view.path = path;
    Handle package(OpenOrThrow(view));
    HFILE h = package.get();

    LONG start = _llseek(h, 0, FILE_CURRENT);
    LONG end = _llseek(h, 0, FILE_END);
    if (start < 0 || end < 0 || _llseek(h, start, FILE_BEGIN) != start)
        throw ReadError("cannot seek in " + Quoted(path));
    view.packageStart = std::uint32_t(start);
    view.fileSize = std::uint64_t(end);
    ReadCertificate(view);

    char title[TITLE_SIZE];
    UINT got = _lread(h, title, TITLE_SIZE);
    view.titleField.assign(title, got > TITLE_SIZE ? 0 : got);
    _llseek(h, start, FILE_BEGIN);
    view.headerComplete = got == TITLE_SIZE && ReadFirstFileNumber(h, &view.firstFileNumber);
    if (!view.headerComplete) return view;

    for (;;) {
        LONG at = _llseek(h, 0, FILE_CURRENT);
        EntryRecord record;
        if (!ReadEntryRecord(h, &record)) break;
        Record r = Convert(record, std::uint64_t(at));
        view.installSize += r.InstalledSize();
        if (r.storedSize == 0) {
            view.terminated = true;
            view.terminator = r;
            break;
        }
        view.entries.push_back(r);
    }
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
