// Fuzz target: the package contract decoded from arbitrary bytes, held
// against readings written independently here. The same input serves as
//   - package header and entry records: decoding and encoding give back the
//     bytes, and the table walk counts what the records say;
//   - a host executable: where the tool's full check of the image accepts
//     it, the installer's short walk finds the package at the same byte;
//   - an installer's file name and a record's extension: the installed
//     names, and the refusal of names Windows would resolve elsewhere.
#include "author/pe_layout.h"
#include "package/layout.h"
#include "package/names.h"

#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"

namespace {

struct Bytes {
    const std::uint8_t* data;
    std::size_t size;
};

int ReadAt(void* file, std::uint32_t at, unsigned char* buffer, std::uint32_t count) {
    const Bytes* bytes = static_cast<const Bytes*>(file);
    if (at > bytes->size || count > bytes->size - at) return 0;
    std::memcpy(buffer, bytes->data + at, count);
    return 1;
}

void CheckRecords(const std::uint8_t* data, std::size_t size) {
    unsigned char raw[PACKAGE_HEADER_SIZE] = {0}, again[PACKAGE_HEADER_SIZE];
    std::memcpy(raw, data, std::min<std::size_t>(size, sizeof raw));
    PackageHeader header;
    DecodeHeader(raw, &header);
    EncodeHeader(&header, again);
    FUZZ_CHECK(std::memcmp(raw, again, sizeof raw) == 0);
    FUZZ_CHECK(header.firstFileNumber == (raw[32] | raw[33] << 8));

    TableWalk walk;
    StartTableWalk(&walk);
    unsigned long long sum = 0;
    std::uint32_t entries = 0;
    for (std::size_t at = 0;; at += ENTRY_RECORD_SIZE) {
        const std::uint32_t available = std::uint32_t(std::min<std::size_t>(ENTRY_RECORD_SIZE, size - at));
        EntryRecord record;
        std::memset(&record, 0xA5, sizeof record);
        const TableStep step = StepTable(&walk, data + at, available, &record);
        if (available < ENTRY_RECORD_SIZE) {
            const EntryRecord zero = {};
            FUZZ_CHECK(step == TABLE_CUT_SHORT && std::memcmp(&record, &zero, sizeof zero) == 0);
            break;
        }
        unsigned char encoded[ENTRY_RECORD_SIZE];
        EncodeRecord(&record, encoded);
        FUZZ_CHECK(std::memcmp(encoded, data + at, ENTRY_RECORD_SIZE) == 0);
        const std::uint32_t stored = fuzz::Get32(data + at + 4), expanded = fuzz::Get32(data + at + 8);
        FUZZ_CHECK(record.dataOffset == fuzz::Get32(data + at) && record.storedSize == stored &&
                   record.expandedSize == expanded);
        FUZZ_CHECK(RecordWithinLimit(&record) ==
                   (record.dataOffset < PACKAGE_LIMIT && stored < PACKAGE_LIMIT && expanded < PACKAGE_LIMIT));
        sum += expanded ? expanded : stored;
        FUZZ_CHECK(walk.installSize == sum);
        if (stored == 0) {
            FUZZ_CHECK(step == TABLE_END && walk.entries == entries);
            break;
        }
        FUZZ_CHECK(step == TABLE_ENTRY && walk.entries == ++entries);
    }
}

void CheckLocate(const std::uint8_t* data, std::size_t size) {
    Bytes file{data, size};
    std::uint32_t start = 0;
    const int found = LocatePackage(ReadAt, &file, &start);
    if (found) FUZZ_CHECK(start < PACKAGE_LIMIT);
    try {
        const author::HostLayout layout = author::CheckHost({data, size}, author::Trailing::Allowed);
        FUZZ_CHECK(found && start == layout.packageStart);
    } catch (const author::LayoutError&) {
    }
}

// The names as the file-name rules give them, written without the
// installer's buffers.
bool UsableBase(const std::string& name) {
    if (name.empty() || name.back() == '.' || name.back() == ' ') return false;
    std::string upper = name;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    for (const char* device : {"NUL", "CON", "AUX", "PRN"})
        if (upper == device) return false;
    return !(upper.size() == 4 && (upper.rfind("COM", 0) == 0 || upper.rfind("LPT", 0) == 0) && upper[3] >= '1' &&
             upper[3] <= '9');
}

bool GoodExtension(const std::string& extension) {
    for (unsigned char c : extension)
        if (c < 0x20 || std::strchr("\"*/:<>?\\|", c)) return false;
    return extension.empty() || (extension.back() != '.' && extension.back() != ' ');
}

void CheckNames(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return;
    const std::uint16_t firstFileNumber = std::uint16_t(data[0] | data[1] << 8);
    char extension[EXTENSION_SIZE];
    std::memcpy(extension, data + 2, EXTENSION_SIZE);
    const std::uint32_t index = data[6] % 4 == 3 ? data[7] | 2u : data[6] % 4;
    // The rest, up to its first NUL, is the installer's file name; at times
    // behind a directory long enough that the installed name cannot fit.
    std::string fileName(reinterpret_cast<const char*>(data + 8), size - 8);
    fileName = fileName.substr(0, std::min<std::size_t>(fileName.find('\0'), 400));
    const std::string moduleName = "C:\\DOWNLOAD\\" + fileName;
    const std::string name = fileName.substr(fileName.rfind('\\') == std::string::npos ? 0 : fileName.rfind('\\') + 1);

    char stem[PATH_SIZE], scrName[PATH_SIZE];
    MakeInstallerStem(moduleName.c_str(), stem);
    MakeScrName(moduleName.c_str(), scrName);
    const std::string expectedStem = name.substr(0, std::min<std::size_t>(name.rfind('.'), PATH_SIZE - 1));
    std::string expectedScr = name.substr(0, std::min<std::size_t>(name.find('.'), PATH_SIZE - 5)) + ".SCR";
    for (char& c : expectedScr)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    FUZZ_CHECK(stem == expectedStem);
    FUZZ_CHECK(scrName == expectedScr);
    const std::string base = name.substr(0, std::min<std::size_t>(name.find('.'), PATH_SIZE - 1));
    FUZZ_CHECK(IsUsableInstallerName(moduleName.c_str()) == (UsableBase(base) && UsableBase(expectedStem)));

    std::string directory = "C:\\WINDOWS\\";
    if (data[6] & 0x80) directory += std::string(PATH_SIZE - 20, 'D') + "\\";
    char path[PATH_SIZE];
    std::memcpy(path, directory.c_str(), directory.size() + 1);
    const EntryName made = AppendEntryName(path, index, firstFileNumber, extension, scrName, stem);

    const std::string ending(extension, ExtensionLength(extension));
    FUZZ_CHECK(ending.size() <= EXTENSION_SIZE && ending.find('\0') == std::string::npos);
    if (index >= 2 && !GoodExtension(ending)) {
        FUZZ_CHECK(made == ENTRY_NAME_BAD_EXTENSION && directory == path);
        return;
    }
    std::string number = std::to_string(firstFileNumber + index - 2);
    number.insert(0, number.size() < 4 ? 4 - number.size() : 0, '0');
    const std::string whole = directory + (index == 0   ? expectedScr
                                           : index == 1 ? expectedStem + ".DAT"
                                                        : "FILE" + number + ending);
    FUZZ_CHECK(made == (whole.size() < PATH_SIZE ? ENTRY_NAME_MADE : ENTRY_NAME_TOO_LONG));
    FUZZ_CHECK(whole.substr(0, PATH_SIZE - 1) == path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckRecords(data, size);
    CheckLocate(data, size);
    CheckNames(data, size);
    return 0;
}
