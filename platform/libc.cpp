/* The C library functions the installer executables call, in place of a C
 * runtime DLL: retail Windows 95 has no msvcrt.dll, and a program that
 * imports a DLL the system lacks is refused before it starts. Our code calls
 * the string functions; GCC calls the memory functions for copies and
 * clears of its own.
 *
 * Built without link-time optimisation (calls GCC emits late must still find
 * these) and with -fno-tree-loop-distribute-patterns -fno-builtin, so that
 * the compiler does not turn a loop here back into a call to the function
 * itself.
 */
#include <stddef.h>

extern "C" {

void* memcpy(void* to, const void* from, size_t count) {
    unsigned char* d = (unsigned char*)to;
    const unsigned char* s = (const unsigned char*)from;
    while (count--) *d++ = *s++;
    return to;
}

void* memmove(void* to, const void* from, size_t count) {
    unsigned char* d = (unsigned char*)to;
    const unsigned char* s = (const unsigned char*)from;
    if (d <= s) return memcpy(to, from, count);
    while (count--) d[count] = s[count];
    return to;
}

void* memset(void* to, int value, size_t count) {
    unsigned char* d = (unsigned char*)to;
    while (count--) *d++ = (unsigned char)value;
    return to;
}

int memcmp(const void* a, const void* b, size_t count) {
    const unsigned char* p = (const unsigned char*)a;
    const unsigned char* q = (const unsigned char*)b;
    for (; count--; p++, q++)
        if (*p != *q) return *p - *q;
    return 0;
}

size_t strlen(const char* text) {
    const char* end = text;
    while (*end) end++;
    return (size_t)(end - text);
}

char* strchr(const char* text, int c) {
    for (;; text++) {
        if (*text == (char)c) return (char*)text;
        if (!*text) return NULL;
    }
}

char* strrchr(const char* text, int c) {
    const char* found = NULL;
    for (;; text++) {
        if (*text == (char)c) found = text;
        if (!*text) return (char*)found;
    }
}

}
