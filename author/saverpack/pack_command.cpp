// pack: builds the installer in memory, then puts it at its path in one
// step, and shows what it carries as list would.
#include "author/saverpack/commands.h"
#include "author/saverpack/files.h"
#include "author/saverpack/progress.h"

namespace fs = std::filesystem;

namespace saverpack {

int PackCommand(const PackRequest& request, const fs::path& output, bool quiet, std::ostream& out,
                std::ostream& err) {
    std::vector<fs::path> inputs = {request.saver};
    if (request.data) inputs.push_back(*request.data);
    inputs.insert(inputs.end(), request.files.begin(), request.files.end());

    std::vector<std::uint8_t> installer;
    try {
        CheckOutputPath(output);
        ProgressBar bar(!quiet);
        installer = BuildInstaller(request, [&](std::size_t entry, std::uint64_t done, std::uint64_t total) {
            bar.Update("entry " + std::to_string(entry) + ": " + PathToUtf8(inputs[entry].filename()), done, total);
        });
        bar.Finish();
        WriteAtomically(output, installer);
    } catch (const Refusal& e) {
        err << "saverpack: " << e.what() << "\n";
        return 1;
    }
    if (quiet) return 0;
    out << "Wrote " << PathToUtf8(output) << " with the installer executable " << PathToUtf8(request.stub) << "\n\n";
    return ListCommand(output, false, request.codePage, out, err);
}

}  // namespace saverpack
