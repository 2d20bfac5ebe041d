// The subcommands of saverpack, each writing its report to out and its
// errors to err, and returning the process exit status.
//
// Exit status: 0 done (verify: the installer is sound), 1 refused, failed
// or unsound, 2 wrong usage (from the argument parser).
#ifndef AUTHOR_SAVERPACK_COMMANDS_H
#define AUTHOR_SAVERPACK_COMMANDS_H

#include "author/saverpack/pack.h"

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace saverpack {

int PackCommand(const PackRequest& request, const std::filesystem::path& output, bool quiet, std::ostream& out,
                std::ostream& err);

// Title (shown through codePage), first file number, each entry with its
// installed name, kind, sizes, ratio and data offset, and the installation
// size the installer reports; as text or as JSON.
int ListCommand(const std::filesystem::path& installer, bool json, unsigned codePage, std::ostream& out,
                std::ostream& err);

// Expands every entry into dir, which stands for the Windows directory:
// dir/<ScrName> and dir/TORVANEK/LUMAVERN/<InstallerStem>/...; extensions
// are read in codePage.
int ExtractCommand(const std::filesystem::path& installer, const std::filesystem::path& dir, unsigned codePage,
                   std::ostream& out, std::ostream& err);

int VerifyCommand(const std::filesystem::path& installer, std::ostream& out, std::ostream& err);

// Everything verify reports about an installer; empty when it is sound.
std::vector<std::string> FindProblems(const std::filesystem::path& installer);

}  // namespace saverpack

#endif
