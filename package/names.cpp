/* Installed names: see package/names.h. Nothing here writes past a buffer. */
#include "package/names.h"

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

/* Appends the texts up to a null one to name; 0 when they do not fit. */
static int Join(char* name, const char* const* texts) {
    unsigned used = 0;
    for (; *texts; texts++)
        for (const char* p = *texts; *p; p++) {
            if (used + 1 >= PATH_SIZE) return 0;
            name[used++] = *p;
        }
    name[used] = '\0';
    return 1;
}

EntryName MakeEntryName(uint32_t index, uint16_t firstFileNumber, const char* extension, const char* scrName,
                        const char* stem, char* name) {
    char number[NUMBER_TEXT_SIZE], ending[EXTENSION_SIZE + 1];
    const char* parts[5] = {scrName, 0, 0, 0, 0};
    name[0] = '\0';
    if (index == 1) {
        parts[0] = stem;
        parts[1] = ".DAT";
    } else if (index >= 2) {
        uint32_t length = ExtensionLength(extension);
        if (CheckExtension(extension, length, 0) != EXTENSION_GOOD) return ENTRY_NAME_BAD_EXTENSION;
        memcpy(ending, extension, length);
        ending[length] = '\0';
        DecimalText((uint32_t)(firstFileNumber + index - 2), 4, number);
        parts[0] = "FILE";
        parts[1] = number;
        parts[2] = ending;
    }
    if (Join(name, parts)) return ENTRY_NAME_MADE;
    name[0] = '\0';
    return ENTRY_NAME_TOO_LONG;
}
