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


enum { OWN_PATH_SIZE = 260 };

static void (*blockHook)(void);
static DWORD lastError;

DWORD ExpandSystemError(void) { return lastError; }

void SetExpandBlockHook(void (*hook)(void)) { blockHook = hook; }

/* The decoder's calls on the two files, each handle its context (the
 * decoder itself needs no platform). */
static uint32_t ReadInstaller(void* installer, unsigned char* buffer, uint32_t count) {
    return _lread((HFILE)(INT_PTR)installer, buffer, count);
}

/* After every block the target took, the hook. A short count is no
 * failure of the call: it leaves no reason to give. */
static uint32_t WriteTarget(void* target, const unsigned char* data, uint32_t count) {
    UINT put = _lwrite((HFILE)(INT_PTR)target, (LPCCH)data, count);
    if (put != count)
        lastError = put == (UINT)HFILE_ERROR ? GetLastError() : 0;
    else if (blockHook)
        blockHook();
    return put;
}

ExpandResult ExpandEntry(HINSTANCE module, DWORD dataOffset, DWORD expandedSize, DWORD storedSize, const char* targetPath) {
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
    ExpandReadCall read = NULL;
    if (dataOffset <= (DWORD)INT32_MAX && _llseek(installer, (LONG)dataOffset, FILE_BEGIN) == (LONG)dataOffset)
        read = ReadInstaller;

    HFILE target = _lcreat(targetPath, 0);
    if (target == HFILE_ERROR) {
        lastError = GetLastError();
        _lclose(installer);
        return EXPAND_TARGET_FAILED;
    }

    /* A damaged record may claim 2 GB from a few stored bytes: stop once
     * the stream has run out rather than write what zero bits decode to. */
    uint32_t remaining = storedSize;
    ExpandStream(read, (void*)(INT_PTR)installer, WriteTarget, (void*)(INT_PTR)target, (int32_t)expandedSize,
                 &remaining, EXPAND_STOP_AT_OVERRUN);
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
