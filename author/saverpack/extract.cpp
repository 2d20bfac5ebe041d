// extract: every entry expanded into a directory that stands for the
// Windows directory, under the names the installer would give them.
#include "author/saverpack/commands.h"
#include "author/saverpack/files.h"
#include "author/saverpack/installed_names.h"
#include "author/saverpack/installer_reader.h"
#include "package/layout.h"

#include <cstring>
#include <new>

namespace fs = std::filesystem;

namespace saverpack {

int ExtractCommand(const fs::path& installer, const fs::path& dir, std::ostream& out, std::ostream& err) {
    std::optional<InstallerView> read = ReadInstallerForCommand(installer, err);
    if (!read) return 1;
    const InstallerView& view = *read;

    int failures = 0;
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
            components = InstalledPath(view.FileName(), i, view.firstFileNumber, r.extension);
        } catch (const NameRefused& e) {
            fail(e.what());
            continue;
        }
        name = JoinWindowsPath(components);
        try {
            std::vector<std::uint8_t> bytes = ReadEntryData(view, r);
            if (r.Compressed()) {
                if (r.expandedSize >= PACKAGE_LIMIT) throw ReadError("its expandedSize reaches 2^31");
                Expansion expansion = ExpandEntryData(bytes, r.expandedSize);
                if (expansion.ranOut) throw ReadError("its compressed stream runs out of stored bytes");
                bytes = std::move(expansion.bytes);
            }
            fs::path target = dir;
            for (const std::string& component : components) target /= PathFromUtf8(component);
            fs::create_directories(target.parent_path());
            WriteAtomically(target, bytes);
            out << name << " (" << bytes.size() << " bytes)\n";
        } catch (const ReadError& e) {
            fail(e.what());
        } catch (const Refusal& e) {
            fail(e.what());
        } catch (const fs::filesystem_error& e) {
            fail(e.what());
        } catch (const std::bad_alloc&) {
            fail("not enough memory");
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
