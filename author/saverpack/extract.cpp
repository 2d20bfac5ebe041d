// extract: every entry expanded into a directory that stands for the
// Windows directory, under the names the installer would give them.
#include "author/saverpack/commands.h"
#include "author/saverpack/files.h"
#include "author/saverpack/installed_names.h"
#include "author/saverpack/installer_reader.h"
#include "author/saverpack/temporary_output.h"
#include "package/layout.h"

#include <exception>
#include <set>

namespace fs = std::filesystem;

namespace saverpack {

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

    for (std::size_t i = 0; i < view.entries.size(); i++) {
        const Record& r = view.entries[i];
        std::vector<std::string> components;
        std::string name;
        auto fail = [&](const std::string& why) {
            err << "saverpack: entry " << i << (name.empty() ? "" : " (" + name + ")") << " not extracted: " << why
                << "\n";
            failures++;
        };
        try {
            components = InstalledPathUtf8(view.FileName(), i, view.firstFileNumber, r.extension, codePage);
        } catch (const NameRefused& e) {
            fail(e.what());
            continue;
        }
        name = JoinWindowsPath(components);
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
        try {
            fs::path target = dir;
            for (const std::string& component : components) target /= PathFromUtf8(component);
            fs::create_directories(target.parent_path());
            TemporaryOutput file(target);
            std::uint64_t size = 0;
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
            if (stream.ranOut) throw ReadError("its compressed stream runs out of its stored bytes");
            if (stream.cutShort) throw ReadError("the file ends before the entry's data does");
            file.Commit();
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
