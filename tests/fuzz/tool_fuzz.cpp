// Fuzz target: the authoring tool's reading side (list, list --json,
// verify, extract) on arbitrary files. The first byte chooses whether the
// rest is a whole file or a package written into the real installer
// executable. Refusals are exceptions or messages; nothing may crash, and
// verify may call sound only what extract can extract.
#include "author/saverpack/commands.h"
#include "author/saverpack/installer_reader.h"

#include <filesystem>
#include <sstream>
#include <string>

#include "tests/fuzz/fuzz_host.h"
#include "tests/fuzz/fuzz_support.h"

namespace fs = std::filesystem;

namespace {

// Every bit of a stream yields at most a few bytes (a 30-byte match costs at
// least 10 bits), so an entry claiming far more than that is damaged. The
// tool stops such a stream where it runs out of its bytes, but thousands of
// records sharing the same data still decode for long: time only, here.
bool ClaimsHugeExpansion(const std::string& path, std::size_t fileSize) {
    try {
        for (const saverpack::Record& r : saverpack::ReadInstaller(path).entries)
            if (r.expandedSize > 32 * std::uint64_t(fileSize) + 4096) return true;
    } catch (const saverpack::ReadError&) {
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static const std::string root = fuzz::ScratchDirectory();
    std::vector<std::uint8_t> image = (data[0] & 1) ? fuzz::InstallerWithPackage(data + 1, size - 1)
                                                    : std::vector<std::uint8_t>(data + 1, data + size);
    const fs::path installer = root + "/Fuzz.exe";
    fuzz::WriteFile(installer.string(), image.data(), image.size());
    fs::remove_all(root + "/out");
    if (ClaimsHugeExpansion(installer.string(), image.size())) return 0;

    std::ostringstream out, err;
    try {
        saverpack::ListCommand(installer, false, 1252, out, err);
        saverpack::ListCommand(installer, true, 1252, out, err);
    } catch (const std::exception&) {
    }
    int verified = 1, extracted = 1;
    try {
        verified = saverpack::VerifyCommand(installer, out, err);
    } catch (const std::exception&) {
    }
    try {
        extracted = saverpack::ExtractCommand(installer, root + "/out", 1252, out, err);
    } catch (const std::exception&) {
    }
    if (verified == 0) FUZZ_CHECK(extracted == 0);
    // Extraction writes below its directory only.
    for (const auto& entry : fs::directory_iterator(root))
        FUZZ_CHECK(entry.path() == installer || entry.path() == fs::path(root + "/out"));
    return 0;
}
