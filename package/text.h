/* Bounded text for the installer and the tool alike: appending to a
 * terminated text within its buffer's size, upper-casing, decimal numbers
 * and the file name part of a path. No platform needed. Text is single-byte
 * ANSI in whatever code page the system uses.
 */
#ifndef PACKAGE_TEXT_H
#define PACKAGE_TEXT_H

enum { NUMBER_TEXT_SIZE = 32 }; /* a number with its separators */

/* Appends text to the terminated text in buffer. Returns 1, or 0 when it did
 * not fit whole: buffer then holds what fitted, terminated. */
int AppendText(char* buffer, unsigned size, const char* text);

/* Appends each text in turn up to a null one; 1 when all fitted whole. */
int AppendTexts(char* buffer, unsigned size, ...);

/* Letters a to z become A to Z; every other byte stays. */
void UpperCase(char* text);

/* The decimal digits of value, at least minDigits of them (zeros in front),
 * into text (NUMBER_TEXT_SIZE bytes). */
void DecimalText(unsigned long long value, int minDigits, char* text);

/* Decimal text of value with ',' after every three digits from the right,
 * into text (NUMBER_TEXT_SIZE bytes); returns text. */
char* GroupThousands(unsigned long long value, char* text);

/* The text after the last '\' of path. */
const char* FileNamePart(const char* path);

#endif
