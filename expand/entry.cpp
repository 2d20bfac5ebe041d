/* ExpandEntry: one compressed entry of the running installer into its file.
 *
 * The installer file is opened a second time, by its own path, as a C
 * stream independent of the package handle; the stream decoder runs between
 * it and the target through the module's buffered reader and writer.
 */
#include "expand/expand.h"

#include "expand/decoder.h"

#include <string.h>

enum { OWN_PATH_SIZE = 260 };

static void (*blockHook)(void);

void SetExpandBlockHook(void (*hook)(void)) { blockHook = hook; }

ExpandResult ExpandEntry(HINSTANCE module, DWORD dataOffset, DWORD expandedSize, DWORD storedSize, const char* targetPath) {
    ReadPtr(NULL, 0);
    WritePtr(NULL, 0, 0);
    /* The decoder counts in signed 32 bits: a larger size would expand to
     * nothing and look like success. */
    if (expandedSize > (DWORD)INT32_MAX) return EXPAND_BAD_ENTRY;

    char ownPath[OWN_PATH_SIZE];
    DWORD length = GetModuleFileNameA(module, ownPath, OWN_PATH_SIZE);
    if (length == 0 || length >= OWN_PATH_SIZE) return EXPAND_NOT_STARTED;

    FILE* installer = OpenStream(ownPath, "rb");
    if (!installer) return EXPAND_NOT_STARTED;

    /* An offset the seek cannot reach reads as a source with nothing in it,
     * like an offset beyond the end of the file. */
    ExpandSource source;
    memset(&source, 0, sizeof source);
    if (dataOffset <= (DWORD)INT32_MAX && fseek(installer, (long)dataOffset, SEEK_SET) == 0) source.file = installer;
    /* A damaged record may claim 2 GB from a few stored bytes: stop once
     * the stream has run out rather than write what zero bits decode to. */
    source.stopAtOverrun = 1;

    FILE* target = OpenStream(targetPath, "wb");
    if (!target) {
        fclose(installer);
        return EXPAND_TARGET_FAILED;
    }
    ExpandTarget sink;
    memset(&sink, 0, sizeof sink);
    sink.file = target;
    sink.afterBlock = blockHook;

    uint32_t remaining = storedSize;
    ExpandStream(&source, &sink, (int32_t)expandedSize, &remaining);
    unsigned faults = ExpandFaults();

    /* The C stream may hold the last bytes until it is closed. */
    if (fclose(target) != 0) faults |= EXPAND_FAULT_WRITE;
    fclose(installer);

    if (faults & EXPAND_FAULT_WRITE) return EXPAND_WRITE_FAILED;
    /* A stream whose symbols reach past its own stored bytes was decoded
     * from zero bits: damaged, or a storedSize too small. */
    if ((faults & (EXPAND_FAULT_SHORT | EXPAND_FAULT_OVERRUN)) || ExpandBitsUsed() > 8ull * storedSize)
        return EXPAND_SHORT_DATA;
    return EXPAND_DONE;
}
