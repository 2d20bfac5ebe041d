/* Bounded text helpers and the two system paths every step reads.
 *
 * Nothing here writes past a buffer: a text that does not fit is cut and
 * terminated, and the callers that build paths treat a cut as a failure.
 */
#include "install/text.h"

#include <stdarg.h>
#include <string.h>

const char KERNEL_NAME[] = "KERNEL32.DLL";

void FormatText(char* out, unsigned size, const char* pattern, ...) {
    va_list insertions;
    va_start(insertions, pattern);
    unsigned used = 0;
    for (const char* p = pattern; *p; p++) {
        const char* piece = p;
        unsigned length = 1;
        if (p[0] == '%' && p[1] == 's') {
            piece = va_arg(insertions, const char*);
            p++;
            length = (unsigned)strlen(piece);
        }
        while (length-- > 0 && used + 1 < size) out[used++] = *piece++;
    }
    va_end(insertions);
    out[used] = '\0';
}

int AppendBackslash(char* path, unsigned size) {
    unsigned length = (unsigned)strlen(path);
    if (length > 0 && path[length - 1] == '\\') return 1;
    return AppendText(path, size, "\\");
}

int ReadModuleName(HINSTANCE instance, char* path) {
    DWORD length = GetModuleFileNameA(instance, path, PATH_SIZE);
    path[PATH_SIZE - 1] = '\0';
    if (length == 0 || length >= PATH_SIZE) {
        path[0] = '\0';
        return 0;
    }
    return 1;
}

int ReadWindowsDirectory(char* path) {
    UINT length = GetWindowsDirectoryA(path, PATH_SIZE);
    if (length == 0 || length >= PATH_SIZE) {
        path[0] = '\0';
        return 0;
    }
    return 1;
}
