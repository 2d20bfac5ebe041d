// Building an installer from its inputs.
//
// Everything is checked and assembled in memory before a byte is written:
// the title and extensions first, then the installer executable's host
// properties, then the inputs' sizes, and only then are the inputs read
// and compressed. Every compressed stream is expanded again with the
// installer's decoder and compared with its file before it is used.
#include "author/saverpack/pack.h"

#include "author/icon_file.h"
#include "author/package_writer.h"
#include "author/pe_layout.h"
#include "author/resources.h"
#include "author/saverpack/codepage.h"
#include "author/saverpack/files.h"
#include "author/saverpack/installed_names.h"
#include "author/saverpack/installer_reader.h"
#include "package/layout.h"

#include <algorithm>
#include <cstdio>

namespace fs = std::filesystem;

namespace saverpack {
namespace {

constexpr std::uint16_t kIconGroup = 101;               // the installer's window class icon
constexpr std::uint16_t kLanguage = PACKAGE_LANGUAGE;   // of every resource the installer has

struct Input {
    fs::path path;
    std::string what;  // "saver", "data file", "file"
    std::array<char, 4> extension{};
    std::uint64_t size = 0;
};

std::array<char, 4> Extension(const char* text) {
    std::array<char, 4> e{};
    std::copy_n(text, EXTENSION_SIZE, e.begin());
    return e;
}

author::PackageEntry MakeEntry(const Input& input, std::size_t index, const PackRequest& request,
                               const std::function<void(std::uint64_t)>& progress) {
    author::PackageEntry entry;
    entry.extension = input.extension;
    std::vector<std::uint8_t> file = ReadWholeFile(input.path, input.what);
    if (file.size() != input.size)
        throw Refusal(input.what + " " + Quoted(input.path) + " changed size while being packed");

    if (request.storage == Storage::Stored) {
        entry.data = std::move(file);
        return entry;
    }
    std::vector<std::uint8_t> stream =
        codec::Compress(file, request.level, [&](std::size_t done, std::size_t) { progress(done); });
    progress(file.size());
    if (request.storage == Storage::Smaller && stream.size() >= file.size()) {
        entry.data = std::move(file);
        return entry;
    }
    if (stream.size() >= PACKAGE_LIMIT)
        throw Refusal(input.what + " " + Quoted(input.path) + ": its compressed stream reaches 2^31 bytes");
    Expansion check = ExpandEntryData(stream, std::uint32_t(file.size()));
    if (check.ranOut || check.bytes != file)
        throw Refusal("entry " + std::to_string(index) + " (" + PathToUtf8(input.path) +
                      "): its compressed stream does not expand to the file again; nothing written");
    entry.expandedSize = std::uint32_t(file.size());
    entry.data = std::move(stream);
    return entry;
}

// The first control character of a version string (C0, DEL, C1), or none.
std::optional<char16_t> ControlCharacter(const std::u16string& text) {
    for (char16_t c : text)
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return c;
    return std::nullopt;
}

std::string CodePoint(char16_t c) {
    char text[8];
    std::snprintf(text, sizeof text, "U+%04X", unsigned(c));
    return text;
}

// The version information the request gives the installer: strings free of
// control characters that fit the resource's 16-bit block lengths.
author::VersionInfo VersionOf(const PackRequest& request) {
    author::VersionInfo version;
    version.version = request.fileVersion;
    version.productName = Utf8ToUtf16(request.title);
    version.fileDescription = version.productName + u" Screen Saver Installation";
    try {
        version.companyName = Utf8ToUtf16(request.publisher);
    } catch (const CodePageError& e) {
        throw Refusal("publisher \"" + request.publisher + "\": " + e.what());
    }
    version.language = kLanguage;
    version.codePage = std::uint16_t(request.codePage);
    for (auto [what, text] : {std::pair{"title", &version.productName}, {"publisher", &version.companyName}})
        if (std::optional<char16_t> c = ControlCharacter(*text))
            throw Refusal(std::string(what) + " holds the control character " + CodePoint(*c) +
                          ": the installer's version information takes none");
    try {
        author::VersionResourceData(version);
    } catch (const author::VersionTooLong& e) {
        std::string which = "the version information does not fit the installer's version resource: ";
        if (version.companyName.empty()) throw Refusal(which + e.what());
        // The longest publisher that fits beside this title and version.
        author::VersionInfo shorter = version;
        std::size_t fits = 0, fails = version.companyName.size();
        while (fails - fits > 1) {
            std::size_t middle = fits + (fails - fits) / 2;
            shorter.companyName.assign(middle, u'x');
            try {
                author::VersionResourceData(shorter);
                fits = middle;
            } catch (const author::VersionTooLong&) {
                fails = middle;
            }
        }
        throw Refusal(which + e.what() + ". With this title the publisher can be at most " +
                      GroupThousands(fits) + " UTF-16 characters; it is " +
                      GroupThousands(version.companyName.size()));
    }
    return version;
}

}  // namespace

std::string TitleField(const std::string& utf8, unsigned codePage) {
    std::string ansi;
    try {
        ansi = ToAnsi(utf8, codePage);
    } catch (const CodePageError& e) {
        throw Refusal("title \"" + utf8 + "\" cannot be written in code page " + std::to_string(codePage) + ": " +
                      e.what());
    }
    if (ansi.size() > TITLE_SIZE)
        throw Refusal("title \"" + utf8 + "\" is " + std::to_string(ansi.size()) + " bytes in code page " +
                      std::to_string(codePage) + "; the installer's title holds at most 32");
    return ansi;
}

std::array<char, 4> FurtherFileExtension(const fs::path& file, unsigned codePage) {
    std::string name = PathToUtf8(file.filename());
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return {};
    std::string text = name.substr(dot);
    std::string which = "file " + Quoted(file) + ": extension \"" + text + "\"";
    std::string ansi;
    try {
        ansi = ToAnsi(text, codePage);
    } catch (const CodePageError& e) {
        throw Refusal(which + " cannot be written in code page " + std::to_string(codePage) + ": " + e.what());
    }
    if (ansi.size() > EXTENSION_SIZE)
        throw Refusal(which + " is " + std::to_string(ansi.size()) +
                      " characters; the installer takes at most 4, the dot included");
    if (std::string problem = NameEndingProblem(ansi); !problem.empty()) throw Refusal(which + " " + problem);
    return Extension((ansi + std::string(EXTENSION_SIZE, '\0')).c_str());
}

author::CheckedHost BrandedStub(std::vector<std::uint8_t> bytes, const PackRequest& request) {
    const author::VersionInfo version = VersionOf(request);
    std::string which = "installer executable " + Quoted(request.stub);
    std::optional<author::CheckedHost> stub;
    try {
        if (std::optional<author::CertificateTable> table = author::FindCertificateTable(bytes))
            throw Refusal(which + " is signed (a certificate table of " + std::to_string(table->size) +
                          " bytes): signing must come last. Pack with the unsigned installer executable, then sign "
                          "the installer that pack writes");
        stub.emplace(std::move(bytes));
    } catch (const author::LayoutError& e) {
        throw Refusal(which + " cannot carry a package: " + e.what());
    }

    std::vector<author::Resource> resources;
    try {
        resources = author::ReadResources(stub->Image());
    } catch (const author::LayoutError& e) {
        throw Refusal(which + ": its resources cannot be read: " + e.what());
    }
    if (request.icon) {
        try {
            author::ReplaceIconGroup(resources, kIconGroup, kLanguage,
                                     author::ReadIconFile(ReadWholeFile(*request.icon, "icon")));
        } catch (const author::IconError& e) {
            throw Refusal("icon " + Quoted(*request.icon) + " " + e.what());
        }
    }
    author::ReplaceVersion(resources, version);
    try {
        return author::ReplaceResources(*stub, std::move(resources));
    } catch (const author::LayoutError& e) {
        throw Refusal(which + ": its resources cannot be rebuilt: " + e.what());
    }
}

std::vector<std::uint8_t> BuildInstaller(const PackRequest& request, const PackProgress& progress) {
    if (!request.files.empty() && !request.data)
        throw Refusal("further files need a data file (--data): the installer always installs entry 1 as the "
                      "saver's data file");
    if (request.firstFileNumber > 0xFFFF)
        throw Refusal("first file number " + std::to_string(request.firstFileNumber) + " is not in 0 to 65535");

    author::PackageContents contents;
    contents.title = TitleField(request.title, request.codePage);
    contents.firstFileNumber = std::uint16_t(request.firstFileNumber);

    std::vector<Input> inputs;
    inputs.push_back({request.saver, "saver", Extension(".SCR")});
    if (request.data) inputs.push_back({*request.data, "data file", Extension(".DAT")});
    for (const fs::path& file : request.files)
        inputs.push_back({file, "file", FurtherFileExtension(file, request.codePage)});

    // Names from the inputs alone: FILE<number><extension> for each further
    // file, and the installer's own name for the saver and the data file.
    std::vector<std::vector<std::string>> installed;
    for (std::size_t i = 0; i < inputs.size(); i++) {
        char extension[EXTENSION_SIZE];
        std::copy(inputs[i].extension.begin(), inputs[i].extension.end(), extension);
        try {
            installed.push_back(
                InstalledPath(request.installerName, i, std::uint16_t(request.firstFileNumber), extension));
        } catch (const NameRefused& e) {
            throw Refusal(inputs[i].what + " " + Quoted(inputs[i].path) + ": " + e.what());
        }
    }
    for (auto [a, b] : SameFileEntries(installed))
        throw Refusal(inputs[a].what + " " + Quoted(inputs[a].path) + " and " + inputs[b].what + " " +
                      Quoted(inputs[b].path) + " would both be installed as " + JoinWindowsPath(installed[a]) +
                      "; the later would replace the earlier");

    const author::CheckedHost host = BrandedStub(ReadWholeFile(request.stub, "installer executable"), request);
    const author::HostLayout& layout = host.Layout();

    // Data offsets go to the installer's signed 32-bit seeks. Stored data is
    // known to fit or not before anything is read; compressed data is
    // checked entry by entry, so that a package that cannot fit is refused
    // as soon as that is clear.
    std::uint64_t dataStart = PackageDataStart(layout.packageStart, inputs.size());
    std::uint64_t total = 0;
    for (Input& input : inputs) {
        input.size = CheckedFileSize(input.path, input.what);
        std::string which = input.what + " " + Quoted(input.path);
        if (input.size == 0)
            throw Refusal(which + " is empty: a stored size of 0 would end the installer's entry table");
        if (input.size >= PACKAGE_LIMIT)
            throw Refusal(which + " is " + GroupThousands(input.size) +
                          " bytes; the installer's entries must stay below 2^31 bytes");
        total += input.size;
    }
    auto checkOffsets = [&](std::uint64_t end) {
        if (end >= PACKAGE_LIMIT)
            throw Refusal("the entries' data would reach " + GroupThousands(end) +
                          " bytes into the installer; the installer seeks with signed 32-bit offsets, so its "
                          "data must end below 2^31");
    };
    if (request.storage == Storage::Stored) checkOffsets(dataStart + total);

    std::uint64_t before = 0, end = dataStart;
    for (std::size_t i = 0; i < inputs.size(); i++) {
        auto report = [&](std::uint64_t done) {
            if (progress) progress(i, before + done, total);
        };
        contents.entries.push_back(MakeEntry(inputs[i], i, request, report));
        before += inputs[i].size;
        end += contents.entries.back().data.size();
        checkOffsets(end);
    }

    try {
        return author::WritePackage(host, contents);
    } catch (const author::PackageError& e) {
        throw Refusal(e.what());
    }
}

}  // namespace saverpack
