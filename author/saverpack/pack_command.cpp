// pack: builds the installer in memory, then puts it at its path in one
// step, and shows what it carries as list would.
#include "author/saverpack/commands.h"
#include "author/saverpack/files.h"
#include "author/saverpack/progress.h"
#include "author/saverpack/temporary_output.h"

namespace fs = std::filesystem;

namespace saverpack {

int PackCommand(const PackRequest& request, const fs::path& output, bool quiet, std::ostream& out,
                std::ostream& err) {
    std::vector<NamedInput> inputs = {{"saver", request.saver}};
    if (request.data) inputs.push_back({"data file", *request.data});
    for (const fs::path& file : request.files) inputs.push_back({"file", file});
    std::size_t entries = inputs.size();
    inputs.push_back({"installer executable", request.stub});
    if (request.icon) inputs.push_back({"icon", *request.icon});

    PackRequest named = request;
    named.installerName = PathToUtf8(output.filename());
    try {
        CheckOutputPath(output);
        CheckOutputIsNoInput(output, inputs);
        // Created before the long part, so that an interruption there too
        // leaves nothing behind.
        TemporaryOutput file(output);
        ProgressBar bar(!quiet);
        std::vector<std::uint8_t> installer =
            BuildInstaller(named, [&](std::size_t entry, std::uint64_t done, std::uint64_t total) {
                if (entry < entries)
                    bar.Update("entry " + std::to_string(entry) + ": " + PathToUtf8(inputs[entry].path.filename()),
                               done, total);
            });
        bar.Finish();
        file.Write(installer);
        file.Commit();
    } catch (const Refusal& e) {
        err << "saverpack: " << e.what() << "\n";
        return 1;
    }
    if (quiet) return 0;
    out << "Wrote " << PathToUtf8(output) << " with the installer executable " << PathToUtf8(request.stub) << "\n\n";
    return ListCommand(output, false, request.codePage, out, err);
}

}  // namespace saverpack
