// verify: reads an installer as the installer would and decodes every
// compressed entry, reporting each thing that would make an installation
// go wrong.
#include "author/pe_layout.h"
#include "author/resources.h"
#include "author/version_resource.h"
#include "author/saverpack/commands.h"
#include "author/saverpack/files.h"
#include "author/saverpack/installed_names.h"
#include "author/saverpack/installer_reader.h"
#include "package/layout.h"

#include <algorithm>
#include <cstring>

namespace fs = std::filesystem;

namespace saverpack {
namespace {

bool AllZero(const Record& r) {
    static const char zero[EXTENSION_SIZE] = {};
    return r.dataOffset == 0 && r.storedSize == 0 && r.expandedSize == 0 &&
           std::memcmp(r.extension, zero, sizeof zero) == 0;
}

// The version information Explorer shows: blocks inside their parents, as
// pack writes them.
void CheckVersionResources(std::span<const std::uint8_t> image, std::vector<std::string>& problems) {
    std::vector<author::Resource> resources;
    try {
        resources = author::ReadResources(image);
    } catch (const author::LayoutError& e) {
        problems.push_back(std::string("the executable's resources cannot be read: ") + e.what());
        return;
    }
    for (const author::Resource& r : resources) {
        if (r.type.Named() || r.type.id != author::kVersionType) continue;
        if (std::string problem = author::VersionResourceProblem(r.data); !problem.empty())
            problems.push_back("the version resource (language " + std::to_string(r.language) +
                               ") is damaged: " + problem);
    }
}

// The installer walks the resource tree by first entries; the layout
// checker reads it by names and ids. Both must land on the same byte.
// Returns where the ".rsrc" section ends (0 when the layout is broken).
std::uint64_t CheckHostLayout(const InstallerView& view, std::vector<std::string>& problems) {
    std::vector<std::uint8_t> image;
    try {
        image = ReadWholeFile(view.path, "installer");
    } catch (const Refusal& e) {
        problems.push_back(e.what());
        return 0;
    }
    try {
        author::HostLayout layout = author::CheckHost(image, author::Trailing::Allowed);
        if (layout.packageStart != view.packageStart)
            problems.push_back("the installer's walk finds the package at " + std::to_string(view.packageStart) +
                               ", but the \"LASTRES\" data lies at " + std::to_string(layout.packageStart));
        CheckVersionResources(image, problems);
        return layout.sectionEnd;
    } catch (const author::LayoutError& e) {
        problems.push_back(std::string("the executable lacks a host property the installer relies on: ") + e.what());
    }
    return 0;
}

// Nothing but the package follows the section: the entries' data, the zero
// bytes that pad a small package to the section's end, and in a signed
// installer up to 7 zero bytes and the certificate table (where the reader
// checks it). The installer reads none of it beyond the entries; a signer
// appends the table last.
void CheckWhatFollows(const InstallerView& view, std::uint64_t sectionEnd, std::vector<std::string>& problems) {
    if (view.certificate || !view.certificateProblem.empty()) return;
    std::uint64_t end = ContentEnd(view, sectionEnd);
    if (view.fileSize > end)
        problems.push_back(std::to_string(view.fileSize - end) +
                           " bytes follow the last entry's data; only a signed installer carries more (its "
                           "certificate table)");
}

// Entries the installer would write to the same file, the later one
// replacing the earlier.
void CheckNames(const InstallerView& view, std::vector<std::string>& problems) {
    std::vector<std::vector<std::string>> paths;
    for (std::size_t i = 0; i < view.entries.size(); i++)
        paths.push_back(InstalledPathOrNone(view.FileName(), i, view.firstFileNumber, view.entries[i].extension));
    for (auto [a, b] : SameFileEntries(paths))
        problems.push_back("entries " + std::to_string(a) + " and " + std::to_string(b) +
                           " are both installed as " + JoinWindowsPath(paths[a]) +
                           ": the later would replace the earlier");
}

void CheckEntry(const InstallerView& view, std::size_t index, const Record& r, std::vector<std::string>& problems) {
    std::string which = "entry " + std::to_string(index) + ": ";
    bool sizesFit = true;
    auto limit = [&](const char* field, std::uint32_t value) {
        if (value >= PACKAGE_LIMIT) {
            problems.push_back(which + field + " " + std::to_string(value) + " reaches 2^31");
            sizesFit = false;
        }
    };
    limit("dataOffset", r.dataOffset);
    limit("storedSize", r.storedSize);
    limit("expandedSize", r.expandedSize);
    if (!sizesFit) return;

    if (std::uint64_t(r.dataOffset) + r.storedSize > view.fileSize) {
        problems.push_back(which + "its data (" + std::to_string(r.storedSize) + " bytes at " +
                           std::to_string(r.dataOffset) + ") runs past the end of the file (" +
                           std::to_string(view.fileSize) + " bytes)");
        return;
    }
    try {
        InstalledPath(view.FileName(), index, view.firstFileNumber, r.extension);
    } catch (const NameRefused& e) {
        problems.push_back(which + e.what());
    }
    if (std::string overlap = CertificateOverlap(view, r); !overlap.empty()) problems.push_back(which + overlap);
    if (!r.Compressed()) return;

    try {
        // Decoded in blocks and dropped: memory stays fixed whatever the record claims.
        EntryStream stream = StreamEntry(view, r, [](std::span<const std::uint8_t>) { return true; });
        if (stream.ranOut)
            problems.push_back(which + "its compressed stream runs out of its " + std::to_string(r.storedSize) +
                               " stored bytes before it has expanded to " + std::to_string(r.expandedSize));
        else if (stream.cutShort)
            problems.push_back(which + "the file ends before the stored bytes its stream uses");
    } catch (const ReadError& e) {
        problems.push_back(which + e.what());
    }
}

}  // namespace

std::vector<std::string> FindProblems(const fs::path& installer) {
    std::vector<std::string> problems;
    InstallerView view;
    try {
        view = ReadInstaller(installer);
    } catch (const ReadError& e) {
        return {e.what()};
    }
    std::uint64_t sectionEnd = CheckHostLayout(view, problems);
    if (!view.headerComplete) {
        problems.push_back("the file ends inside the package header");
        return problems;
    }
    if (!view.terminated) {
        problems.push_back("the entry table has no terminator: the file ends inside the record after entry " +
                           std::to_string(view.entries.size()) + ", so the installer's walk runs off the file");
    } else if (!AllZero(view.terminator)) {
        std::string more = view.terminator.expandedSize
                               ? " (its expandedSize " + std::to_string(view.terminator.expandedSize) +
                                     " is added to the size the installer reports)"
                               : "";
        problems.push_back("the terminator record is not all zero" + more);
    }
    if (view.entries.empty()) problems.push_back("the package carries no entries: not even a saver is installed");
    for (std::size_t i = 0; i < view.entries.size(); i++) CheckEntry(view, i, view.entries[i], problems);
    CheckNames(view, problems);
    if (!view.certificateProblem.empty()) problems.push_back(view.certificateProblem);
    if (sectionEnd != 0 && view.terminated) CheckWhatFollows(view, sectionEnd, problems);
    return problems;
}

int VerifyCommand(const fs::path& installer, std::ostream& out, std::ostream&) {
    std::vector<std::string> problems = FindProblems(installer);
    // The size the installer will ask the user to make room for, and the
    // signer's table (FindProblems says why when the file cannot be read).
    try {
        InstallerView view = ReadInstaller(installer);
        if (view.SoundlySigned()) out << PathToUtf8(installer) << ": " << SignedNote(*view.certificate) << "\n";
        if (view.headerComplete)
            out << PathToUtf8(installer) << ": installation size " << GroupThousands(view.installSize) << " bytes\n";
    } catch (const ReadError&) {
    }
    // A table that lost its terminator reads on through the data, one
    // bogus record after another: the first problems tell the story.
    constexpr std::size_t kShown = 25;
    for (std::size_t i = 0; i < problems.size() && i < kShown; i++)
        out << PathToUtf8(installer) << ": " << problems[i] << "\n";
    if (problems.size() > kShown) out << PathToUtf8(installer) << ": ... " << problems.size() - kShown << " more\n";
    if (problems.empty()) {
        out << PathToUtf8(installer) << ": sound\n";
        return 0;
    }
    out << PathToUtf8(installer) << ": " << problems.size() << (problems.size() == 1 ? " problem\n" : " problems\n");
    return 1;
}

}  // namespace saverpack
