// Reading an installer by the package contract, with the standard library's
// file streams.
#include "author/saverpack/installer_reader.h"

#include "author/saverpack/files.h"
#include "author/saverpack/installed_names.h"
#include "compress/compress.h"

#include <algorithm>
#include <fstream>

namespace saverpack {
namespace {

// The installer file, read at offsets.
class InstallerFile {
public:
    explicit InstallerFile(const std::filesystem::path& path) : in_(path, std::ios::binary) {
        if (!in_) throw ReadError("cannot open " + Quoted(path));
        in_.seekg(0, std::ios::end);
        size_ = std::uint64_t(in_.tellg());
        if (!in_) throw ReadError("cannot read " + Quoted(path));
    }

    std::uint64_t Size() const { return size_; }

    // The bytes at `at`: count of them, or fewer where the file ends.
    std::uint32_t ReadAt(std::uint64_t at, void* buffer, std::uint32_t count) {
        if (at >= size_) return 0;
        in_.clear();
        in_.seekg(std::streamoff(at));
        in_.read(static_cast<char*>(buffer), std::streamsize(count));
        std::uint32_t got = std::uint32_t(in_.gcount());
        in_.clear();
        return got;
    }

    // LocatePackage's reads.
    static int ReadWhole(void* file, std::uint32_t at, unsigned char* buffer, std::uint32_t count) {
        return static_cast<InstallerFile*>(file)->ReadAt(at, buffer, count) == count;
    }

private:
    std::ifstream in_;
    std::uint64_t size_ = 0;
};

}  // namespace

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
    if (!view.headerComplete) return view;
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
    return view;
}

std::vector<std::uint8_t> ReadEntryData(const InstallerView& view, const Record& record) {
    if (std::uint64_t(record.dataOffset) + record.storedSize > view.fileSize)
        throw ReadError("its data (" + std::to_string(record.storedSize) + " bytes at " +
                        std::to_string(record.dataOffset) + ") runs past the end of the file");
    if (record.dataOffset >= PACKAGE_LIMIT)
        throw ReadError("data offset " + std::to_string(record.dataOffset) + " cannot be reached");
    InstallerFile file(view.path);
    std::vector<std::uint8_t> data(record.storedSize);
    std::uint32_t got = file.ReadAt(record.dataOffset, data.data(), record.storedSize);
    if (got < data.size())
        throw ReadError("the file ends " + std::to_string(data.size() - got) + " bytes before the entry's data does");
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
