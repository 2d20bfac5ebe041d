// list: what an installer carries and where the installer would put it.
#include "author/saverpack/codepage.h"
#include "author/saverpack/commands.h"
#include "author/saverpack/files.h"
#include "author/saverpack/installed_names.h"
#include "author/saverpack/installer_reader.h"
#include "package/names.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>

namespace fs = std::filesystem;

namespace saverpack {
namespace {

std::string Hex(std::string_view bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02X", c);
        out += two;
    }
    return out;
}

std::string ExtensionText(const Record& r) { return std::string(r.extension, ExtensionLength(r.extension)); }

// Stored bytes per installed byte.
double Ratio(const Record& r) { return r.Compressed() ? double(r.storedSize) / r.expandedSize : 1.0; }

std::string InstalledAs(const InstallerView& view, std::size_t index, const Record& r, unsigned codePage) {
    try {
        return JoinWindowsPath(InstalledPathUtf8(view.FileName(), index, view.firstFileNumber, r.extension, codePage));
    } catch (const NameRefused& e) {
        return std::string("(refused: ") + e.what() + ")";
    }
}

nlohmann::ordered_json Json(const InstallerView& view, unsigned codePage) {
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < view.entries.size(); i++) {
        const Record& r = view.entries[i];
        entries.push_back({{"index", i},
                           {"installedAs", InstalledAs(view, i, r, codePage)},
                           {"kind", r.Compressed() ? "compressed" : "stored"},
                           {"storedSize", r.storedSize},
                           {"expandedSize", r.expandedSize},
                           {"installedSize", r.InstalledSize()},
                           {"ratio", Ratio(r)},
                           {"dataOffset", r.dataOffset},
                           {"extension", FromAnsi(ExtensionText(r), codePage)}});
    }
    return {{"installer", PathToUtf8(view.path)},
            {"fileSize", view.fileSize},
            {"packageStart", view.packageStart},
            {"title", FromAnsi(view.Title(), codePage)},
            {"titleBytes", Hex(view.Title())},
            {"codePage", codePage},
            {"firstFileNumber", view.firstFileNumber},
            {"entries", entries},
            {"terminated", view.terminated},
            {"installSize", view.installSize},
            {"certificateTable", view.certificate ? nlohmann::ordered_json{{"offset", view.certificate->offset},
                                                                             {"size", view.certificate->size}}
                                                  : nlohmann::ordered_json(nullptr)}};
}

void Text(const InstallerView& view, unsigned codePage, std::ostream& out) {
    out << "Installer:          " << PathToUtf8(view.path) << " (" << view.fileSize << " bytes, package at "
        << view.packageStart << ")\n";
    out << "Title:              \"" << FromAnsi(view.Title(), codePage) << "\" (code page " << codePage << ")\n";
    out << "First file number:  " << view.firstFileNumber << "\n";
    out << "Entries:            " << view.entries.size() << " (installed below the Windows directory)\n";
    if (view.SoundlySigned())
        out << "Signed:             certificate table of " << view.certificate->size << " bytes at "
            << view.certificate->offset << " (checked by the signing tool, not here)\n";
    out << "\n";
    char line[160];
    std::snprintf(line, sizeof line, "%5s  %-10s  %10s  %10s  %6s  %10s  %s\n", "Index", "Kind", "Stored",
                  "Installed", "Ratio", "Offset", "Installed as");
    out << line;
    for (std::size_t i = 0; i < view.entries.size(); i++) {
        const Record& r = view.entries[i];
        std::snprintf(line, sizeof line, "%5zu  %-10s  %10u  %10u  %5.1f%%  %10u  ", i,
                      r.Compressed() ? "compressed" : "stored", unsigned(r.storedSize), unsigned(r.InstalledSize()),
                      100.0 * Ratio(r), unsigned(r.dataOffset));
        out << line << InstalledAs(view, i, r, codePage) << "\n";
    }
    out << "\nInstallation size:  " << GroupThousands(view.installSize) << " bytes\n";
}

}  // namespace

int ListCommand(const fs::path& installer, bool json, unsigned codePage, std::ostream& out, std::ostream& err) {
    std::optional<InstallerView> read = ReadInstallerForCommand(installer, err);
    if (!read) return 1;
    const InstallerView& view = *read;
    if (json)
        out << Json(view, codePage).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
    else
        Text(view, codePage, out);
    int status = 0;
    if (!view.certificateProblem.empty()) {
        err << "saverpack: " << PathToUtf8(installer) << ": " << view.certificateProblem << "\n";
        status = 1;
    }
    for (std::size_t i = 0; i < view.entries.size(); i++) {
        if (std::string overlap = CertificateOverlap(view, view.entries[i]); !overlap.empty()) {
            err << "saverpack: " << PathToUtf8(installer) << ": entry " << i << ": " << overlap << "\n";
            status = 1;
        }
    }
    if (!view.terminated) {
        err << "saverpack: " << PathToUtf8(installer) << ": the entry table has no terminator; the file ends inside "
            << "the record after entry " << view.entries.size() << "\n";
        status = 1;
    }
    return status;
}

}  // namespace saverpack
