/* Shared between the stand-in's own files; tests use control.h. */
#ifndef PLATFORM_STANDIN_INTERNAL_H
#define PLATFORM_STANDIN_INTERNAL_H

#include "platform/standin/control.h"

namespace standin {

Log& EditLog();
void ResetUi();      // windows, the message queue, the dialog
void ResetSystem();  // Setup and Log

// Sets GetLastError's code; returns FALSE for the failing call to give.
BOOL Fail(DWORD error);
// MoveFileA's rename under Windows' file rules; with replace, MoveFileExA's.
BOOL Rename(LPCSTR from, LPCSTR to, bool replace);

}  // namespace standin

#endif
