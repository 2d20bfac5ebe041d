// verify: reads an installer as the installer would and decodes every
// compressed entry, reporting each thing that would make an installation
// go wrong.
#include "author/pe_layout.h"
#include "author/saverpack/commands.h"
#include "author/saverpack/files.h"
#include "author/saverpack/installed_names.h"
#include "author/saverpack/installer_reader.h"
#include "package/layout.h"

#include <cstring>
#include <new>

namespace fs = std::filesystem;

namespace saverpack {
namespace {

bool AllZero(const Record& r) {
    static const char zero[EXTENSION_SIZE] = {};
    return r.dataOffset == 0 && r.storedSize == 0 && r.expandedSize == 0 &&
           std::memcmp(r.extension, zero, sizeof zero) == 0;
}

// The installer walks the resource tree by first entries; the layout
// checker reads it by names and ids. Both must land on the same byte.
void CheckHostLayout(const InstallerView& view, std::vector<std::string>& problems) {
    std::vector<std::uint8_t> image;
    try {
        image = ReadWholeFile(view.path, "installer");
    } catch (const Refusal& e) {
        problems.push_back(e.what());
        return;
    }
    try {
        author::HostLayout layout = author::CheckHost(image, author::Trailing::Allowed);
        if (layout.packageStart != view.packageStart)
            problems.push_back("the installer's walk finds the package at " + std::to_string(view.packageStart) +
                               ", but the \"LASTRES\" data lies at " + std::to_string(layout.packageStart));
    } catch (const author::LayoutError& e) {
        problems.push_back(std::string("the executable lacks a host property the installer relies on: ") + e.what());
    }
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
    if (!r.Compressed()) return;

    try {
        std::vector<std::uint8_t> stored = ReadEntryData(view, r);
        if (ExpandEntryData(stored, r.expandedSize).ranOut)
            problems.push_back(which + "its compressed stream runs out of its " + std::to_string(r.storedSize) +
                               " stored bytes before it has expanded to " + std::to_string(r.expandedSize));
    } catch (const ReadError& e) {
        problems.push_back(which + e.what());
    } catch (const std::bad_alloc&) {
        problems.push_back(which + "not enough memory to expand it to " + std::to_string(r.expandedSize) + " bytes");
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
    CheckHostLayout(view, problems);
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
    return problems;
}

int VerifyCommand(const fs::path& installer, std::ostream& out, std::ostream&) {
    std::vector<std::string> problems = FindProblems(installer);
    // The size the installer will ask the user to make room for.
    try {
        InstallerView view = ReadInstaller(installer);
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
