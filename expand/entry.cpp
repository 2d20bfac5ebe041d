/* ExpandEntry: one compressed entry of the running installer into its file.
 *
 * The installer file is opened a second time, by its own path and with no
 * sharing restriction, independent of the package handle; the stream
 * decoder runs between it and the target through the module's buffered
 * reader and writer, which call the kernel's file functions (given here)
 * directly (the first Windows 95 has no C runtime DLL that could serve
 * them).
 */
#include "expand/expand.h"

#include "expand/decoder.h"

#include <string.h>

enum { OWN_PATH_SIZE = 260 };

static void (*blockHook)(void);
static DWORD lastError;

DWORD ExpandSystemError(void) { return lastError; }

void SetExpandBlockHook(void (*hook)(void)) { blockHook = hook; }

/* The decoder's file calls (it needs no platform of its own). */
static uint32_t ReadInstaller(int file, unsigned char* buffer, uint32_t count) { return _lread(file, buffer, count); }

/* A short count is no failure of the call: it leaves no reason to give. */
static uint32_t WriteTarget(int file, const unsigned char* data, uint32_t count) {
    UINT put = _lwrite(file, (LPCCH)data, count);
    if (put != count) lastError = put == (UINT)HFILE_ERROR ? GetLastError() : 0;
    return put;
}

ExpandResult ExpandEntry(HINSTANCE module, DWORD dataOffset, DWORD expandedSize, DWORD storedSize, const char* targetPath) {
    ReadPtr(NULL, 0);
    WritePtr(NULL, 0, 0);
    lastError = 0;
    /* The decoder counts in signed 32 bits: a larger size would expand to
     * nothing and look like success. */
    if (expandedSize > (DWORD)INT32_MAX) return EXPAND_BAD_ENTRY;

    char ownPath[OWN_PATH_SIZE];
    DWORD length = GetModuleFileNameA(module, ownPath, OWN_PATH_SIZE);
    if (length == 0 || length >= OWN_PATH_SIZE) return EXPAND_NOT_STARTED;

    HFILE installer = _lopen(ownPath, OF_READ | OF_SHARE_DENY_NONE);
    if (installer == HFILE_ERROR) return EXPAND_NOT_STARTED;

    /* An offset the seek cannot reach reads as a source with nothing in it,
     * like an offset beyond the end of the file. */
    ExpandSource source;
    memset(&source, 0, sizeof source);
    source.file = NO_FILE;
    if (dataOffset <= (DWORD)INT32_MAX && _llseek(installer, (LONG)dataOffset, FILE_BEGIN) == (LONG)dataOffset) {
        source.file = installer;
        source.read = ReadInstaller;
    }
    /* A damaged record may claim 2 GB from a few stored bytes: stop once
     * the stream has run out rather than write what zero bits decode to. */
    source.stopAtOverrun = 1;

    HFILE target = _lcreat(targetPath, 0);
    if (target == HFILE_ERROR) {
        lastError = GetLastError();
        _lclose(installer);
        return EXPAND_TARGET_FAILED;
    }
    ExpandTarget sink;
    memset(&sink, 0, sizeof sink);
    sink.file = target;
    sink.write = WriteTarget;
    sink.afterBlock = blockHook;

    uint32_t remaining = storedSize;
    ExpandStream(&source, &sink, (int32_t)expandedSize, &remaining);
    unsigned faults = ExpandFaults();

    if (_lclose(target) == HFILE_ERROR && !(faults & EXPAND_FAULT_WRITE)) {
        lastError = GetLastError();
        faults |= EXPAND_FAULT_WRITE;
    }
    _lclose(installer);

    if (faults & EXPAND_FAULT_WRITE) return EXPAND_WRITE_FAILED;
    /* A stream whose symbols reach past its own stored bytes was decoded
     * from zero bits: damaged, or a storedSize too small. */
    if ((faults & (EXPAND_FAULT_SHORT | EXPAND_FAULT_OVERRUN)) || ExpandBitsUsed() > 8ull * storedSize)
        return EXPAND_SHORT_DATA;
    return EXPAND_DONE;
}
