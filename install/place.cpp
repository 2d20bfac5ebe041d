/* The "Installing" dialog, the placement of the entries and the saver's
 * registration.
 *
 * Dialog 103 centres itself and posts itself the command of its hidden OK
 * button; handling that command does the whole placement and ends the
 * dialog. The index of an entry alone decides its installed name:
 *
 *   0       <Windows directory>\<ScrName>, the whole path upper-cased
 *   1       <DataDir>\<stem>.DAT
 *   k >= 2  <DataDir>\FILE<number><extension>, the number
 *           firstFileNumber + k - 2 with at least four digits, the extension
 *           at most 4 characters of the record, stopping at a NUL byte
 *
 * where DataDir is <Windows directory>\TORVANEK\LUMAVERN\<stem> and stem is
 * the installer's file name up to its last '.'.
 *
 * Placement works in two phases so that a failure never leaves half an
 * installation behind. First every entry is written (copied through one
 * 2048-byte block, or expanded) to a temporary file ~IN<index>.TMP in the
 * directory of its installed name. Only when all of them are complete is
 * each moved over its installed name: MoveFileExA with replace where the
 * system has it (Windows 95 exports it but does not implement it), otherwise
 * the old file is renamed to ~IN<index>.OLD, the new one moved in and the
 * old one deleted, or put back when the move fails. A failure in the first
 * phase deletes the temporary files and leaves every existing file as it
 * was; the directories made for the data files may stay.
 *
 * The work runs inside one message, so between blocks and entries the
 * dialog's queue is served: paint and system messages are dispatched, so the
 * dialog is drawn and the system never takes the installer for hung, while
 * keystrokes and clicks are dropped so that no input starts anything else.
 */
#include "install/place.h"

#include "expand/expand.h"
#include "install/failures.h"
#include "install/install.h"
#include "package/package.h"

#include <string.h>

typedef BOOL(WINAPI* MoveFileExCall)(LPCSTR, LPCSTR, DWORD);

/* Names shared by the two phases of one placement run. */
struct PlacementNames {
    char saverDir[PATH_SIZE]; /* the Windows directory and its '\', upper-cased: with ScrName, the
                                 saver's whole path is */
    char dataDir[PATH_SIZE];  /* DataDir and a '\', once made */
    char stem[PATH_SIZE];
    int haveDataDir;
    unsigned short firstFileNumber;
};

static char copyBlock[COPY_BLOCK_SIZE];
/* The placement's walks keep their sums here, not on the stack (a 64-bit
 * member there would make the frame realign itself). */
static TableWalk placementWalk;
/* GetLastError of the create, write or move that failed, for the message. */
static DWORD systemError;

static void ServeMessages(void) {
    MSG message;
    for (int i = 0; i < 32 && PeekMessageA(&message, NULL, 0, 0, PM_REMOVE); i++) {
        UINT m = message.message;
        if (m == WM_QUIT) {
            PostQuitMessage((int)message.wParam);
            return;
        }
        int input = (m >= WM_KEYFIRST && m <= WM_KEYLAST) || (m >= WM_MOUSEFIRST && m <= WM_MOUSELAST) ||
                    (m >= WM_NCMOUSEMOVE && m <= WM_NCMBUTTONDBLCLK);
        if (!input) DispatchMessageA(&message);
    }
}

INT_PTR CALLBACK InstallDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    if (message == WM_INITDIALOG) {
        char text[CAPTION_SIZE];
        SetWindowTextA(dialog, installer.caption);
        FormatText(text, CAPTION_SIZE, "%s Screen Saver", installer.title);
        SetDlgItemTextA(dialog, ID_SAVER_LINE, text);

        /* Each half is truncated on its own: 1024 and 283 give 512 - 141. */
        RECT rect = {0, 0, 0, 0};
        GetWindowRect(dialog, &rect);
        int width = rect.right - rect.left, height = rect.bottom - rect.top;
        MoveWindow(dialog, GetSystemMetrics(SM_CXSCREEN) / 2 - width / 2,
                   GetSystemMetrics(SM_CYSCREEN) / 2 - height / 2, width, height, FALSE);
        PostMessageA(dialog, WM_COMMAND, IDOK, (LPARAM)GetDlgItem(dialog, IDOK));
        return 1;
    }
    /* The dialog is there only while the work runs: serving its queue lets
     * the system ask it for a cursor, and without an answer the dialog's
     * class would put the arrow back. */
    if (message == WM_SETCURSOR) {
        SetCursor(LoadCursorA(NULL, IDC_WAIT));
        return 1;
    }
    if (message == WM_COMMAND && (wParam == IDOK || wParam == IDCANCEL)) {
        /* A second command (the system turns a close request into IDCANCEL)
         * arriving while the work runs starts nothing. */
        if (installer.placementStarted) return 1;
        installer.placementStarted = 1;
        /* The posted command comes before the first paint: draw first. */
        UpdateWindow(dialog);
        if (PlaceEntries(dialog)) RegisterSaver();
        EndDialog(dialog, (INT_PTR)wParam);
        return 1;
    }
    return 0;
}

int BuildDataDir(HWND dialog, char* path, char* base) {
    HINSTANCE instance = (HINSTANCE)(LONG_PTR)GetWindowLongA(dialog, GWL_HINSTANCE);
    char moduleName[PATH_SIZE];
    if (!ReadWindowsDirectory(path) || !ReadModuleName(instance, moduleName)) return 0;
    MakeInstallerStem(moduleName, base);
    if (!AppendBackslash(path, PATH_SIZE) || !AppendText(path, PATH_SIZE, "TORVANEK")) return 0;
    CreateDirectoryA(path, NULL);
    if (!AppendText(path, PATH_SIZE, "\\LUMAVERN")) return 0;
    CreateDirectoryA(path, NULL);
    if (!AppendTexts(path, PATH_SIZE, "\\", base, NULL)) return 0;
    CreateDirectoryA(path, NULL);
    return 1;
}

CopyResult CopyStoredEntry(HFILE package, HFILE target, char* block, DWORD storedSize) {
    unsigned long long total = 0;
    for (;;) {
        UINT got = _lread(package, block, COPY_BLOCK_SIZE);
        if (got == 0 || got > COPY_BLOCK_SIZE) return COPY_SHORT_DATA;
        total += got;
        UINT wanted = total > storedSize ? got - (UINT)(total - storedSize) : got;
        if (_lwrite(target, block, wanted) != wanted) return COPY_WRITE_FAILED;
        if (total >= storedSize) return COPY_DONE;
        ServeMessages();
    }
}

/* dir, then "~IN", the index and ending: the temporary or set-aside file of
 * an entry, beside its installed name and unlike any installed name. */
static int MakeSidePath(const char* dir, DWORD index, const char* ending, char* path) {
    char number[NUMBER_TEXT_SIZE];
    DecimalText(index, 1, number);
    path[0] = '\0';
    return AppendTexts(path, PATH_SIZE, dir, "~IN", number, ending, NULL);
}

static const char* EntryDir(const PlacementNames* names, DWORD index) {
    return EntryDirectory(index) == IN_WINDOWS_DIRECTORY ? names->saverDir : names->dataDir;
}

static FailureReason MakeEntryPaths(const PlacementNames* names, DWORD index, const EntryRecord* record,
                                    char* installed, char* temporary) {
    const char* dir = EntryDir(names, index);
    installed[0] = '\0';
    if (!AppendText(installed, PATH_SIZE, dir)) return FAIL_TOO_LONG;
    EntryName made =
        AppendEntryName(installed, index, names->firstFileNumber, record->extension, installer.scrName, names->stem);
    if (made == ENTRY_NAME_BAD_EXTENSION) return FAIL_BAD_NAME;
    if (made != ENTRY_NAME_MADE || !MakeSidePath(dir, index, ".TMP", temporary)) return FAIL_TOO_LONG;
    return FAIL_NONE;
}

static int IsDirectory(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static FailureReason WriteStoredEntry(HFILE package, const EntryRecord* record, const char* temporary) {
    LONG offset = (LONG)record->dataOffset;
    if (offset < 0 || _llseek(package, offset, FILE_BEGIN) != offset) return FAIL_DAMAGED;
    HFILE target = _lcreat(temporary, 0);
    if (target == HFILE_ERROR) {
        systemError = GetLastError();
        return FAIL_CREATE;
    }
    CopyResult copied = CopyStoredEntry(package, target, copyBlock, record->storedSize);
    if (copied == COPY_WRITE_FAILED) systemError = GetLastError();
    if (_lclose(target) == HFILE_ERROR && copied == COPY_DONE) {
        systemError = GetLastError();
        copied = COPY_WRITE_FAILED;
    }
    return copied == COPY_DONE ? FAIL_NONE : copied == COPY_SHORT_DATA ? FAIL_DAMAGED : FAIL_WRITE;
}

static FailureReason ExpandedResult(ExpandResult expanded) {
    systemError = ExpandSystemError();
    switch (expanded) {
    case EXPAND_DONE:
        return FAIL_NONE;
    case EXPAND_NOT_STARTED:
        return FAIL_UNREADABLE;
    case EXPAND_TARGET_FAILED:
        return FAIL_CREATE;
    case EXPAND_WRITE_FAILED:
        return FAIL_WRITE;
    default:
        return FAIL_DAMAGED;
    }
}

/* Phase one. *count is the number of entries whose temporary file may exist. */
static int WriteTemporaryFiles(HWND dialog, HINSTANCE instance, PlacementNames* names, DWORD* count) {
    HFILE package = OpenPackage(instance, PACKAGE_RESOURCE_ID, PACKAGE_RESOURCE_TYPE);
    if (package == HFILE_ERROR) return SetFailure(FAIL_UNREADABLE, installer.scrName);
    /* Expansion writes through its own stream: serve the queue after each
     * of its blocks as after each copied one. */
    SetExpandBlockHook(ServeMessages);
    char installed[PATH_SIZE], temporary[PATH_SIZE];
    EntryRecord record;
    FailureReason reason = ReadFirstFileNumber(package, &names->firstFileNumber) ? FAIL_NONE : FAIL_DAMAGED;
    const char* subject = installer.scrName;
    for (DWORD index = 0; reason == FAIL_NONE; index++) {
        TableStep step = ReadTableStep(package, &placementWalk, &record);
        if (step == TABLE_CUT_SHORT) reason = FAIL_DAMAGED;
        if (step != TABLE_ENTRY) break;
        *count = index + 1;
        if (EntryDirectory(index) == IN_DATA_DIRECTORY && !names->haveDataDir) {
            if (!BuildDataDir(dialog, names->dataDir, names->stem) || !AppendBackslash(names->dataDir, PATH_SIZE)) {
                reason = FAIL_TOO_LONG;
                subject = names->saverDir;
                break;
            }
            names->haveDataDir = 1;
        }
        reason = MakeEntryPaths(names, index, &record, installed, temporary);
        if (reason != FAIL_NONE) {
            subject = reason == FAIL_TOO_LONG ? EntryDir(names, index) : "";
            break;
        }
        subject = installed;
        if (IsDirectory(installed)) {
            /* What the system says when a file is created over a directory. */
            systemError = ERROR_ACCESS_DENIED;
            reason = FAIL_CREATE;
            break;
        }

        LONG next = _llseek(package, 0, FILE_CURRENT);
        if (record.expandedSize != 0) {
            _lclose(package);
            reason = ExpandedResult(
                ExpandEntry(instance, record.dataOffset, record.expandedSize, record.storedSize, temporary));
            package = OpenPackage(instance, PACKAGE_RESOURCE_ID, PACKAGE_RESOURCE_TYPE);
        } else {
            reason = WriteStoredEntry(package, &record, temporary);
        }
        if (reason == FAIL_NONE && (package == HFILE_ERROR || next < 0 || _llseek(package, next, FILE_BEGIN) != next))
            reason = FAIL_UNREADABLE;
        ServeMessages();
    }
    if (package != HFILE_ERROR) _lclose(package);
    return reason == FAIL_NONE ? 1 : SetSystemFailure(reason, subject, systemError);
}

static void RemoveTemporaryFiles(const PlacementNames* names, DWORD from, DWORD count) {
    char path[PATH_SIZE];
    for (DWORD index = from; index < count && (index == 0 || names->haveDataDir); index++)
        if (MakeSidePath(EntryDir(names, index), index, ".TMP", path)) DeleteFileA(path);
}

/* Keeps the error of the move that made it fail for the message. */
static int MoveIntoPlace(MoveFileExCall moveFileEx, const char* temporary, const char* installed, const char* aside) {
    if (moveFileEx && moveFileEx(temporary, installed, MOVEFILE_REPLACE_EXISTING)) return 1;
    if (!PathExists(installed)) {
        if (MoveFileA(temporary, installed)) return 1;
        systemError = GetLastError();
        return 0;
    }
    DeleteFileA(aside); /* left by an earlier run that was cut off */
    if (!MoveFileA(installed, aside)) {
        systemError = GetLastError();
        return 0;
    }
    if (MoveFileA(temporary, installed)) {
        DeleteFileA(aside);
        return 1;
    }
    systemError = GetLastError();
    MoveFileA(aside, installed);
    return 0;
}

/* Phase two: the table is walked again for the names. */
static int PutFilesInPlace(HINSTANCE instance, const PlacementNames* names, DWORD count) {
    HMODULE kernel = LoadLibraryA(KERNEL_NAME);
    MoveFileExCall moveFileEx = kernel ? (MoveFileExCall)(void (*)(void))GetProcAddress(kernel, "MoveFileExA") : NULL;
    HFILE package = OpenPackage(instance, PACKAGE_RESOURCE_ID, PACKAGE_RESOURCE_TYPE);
    unsigned short firstFileNumber;
    FailureReason reason =
        package != HFILE_ERROR && ReadFirstFileNumber(package, &firstFileNumber) ? FAIL_NONE : FAIL_UNREADABLE;
    char installed[PATH_SIZE], temporary[PATH_SIZE], aside[PATH_SIZE];
    EntryRecord record;
    DWORD index = 0;
    for (; reason == FAIL_NONE && index < count; index++) {
        if (ReadTableStep(package, &placementWalk, &record) != TABLE_ENTRY ||
            MakeEntryPaths(names, index, &record, installed, temporary) != FAIL_NONE ||
            !MakeSidePath(EntryDir(names, index), index, ".OLD", aside))
            reason = index == 0 ? FAIL_UNREADABLE : FAIL_REPLACE;
        else if (!MoveIntoPlace(moveFileEx, temporary, installed, aside))
            reason = FAIL_REPLACE;
        if (reason != FAIL_NONE) break;
        ServeMessages();
    }
    if (package != HFILE_ERROR) _lclose(package);
    if (kernel) FreeLibrary(kernel);
    if (reason == FAIL_NONE) return 1;
    RemoveTemporaryFiles(names, index, count);
    /* Before the first move nothing has changed yet. */
    return SetSystemFailure(reason, reason == FAIL_REPLACE ? installed : installer.scrName, systemError);
}

int PlaceEntries(HWND dialog) {
    HINSTANCE instance = (HINSTANCE)(LONG_PTR)GetWindowLongA(dialog, GWL_HINSTANCE);
    PlacementNames names;
    memset(&names, 0, sizeof names);
    systemError = 0;
    if (!ReadWindowsDirectory(names.saverDir) || !AppendBackslash(names.saverDir, PATH_SIZE))
        return SetFailure(FAIL_NO_WINDOWS, "");
    UpperCase(names.saverDir);

    DWORD count = 0;
    if (!WriteTemporaryFiles(dialog, instance, &names, &count)) {
        RemoveTemporaryFiles(&names, 0, count);
        return 0;
    }
    return PutFilesInPlace(instance, &names, count);
}

int RegisterSaver(void) {
    char path[PATH_SIZE], shortPath[PATH_SIZE];
    if (!ReadWindowsDirectory(path)) return 1;
    if (!AppendBackslash(path, PATH_SIZE) || !AppendText(path, PATH_SIZE, installer.scrName))
        return SetFailure(FAIL_PROFILE, installer.scrName);
    /* Without a short form (a file system that has none) the long path serves. */
    DWORD length = GetShortPathNameA(path, shortPath, PATH_SIZE);
    const char* registered = length > 0 && length < PATH_SIZE ? shortPath : path;
    if (!WritePrivateProfileStringA("boot", "SCRNSAVE.EXE", registered, "system.ini"))
        return SetFailure(FAIL_PROFILE, installer.scrName);
    if (!SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, 1, NULL, SPIF_UPDATEINIFILE))
        return SetFailure(FAIL_SETTING, installer.scrName);
    return 1;
}
