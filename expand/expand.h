/* ExpandEntry: the installer's one call into expansion. The stream format
 * and its decoder are in expand/decoder.h and expand/decoder.cpp.
 */
#ifndef EXPAND_EXPAND_H
#define EXPAND_EXPAND_H

#include "platform/platform.h"

/* Results of ExpandEntry. EXPAND_DONE and EXPAND_NOT_STARTED keep the values
 * 1 and 0; the others report faults the installer must not pass off as a
 * good file. */
enum ExpandResult {
    EXPAND_DONE = 1,           /* the target holds exactly expandedSize bytes */
    EXPAND_NOT_STARTED = 0,    /* own path not obtained, or installer not opened */
    EXPAND_TARGET_FAILED = -1, /* the target file cannot be created */
    EXPAND_WRITE_FAILED = -2,  /* the target took fewer bytes than written */
    EXPAND_SHORT_DATA = -3,    /* the installer file ended before the stored bytes the stream
                                  uses, or the stream needs more than storedSize bytes */
    EXPAND_BAD_ENTRY = -4      /* expandedSize of 2^31 or more */
};

/* Expands one compressed entry of the running installer into targetPath.
 * The argument order is the installer's: expandedSize before storedSize. */
ExpandResult ExpandEntry(HINSTANCE module, DWORD dataOffset, DWORD expandedSize, DWORD storedSize, const char* targetPath);

/* The system's error code (GetLastError) from the call that failed when the
 * last ExpandEntry gave EXPAND_TARGET_FAILED or EXPAND_WRITE_FAILED; 0 when
 * the system gave none. */
DWORD ExpandSystemError(void);

/* Calls hook after every block of 16384 bytes that ExpandEntry writes (NULL:
 * none), so that a long expansion can keep a window responsive. */
void SetExpandBlockHook(void (*hook)(void));

#endif
