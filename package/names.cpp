/* Installed names: see package/names.h. Nothing here writes past a buffer. */
#include "package/names.h"

#include <string.h>

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
