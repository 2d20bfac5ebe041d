/* The installer's view of the operating system.
 *
 * The installer calls the ANSI Win32 interface by its own names (_lopen,
 * GetModuleFileNameA, MessageBoxA, ...). The win32 build takes them from
 * <windows.h>. The native build takes them from the stand-in in
 * platform/standin, which serves the same calls from POSIX so that the whole
 * installation can run in-process under test.
 *
 * Two helpers are not Win32 names:
 *   OpenStream(path, mode)  the C runtime's fopen, on the platform's paths;
 *   PathExists(path)        nonzero when a file or directory is at path.
 */
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#ifdef _WIN32
#include <windows.h>
#include <stdio.h>

inline FILE* OpenStream(const char* path, const char* mode) { return fopen(path, mode); }
inline int PathExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

#else
#include "platform/standin/win32.h"
#endif

#endif
