// The tool's view of an installer: found, read and summed by the package
// contract the installer itself follows (LocatePackage, StepTable) and
// expanded with the installer's own decoder, so that list, extract and
// verify see exactly what an installation would.
#ifndef AUTHOR_SAVERPACK_INSTALLER_READER_H
#define AUTHOR_SAVERPACK_INSTALLER_READER_H

#include "author/pe_image.h"
#include "compress/expansion.h"
#include "package/layout.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace saverpack {

class ReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Record : EntryRecord {
    Record() : EntryRecord() {}
    std::uint64_t at = 0;  // file offset of the 16-byte record

    bool Compressed() const { return expandedSize != 0; }
    std::uint32_t InstalledSize() const { return ::InstalledSize(this); }
};

struct InstallerView {
    std::filesystem::path path;
    std::uint64_t fileSize = 0;
    std::uint32_t packageStart = 0;
    std::string titleField;              // the title bytes read, 32 unless the file ends first
    bool headerComplete = false;         // title and firstFileNumber read whole
    std::uint16_t firstFileNumber = 0;
    std::vector<Record> entries;         // the records before the terminator
    bool terminated = false;             // a record with storedSize 0 was read
    Record terminator;                   // that record, as read
    std::uint64_t installSize = 0;       // the walk's installation size (TableWalk), as the installer
                                         // reports it
    std::optional<author::CertificateTable> certificate;  // where the security directory says the table is
    std::string certificateProblem;      // "damaged or tampered signature: <why>" when the table is not
                                         // where and as a signer writes it (or its directory cannot be
                                         // read); "" for a sound table or none

    bool SoundlySigned() const { return certificate && certificateProblem.empty(); }

    std::string Title() const;           // the title field up to its first NUL
    std::string FileName() const;        // the installer's file name, which names the entries
};

// Walks the package as the installer does. Throws ReadError when the file
// cannot be opened or holds no package that the installer's walk finds.
// A table cut short by the end of the file is not an error here: the view
// says so (terminated false) and holds the records read whole.
InstallerView ReadInstaller(const std::filesystem::path& path);

// ReadInstaller for a command that needs the whole header: on failure, or
// when the file ends inside the header, says why on err and returns nothing.
std::optional<InstallerView> ReadInstallerForCommand(const std::filesystem::path& path, std::ostream& err);

// "signed: certificate table of N bytes", as the commands report a sound
// table. Whether the signature is valid is the signing tool's business.
std::string SignedNote(const author::CertificateTable& table);

// The file offset where the record's data ends.
inline std::uint64_t DataEnd(const Record& r) { return std::uint64_t(r.dataOffset) + r.storedSize; }

// Where what the installer carries ends, and a signer's padding and table
// may begin: behind the package's data, or behind the ".rsrc" section
// (ending at sectionEnd) that a small package is padded to. Data running
// past the end of the file does not count (it is reported with its entry).
std::uint64_t ContentEnd(const InstallerView& view, std::uint64_t sectionEnd);

// Why the record's data cannot be right in a signed installer: it reaches
// into the certificate table. "" when it does not (or the file is unsigned).
std::string CertificateOverlap(const InstallerView& view, const Record& record);

// An entry's stored block: its data offset and both sizes. Entries with the
// same block are installed with the same bytes, so the commands expand each
// distinct block once.
using StoredBlock = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>;
inline StoredBlock BlockOf(const Record& r) { return {r.dataOffset, r.storedSize, r.expandedSize}; }

// Entries whose stored data overlap, which pack never writes (the installer
// reads each entry on its own, so such a package still installs): one
// warning for each entry whose data overlaps that of an entry before it in
// the file, naming both.
std::vector<std::string> OverlapWarnings(const InstallerView& view);

// Writes each line after prefix, the first `shown` of them, and how many more.
void ReportLines(std::ostream& out, const std::string& prefix, const std::vector<std::string>& lines,
                 std::size_t shown = 25);

// What reading one entry found.
struct EntryStream {
    bool ranOut = false;     // a compressed stream needed bits beyond its stored bytes
    bool cutShort = false;   // the file ended before the entry's data did
    bool stopped = false;    // the sink refused a block
};

// Hands the entry's installed bytes to sink block by block, in fixed
// memory: a stored entry copied, a compressed one expanded with the
// installer's decoder as it reads the file, stopping at the end of the block
// in which the stream runs out of its stored bytes. Throws ReadError when
// the file cannot be opened or the data offset is beyond the installer's
// seeks. The sink must not throw (it runs inside the decoder); it returns
// false to stop.
EntryStream StreamEntry(const InstallerView& view, const Record& record, const codec::BlockSink& sink);

struct Expansion {
    std::vector<std::uint8_t> bytes;  // expandedSize bytes
    bool ranOut = false;              // the stream needed bits beyond its storedSize bytes
};

// Expands a compressed entry's stored bytes with the installer's decoder.
Expansion ExpandEntryData(const std::vector<std::uint8_t>& stored, std::uint32_t expandedSize);

}  // namespace saverpack

#endif
