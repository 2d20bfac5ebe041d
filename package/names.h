/* The names an installation gives its files, derived from the installer's
 * own file name and the entry's index; no platform needed, so the authoring
 * tool derives exactly the names the installer will use.
 *
 *   entry 0      <Windows directory>\<ScrName>
 *   entry 1      <DataDir>\<stem>.DAT
 *   entry k >= 2 <DataDir>\FILE<number><extension>
 *
 * ScrName is the installer's file name up to its FIRST '.', with ".SCR",
 * upper-cased (my.clouds.exe installs MY.SCR); stem is the file name up to
 * its LAST '.', case kept (my.clouds); DataDir is <Windows directory>\
 * TORVANEK\LUMAVERN\<stem>; number is firstFileNumber + k - 2 with at least
 * four digits; the extension is at most 4 bytes of the record, ending early
 * at a NUL. Upper-casing touches the letters a to z only: text is
 * single-byte ANSI in whatever code page the system uses.
 */
#ifndef PACKAGE_NAMES_H
#define PACKAGE_NAMES_H

#include "package/layout.h"
#include "package/text.h"

#define DATA_DIR_TOP "TORVANEK"
#define DATA_DIR_MIDDLE "LUMAVERN"

/* The installer's file name without its last extension, case kept:
 * "D:\DOWNLOAD\my.clouds.exe" gives "my.clouds". stem holds PATH_SIZE. */
void MakeInstallerStem(const char* moduleName, char* stem);

/* The installer's file name up to its first '.', with ".SCR", upper-cased:
 * "D:\DOWNLOAD\my.clouds.exe" gives "MY.SCR". scrName holds PATH_SIZE. */
void MakeScrName(const char* moduleName, char* scrName);

/* ScrName before its upper-casing: "Clouds.SCR" for Clouds.exe. */
void MakeSpelledScrName(const char* moduleName, char* name);

/* 1 when the installer's file name yields a stem and a saver base (the name
 * up to its first '.') that Windows keeps as they are: not empty, not ending
 * in '.' or ' ' (which also rules out "." and ".."), and no base that is a
 * device (NUL, CON, AUX, PRN, COM0-COM9, LPT0-LPT9, any case). The
 * installer also reads superscript digits as digits (install/main.cpp). */
int IsUsableInstallerName(const char* moduleName);

/* What is wrong with an extension as the end of a file name. Windows
 * refuses control characters and " * / : < > ? \ | in names, and drops
 * trailing dots and spaces, so that ".", "...." or ".A " would land under
 * another name than the one meant. */
enum ExtensionCheck {
    EXTENSION_GOOD = 0,
    EXTENSION_CONTROL,   /* a byte below 0x20 */
    EXTENSION_RESERVED,  /* one of " * / : < > ? \ | */
    EXTENSION_TRAILING   /* ends in a dot or a space (so also: only dots) */
};

/* Checks the length bytes at text; *at (may be null) gets the index of the
 * offending byte. */
ExtensionCheck CheckExtension(const char* text, uint32_t length, uint32_t* at);

/* The bytes of a record's extension that name the file: up to 4, ending
 * early at a NUL. */
uint32_t ExtensionLength(const char* extension);

/* Which directory entry index installs into. */
enum EntryPlace { IN_WINDOWS_DIRECTORY, IN_DATA_DIRECTORY };
EntryPlace EntryDirectory(uint32_t index);

enum EntryName {
    ENTRY_NAME_MADE = 0,
    ENTRY_NAME_BAD_EXTENSION, /* CheckExtension refuses the record's extension */
    ENTRY_NAME_TOO_LONG       /* the name does not fit PATH_SIZE */
};

/* Appends the file name entry index installs as to the terminated path
 * (PATH_SIZE bytes), from the installer's ScrName and stem (see above).
 * ENTRY_NAME_BAD_EXTENSION leaves path as it was; ENTRY_NAME_TOO_LONG
 * leaves what fitted. */
EntryName AppendEntryName(char* path, uint32_t index, uint16_t firstFileNumber, const char* extension,
                          const char* scrName, const char* stem);

#endif
