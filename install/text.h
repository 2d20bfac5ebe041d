/* Bounded text for the installer's messages and paths (text.cpp), and the
 * two system paths every step reads. Every write is bounded by the buffer's
 * size; the helpers shared with the tool are in package/text.h, the names
 * derived from the installer's file name in package/names.h.
 */
#ifndef INSTALL_TEXT_H
#define INSTALL_TEXT_H

#include "package/names.h"
#include "platform/platform.h"

enum {
    MESSAGE_SIZE = 512, /* every message text */
    CAPTION_SIZE = 256  /* every caption and dialog text */
};

/* Copies pattern into out, each "%s" replaced by the next argument, a
 * terminated text (one argument for each "%s"). A text that does not fit is
 * cut; out always ends with its terminator. */
void FormatText(char* out, unsigned size, const char* pattern, ...);

/* Appends '\' unless path already ends in one (a drive root). 0 when full. */
int AppendBackslash(char* path, unsigned size);

/* The library that has GetDiskFreeSpaceExA and MoveFileExA, where the
 * system has them. */
extern const char KERNEL_NAME[];

/* GetModuleFileNameA / GetWindowsDirectoryA into a PATH_SIZE buffer. 0 when
 * the call fails or its answer does not fit. */
int ReadModuleName(HINSTANCE instance, char* path);
int ReadWindowsDirectory(char* path);

#endif
