// Reading an installer through the installer's own package code.
#include "author/saverpack/installer_reader.h"

#include "author/saverpack/files.h"
#include "author/saverpack/installed_names.h"
#include "compress/compress.h"
#include "package/package.h"

#include <algorithm>
#include <cstring>

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

}  // namespace

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

std::vector<std::uint8_t> ReadEntryData(const InstallerView& view, const Record& record) {
    if (std::uint64_t(record.dataOffset) + record.storedSize > view.fileSize)
        throw ReadError("its data (" + std::to_string(record.storedSize) + " bytes at " +
                        std::to_string(record.dataOffset) + ") runs past the end of the file");
    Handle package(OpenOrThrow(view));
    HFILE h = package.get();
    if (record.dataOffset > 0x7FFFFFFFu || _llseek(h, LONG(record.dataOffset), FILE_BEGIN) != LONG(record.dataOffset))
        throw ReadError("data offset " + std::to_string(record.dataOffset) + " cannot be reached");
    std::vector<std::uint8_t> data(record.storedSize);
    std::size_t done = 0;
    while (done < data.size()) {
        UINT chunk = UINT(std::min<std::size_t>(data.size() - done, 1u << 20));
        UINT got = _lread(h, data.data() + done, chunk);
        if (got == 0 || got > chunk) break;  // end of file, or failure (HFILE_ERROR)
        done += got;
    }
    if (done < data.size())
        throw ReadError("the file ends " + std::to_string(data.size() - done) + " bytes before the entry's data does");
    return data;
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
