/* Native stand-in for the part of the ANSI Win32 interface the installer uses.
 *
 * Types keep their Win32 widths (LONG and DWORD are 32 bits, handles are
 * pointers). Paths are Windows paths: "C:\WINDOWS\X.SCR". Each drive letter
 * is a folder below the test's root directory, and every name is looked up
 * without regard to case, as Windows file names are. Tests drive and observe
 * the stand-in through platform/standin/control.h.
 */
#ifndef PLATFORM_STANDIN_WIN32_H
#define PLATFORM_STANDIN_WIN32_H

#include <stdint.h>
#include <stdio.h>

typedef int BOOL;
typedef int INT;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef unsigned char BYTE;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef const char* LPCCH;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef int HFILE;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef intptr_t INT_PTR;
typedef intptr_t LONG_PTR;
typedef uint64_t ULONGLONG;

typedef struct StandinModule* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct StandinWindow* HWND;
typedef struct StandinIcon* HICON;
typedef struct StandinCursor* HCURSOR;
typedef struct StandinBrush* HBRUSH;
typedef struct StandinGdiObject* HGDIOBJ;
typedef struct StandinMenu* HMENU;
typedef void* HLOCAL;
typedef void* LPSECURITY_ATTRIBUTES;
typedef intptr_t (*FARPROC)(void);

#define TRUE 1
#define FALSE 0
#define WINAPI
#define CALLBACK
#define MAX_PATH 260

#define HFILE_ERROR ((HFILE)-1)
#define OF_READ 0x0000
#define OF_WRITE 0x0001
#define OF_READWRITE 0x0002
#define OF_SHARE_DENY_NONE 0x0040
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define LMEM_FIXED 0x0000
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_NORMAL 0x80

/* kernel32: files and the module's own path */
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
HMODULE GetModuleHandleA(LPCSTR name);
HFILE _lopen(LPCSTR path, int mode);
HFILE _lcreat(LPCSTR path, int attribute);
LONG _llseek(HFILE file, LONG offset, int origin);
UINT _lread(HFILE file, LPVOID buffer, UINT count);
UINT _lwrite(HFILE file, LPCCH buffer, UINT count);
HFILE _lclose(HFILE file);
HLOCAL LocalAlloc(UINT flags, size_t bytes);
HLOCAL LocalFree(HLOCAL block);
DWORD GetFileAttributesA(LPCSTR path);
BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security);
BOOL DeleteFileA(LPCSTR path);
BOOL MoveFileA(LPCSTR from, LPCSTR to);
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);

/* C runtime helpers on the platform's paths (see platform/platform.h) */
FILE* OpenStream(const char* path, const char* mode);
int PathExists(const char* path);

#endif
