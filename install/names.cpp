/* Bounded text helpers and the names the installer derives from its own file
 * name.
 *
 * The installed saver takes the installer's file name up to its FIRST '.',
 * upper-cased, with ".SCR" (my.clouds.exe installs MY.SCR); the data
 * directory and the ".DAT" file take it up to its LAST '.', case kept
 * (my.clouds). Upper-casing touches the letters a to z only: text is
 * single-byte ANSI in whatever code page the system uses.
 *
 * Nothing here writes past a buffer: a text that does not fit is cut and
 * terminated, and the callers that build paths treat a cut as a failure.
 */
#include "install/install.h"

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

int AppendText(char* buffer, unsigned size, const char* text) {
    unsigned used = (unsigned)strlen(buffer);
    while (*text) {
        if (used + 1 >= size) {
            buffer[used] = '\0';
            return 0;
        }
        buffer[used++] = *text++;
    }
    buffer[used] = '\0';
    return 1;
}

int AppendTexts(char* buffer, unsigned size, ...) {
    va_list texts;
    va_start(texts, size);
    int fits = 1;
    for (const char* text; fits && (text = va_arg(texts, const char*)) != NULL;) fits = AppendText(buffer, size, text);
    va_end(texts);
    return fits;
}

int AppendBackslash(char* path, unsigned size) {
    unsigned length = (unsigned)strlen(path);
    if (length > 0 && path[length - 1] == '\\') return 1;
    return AppendText(path, size, "\\");
}

void UpperCase(char* text) {
    for (; *text; text++)
        if (*text >= 'a' && *text <= 'z') *text = (char)(*text - 'a' + 'A');
}

void DecimalText(unsigned long long value, int minDigits, char* text) {
    /* Divided by 10 in 16-bit pieces: a 64-bit division would pull a
     * run-time library routine into the installer. */
    unsigned pieces[4] = {(unsigned)(value >> 48) & 0xFFFF, (unsigned)(value >> 32) & 0xFFFF,
                          (unsigned)(value >> 16) & 0xFFFF, (unsigned)value & 0xFFFF};
    char reversed[NUMBER_TEXT_SIZE];
    int count = 0;
    unsigned left;
    do {
        unsigned remainder = 0;
        left = 0;
        for (int i = 0; i < 4; i++) {
            unsigned part = (remainder << 16) | pieces[i];
            pieces[i] = part / 10;
            remainder = part % 10;
            left |= pieces[i];
        }
        reversed[count++] = (char)('0' + remainder);
    } while (left != 0);
    while (count < minDigits && count < NUMBER_TEXT_SIZE - 1) reversed[count++] = '0';
    for (int i = 0; i < count; i++) text[i] = reversed[count - 1 - i];
    text[count] = '\0';
}

const char* FileNamePart(const char* path) {
    const char* slash = strrchr(path, '\\');
    return slash ? slash + 1 : path;
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

/* Copies the installer's file name up to its first or last '.' (or whole),
 * at most limit characters of it. */
static void CopyFileName(const char* moduleName, char* name, int toLastDot, unsigned limit) {
    const char* start = FileNamePart(moduleName);
    const char* cut = toLastDot ? strrchr(start, '.') : strchr(start, '.');
    unsigned length = cut ? (unsigned)(cut - start) : (unsigned)strlen(start);
    if (length > limit) length = limit;
    memcpy(name, start, length);
    name[length] = '\0';
}

void MakeInstallerStem(const char* moduleName, char* stem) {
    CopyFileName(moduleName, stem, 1, PATH_SIZE - 1);
}

void MakeSpelledScrName(const char* moduleName, char* name) {
    /* Room is kept for the ending: a cut name still names a saver file. */
    CopyFileName(moduleName, name, 0, PATH_SIZE - 5);
    AppendText(name, PATH_SIZE, ".SCR");
}

/* A stem or saver base that Windows would resolve to another file: empty,
 * "." or "..", cut at a trailing dot or space, or a device. */
static int IsUsableName(const char* name) {
    static const char devices[] = "NULCONAUXPRNCOMLPT";
    unsigned length = (unsigned)strlen(name), first = 0, end = 12;
    char last = length ? name[length - 1] : '.';
    if (last == '.' || last == ' ') return 0;
    /* NUL to PRN alone; COM and LPT with a digit 1 to 9. */
    if (length == 4 && last >= '1' && last <= '9') {
        first = 12;
        end = 18;
    } else if (length != 3) {
        return 1;
    }
    for (; first < end; first += 3) {
        unsigned same = 0;
        /* & 0xDF upper-cases a to z and changes no byte into a capital. */
        while (same < 3 && (name[same] & 0xDF) == devices[first + same]) same++;
        if (same == 3) return 0;
    }
    return 1;
}

int IsUsableInstallerName(const char* moduleName) {
    char name[PATH_SIZE];
    CopyFileName(moduleName, name, 0, PATH_SIZE - 1);
    if (!IsUsableName(name)) return 0;
    MakeInstallerStem(moduleName, name);
    return IsUsableName(name);
}

void MakeScrName(const char* moduleName, char* scrName) {
    MakeSpelledScrName(moduleName, scrName);
    UpperCase(scrName);
}

char* GroupThousands(unsigned long long value, char* text) {
    char digits[NUMBER_TEXT_SIZE];
    DecimalText(value, 1, digits);
    int length = (int)strlen(digits), used = 0;
    for (int i = 0; i < length; i++) {
        text[used++] = digits[i];
        int left = length - 1 - i;
        if (left > 0 && left % 3 == 0) text[used++] = ',';
    }
    text[used] = '\0';
    return text;
}
