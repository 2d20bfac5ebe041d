/* The installer's view of the operating system.
 *
 * The installer calls the ANSI Win32 interface by its own names (_lopen,
 * GetModuleFileNameA, MessageBoxA, ...). The win32 build takes them from
 * <windows.h>. The native build takes them from the stand-in in
 * platform/standin, which serves the same calls from POSIX so that the whole
 * installation can run in-process under test.
 *
 * PathExists(path) is not a Win32 name: nonzero when a file or directory is
 * at path. NtFamily() neither: nonzero on Windows NT and its successors,
 * 0 on Windows 95/98/Me (GetVersion's top bit).
 *
 * The installer links no C runtime DLL (the first Windows 95 has no
 * msvcrt.dll): the few C library functions its code and the compiler call
 * (memcpy, memset, memmove, memcmp, strlen, strchr, strrchr) are our own,
 * in platform/libc.cpp.
 */
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#ifdef _WIN32
#include <windows.h>

inline int PathExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

#else
#include "platform/standin/win32.h"
#endif

inline int NtFamily(void) { return !(GetVersion() & 0x80000000u); }

#endif
