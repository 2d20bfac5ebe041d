/* Installed names: see package/names.h. Nothing here writes past a buffer. */
#include "package/names.h"

#include <stdarg.h>
#include <string.h>

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

const char* FileNamePart(const char* path) {
    const char* slash = strrchr(path, '\\');
    return slash ? slash + 1 : path;
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

void MakeInstallerStem(const char* moduleName, char* stem) { CopyFileName(moduleName, stem, 1, PATH_SIZE - 1); }

void MakeSpelledScrName(const char* moduleName, char* name) {
    /* Room is kept for the ending: a cut name still names a saver file. */
    CopyFileName(moduleName, name, 0, PATH_SIZE - 5);
    memcpy(name + strlen(name), ".SCR", 5);
}

/* A stem or saver base that Windows would resolve to another file: empty,
 * "." or "..", cut at a trailing dot or space, or a device. */
static int IsUsableName(const char* name) {
    static const char devices[] = "NULCONAUXPRNCOMLPT";
    unsigned length = (unsigned)strlen(name), first = 0, end = 12;
    char last = length ? name[length - 1] : '.';
    if (last == '.' || last == ' ') return 0;
    /* NUL to PRN alone; COM and LPT with a digit (COM0 and LPT0 too: so
     * Windows' documentation names them). */
    if (length == 4 && last >= '0' && last <= '9') {
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

ExtensionCheck CheckExtension(const char* text, uint32_t length, uint32_t* at) {
    for (uint32_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)text[i];
        ExtensionCheck fault = c < 0x20 ? EXTENSION_CONTROL : strchr("\"*/:<>?\\|", c) ? EXTENSION_RESERVED
                                                                                       : EXTENSION_GOOD;
        if (fault != EXTENSION_GOOD) {
            if (at) *at = i;
            return fault;
        }
    }
    if (length > 0 && (text[length - 1] == '.' || text[length - 1] == ' ')) {
        if (at) *at = length - 1;
        return EXTENSION_TRAILING;
    }
    return EXTENSION_GOOD;
}

uint32_t ExtensionLength(const char* extension) {
    uint32_t length = 0;
    while (length < EXTENSION_SIZE && extension[length]) length++;
    return length;
}

EntryPlace EntryDirectory(uint32_t index) { return index == 0 ? IN_WINDOWS_DIRECTORY : IN_DATA_DIRECTORY; }

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

EntryName AppendEntryName(char* path, uint32_t index, uint16_t firstFileNumber, const char* extension,
                          const char* scrName, const char* stem) {
    int fits;
    if (index == 0) {
        fits = AppendText(path, PATH_SIZE, scrName);
    } else if (index == 1) {
        fits = AppendTexts(path, PATH_SIZE, stem, ".DAT", NULL);
    } else {
        char number[NUMBER_TEXT_SIZE], ending[EXTENSION_SIZE + 1];
        uint32_t length = ExtensionLength(extension);
        if (CheckExtension(extension, length, 0) != EXTENSION_GOOD) return ENTRY_NAME_BAD_EXTENSION;
        memcpy(ending, extension, length);
        ending[length] = '\0';
        DecimalText((uint32_t)(firstFileNumber + index - 2), 4, number);
        fits = AppendTexts(path, PATH_SIZE, "FILE", number, ending, NULL);
    }
    return fits ? ENTRY_NAME_MADE : ENTRY_NAME_TOO_LONG;
}
