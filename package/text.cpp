/* Bounded text: see package/text.h. Nothing here writes past a buffer. */
#include "package/text.h"

#include <stdarg.h>
#include <string.h>

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
