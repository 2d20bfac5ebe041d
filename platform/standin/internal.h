/* Shared between the stand-in's own files; tests use control.h. */
#ifndef PLATFORM_STANDIN_INTERNAL_H
#define PLATFORM_STANDIN_INTERNAL_H

#include "platform/standin/control.h"

namespace standin {

Log& EditLog();
void ResetUi();      // windows, the message queue, the dialog
void ResetSystem();  // Setup and Log
void SetError(DWORD error);  // what GetLastError gives next
// Whether Windows would refuse to write a file at this Windows path: inside
// one of Setup::deniedDirectories, or read-only. Sets the error then.
bool WriteDenied(const std::string& windowsPath);
// Whether a host path lies inside one of Setup::deniedDirectories.
bool DeniedDirectory(const std::string& host);

// SetError, then FALSE for the failing call to give.
BOOL Fail(DWORD error);
// MoveFileA's rename under Windows' file rules; with replace, MoveFileExA's.
BOOL Rename(LPCSTR from, LPCSTR to, bool replace);
// The host file of a profile (a bare name lives in the Windows directory,
// as Windows keeps it).
std::string ProfilePath(const std::string& file);
// True when a move onto this Windows path is to fail (Setup::refusedMoveTargets);
// the refusal is used up.
bool MoveRefused(const std::string& windowsPath);

}  // namespace standin

#endif
