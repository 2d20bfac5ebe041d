// extract: every entry expanded into a directory that stands for the
// Windows directory, under the names the installer would give them.
#include "author/saverpack/commands.h"
#include "author/saverpack/files.h"
#include "author/saverpack/installed_names.h"
#include "author/saverpack/installer_reader.h"
#include "author/saverpack/temporary_output.h"
#include "package/layout.h"

#include <exception>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace saverpack {

namespace {

// Where an entry goes below the directory: its directories and its file name.
struct Target {
    std::vector<fs::path> directories;
    fs::path file;
};

Target TargetOf(const std::vector<std::string>& components) {
    Target target;
    for (const std::string& component : components) target.directories.push_back(PathFromUtf8(component));
    target.file = target.directories.back();
    target.directories.pop_back();
    return target;
}

// Why nothing can be extracted: the first link, or the first thing that is
// no directory or no regular file, on the way to any entry's file. "" when
// there is none.
std::string LinkOrOtherFileInTheWay(const fs::path& dir, const std::vector<std::vector<std::string>>& installed) {
    for (const std::vector<std::string>& components : installed) {
        if (components.empty()) continue;
        Target target = TargetOf(components);
        try {
            OutputDirectory look(dir, target.directories, OutputDirectory::Mode::Look);
            if (look.Exists()) look.CheckFileSlot(target.file);
        } catch (const Refusal& e) {
            return e.what();
        }
    }
    return "";
}

}  // namespace

int ExtractCommand(const fs::path& installer, const fs::path& dir, unsigned codePage, std::ostream& out,
                   std::ostream& err) {
    std::optional<InstallerView> read = ReadInstallerForCommand(installer, err);
    if (!read) return 1;
    const InstallerView& view = *read;
    if (view.SoundlySigned()) out << SignedNote(*view.certificate) << "\n";
    int failures = 0;
    if (!view.certificateProblem.empty()) {
        err << "saverpack: " << PathToUtf8(installer) << ": " << view.certificateProblem << "\n";
        failures++;
    }

    std::vector<std::vector<std::string>> installed;
    for (std::size_t i = 0; i < view.entries.size(); i++)
        installed.push_back(InstalledPathOrNone(view.FileName(), i, view.firstFileNumber, view.entries[i].extension));
    std::set<std::size_t> replacing;  // entries that name an earlier entry's file
    for (auto [a, b] : SameFileEntries(installed)) replacing.insert(b);

    // Every path is looked at before anything is written.
    std::vector<std::vector<std::string>> targets(view.entries.size());
    std::vector<std::string> nameRefused(view.entries.size());
    for (std::size_t i = 0; i < view.entries.size(); i++) {
        try {
            targets[i] = InstalledPathUtf8(view.FileName(), i, view.firstFileNumber, view.entries[i].extension,
                                           codePage);
        } catch (const NameRefused& e) {
            nameRefused[i] = e.what();
        }
    }
    if (std::string why = LinkOrOtherFileInTheWay(dir, targets); !why.empty()) {
        err << "saverpack: " << why << "\nsaverpack: nothing extracted\n";
        return 1;
    }

    // A block that entries share is expanded once: the later entries copy
    // the first one's file, or fail as it did. (Only a stream that reads the
    // ring's last positions before writing them, which no compressor makes,
    // could expand otherwise after another entry.)
    std::map<StoredBlock, std::size_t> extractedAs;
    std::map<StoredBlock, std::string> failedAs;
    for (std::size_t i = 0; i < view.entries.size(); i++) {
        const Record& r = view.entries[i];
        std::string name;
        auto fail = [&](const std::string& why) {
            err << "saverpack: entry " << i << (name.empty() ? "" : " (" + name + ")") << " not extracted: " << why
                << "\n";
            failures++;
        };
        if (!nameRefused[i].empty()) {
            fail(nameRefused[i]);
            continue;
        }
        name = JoinWindowsPath(targets[i]);
        if (replacing.count(i)) {
            fail("an earlier entry is installed under the same name, which this one would replace");
            continue;
        }
        if (std::string overlap = CertificateOverlap(view, r); !overlap.empty()) {
            fail(overlap);
            continue;
        }
        if (r.expandedSize >= PACKAGE_LIMIT) {
            fail("its expandedSize reaches 2^31");
            continue;
        }
        if (DataEnd(r) > view.fileSize) {
            fail("its data (" + std::to_string(r.storedSize) + " bytes at " + std::to_string(r.dataOffset) +
                 ") runs past the end of the file");
            continue;
        }
        if (auto failed = failedAs.find(BlockOf(r)); r.Compressed() && failed != failedAs.end()) {
            fail(failed->second);
            continue;
        }
        try {
            Target target = TargetOf(targets[i]);
            OutputDirectory below(dir, target.directories, OutputDirectory::Mode::Make);
            TemporaryOutput file(below, target.file);
            std::uint64_t size = 0;
            if (auto earlier = extractedAs.find(BlockOf(r)); r.Compressed() && earlier != extractedAs.end()) {
                Target from = TargetOf(targets[earlier->second]);
                size = OutputDirectory(dir, from.directories, OutputDirectory::Mode::Look)
                           .ReadFile(from.file, [&](std::span<const std::uint8_t> block) { file.Write(block); });
                if (size != r.expandedSize)
                    throw ReadError("the file extracted for entry " + std::to_string(earlier->second) +
                                    ", whose data this entry shares, changed meanwhile");
            } else {
                std::exception_ptr writeError;
                // The sink runs inside the decoder, which must not be unwound.
                EntryStream stream = StreamEntry(view, r, [&](std::span<const std::uint8_t> block) {
                    try {
                        file.Write(block);
                        size += block.size();
                        return true;
                    } catch (...) {
                        writeError = std::current_exception();
                        return false;
                    }
                });
                if (writeError) std::rethrow_exception(writeError);
                std::string damaged = stream.ranOut     ? "its compressed stream runs out of its stored bytes"
                                      : stream.cutShort ? "the file ends before the entry's data does"
                                                        : "";
                if (!damaged.empty() && r.Compressed()) failedAs.emplace(BlockOf(r), damaged);
                if (!damaged.empty()) throw ReadError(damaged);
            }
            file.Commit();
            if (r.Compressed()) extractedAs.emplace(BlockOf(r), i);
            out << name << " (" << size << " bytes)\n";
        } catch (const ReadError& e) {
            fail(e.what());
        } catch (const Refusal& e) {
            fail(e.what());
        } catch (const fs::filesystem_error& e) {
            fail(e.what());
        }
    }
    if (!view.terminated) {
        err << "saverpack: " << PathToUtf8(installer) << ": the entry table has no terminator; the file ends inside "
            << "the record after entry " << view.entries.size() << "\n";
        failures++;
    }
    return failures ? 1 : 0;
}

}  // namespace saverpack
