// The tool's view of an installer: found, read and summed by the package
// contract the installer itself follows (LocatePackage, StepTable) and
// expanded with the installer's own decoder, so that list, extract and
// verify see exactly what an installation would.
#ifndef AUTHOR_SAVERPACK_INSTALLER_READER_H
#define AUTHOR_SAVERPACK_INSTALLER_READER_H

#include "package/layout.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
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

// The record's storedSize bytes at its dataOffset. Throws ReadError when the
// file ends before them or the offset is beyond the installer's seeks.
std::vector<std::uint8_t> ReadEntryData(const InstallerView& view, const Record& record);

struct Expansion {
    std::vector<std::uint8_t> bytes;  // expandedSize bytes
    bool ranOut = false;              // the stream needed bits beyond its storedSize bytes
};

// Expands a compressed entry's stored bytes with the installer's decoder.
Expansion ExpandEntryData(const std::vector<std::uint8_t>& stored, std::uint32_t expandedSize);

}  // namespace saverpack

#endif
