/* The "Installing" dialog, the placement of the entries and the saver's
 * registration.
 *
 * Dialog 103 centres itself and posts itself the command of its hidden OK
 * button; handling that command does the whole placement and ends the
 * dialog. The index of an entry alone decides its installed name
 * (package/names.h):
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
 * One installer of this kind places at a time: a named lock is taken before
 * the first file is touched and given up after the registration. A second
 * installer waits for it with its dialog drawn and its queue served.
 *
 * Placement is all or nothing. Every file this run makes beside an installed
 * name is called ~IN<n>.TMP (a new file) or ~IN<n>.OLD (an old file set
 * aside), n = base + index, base the first number for which none of the
 * run's names exists: a file of another run, or anyone's file of such a
 * name, is never opened, replaced or deleted. Set-aside files of earlier
 * runs that are no longer in use are deleted first.
 *
 *   1. Every entry is written (copied through one 2048-byte block, or
 *      expanded) to its new file, which is first created only if it does
 *      not exist, and closed.
 *   2. Every existing installed file is set aside (renamed; a read-only one
 *      keeps its attribute), then every new file is renamed to its name.
 *   3. Only then are the set-aside files deleted (read-only cleared: the
 *      user agreed to the replacement). One that is in use (a running saver
 *      on the NT family) is deleted at the next restart: MoveFileExA on the
 *      NT family, a "NUL=" line in WININIT.INI's [rename] section on
 *      Windows 95/98; failing that, by the next run.
 *
 * A failure in step 1 or 2 moves every new file out again, puts every
 * set-aside file back, deletes the new files and removes the directories
 * this run created (when empty): the old installation is as it was. A file
 * in use fails step 2, so the message asks to close the program using it.
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

/* One placement run. */
struct PlacementRun {
    char saverDir[PATH_SIZE]; /* the Windows directory and its '\', upper-cased */
    char dataDir[PATH_SIZE];  /* DataDir and a '\', once made */
    char stem[PATH_SIZE];
    int haveDataDir;
    int madeLevels;           /* bit k: level k of DataDir was created by this run */
    unsigned levelEnds[3];    /* where each level's name ends in dataDir */
    unsigned short firstFileNumber;
    DWORD count;              /* entries in the table */
    DWORD base;               /* the side files of entry i are ~IN<base + i> */
    DWORD created;            /* entries whose new file this run created */
    DWORD moved;              /* entries whose new file is in place */
    int restoring;            /* putting back, and every old file is back so far */
    /* The paths of the entry a step works on: after a failure, its own. */
    char installed[PATH_SIZE], temporary[PATH_SIZE], aside[PATH_SIZE];
};

static PlacementRun run;
static char copyBlock[COPY_BLOCK_SIZE];
/* The placement's walks keep their sums here, not on the stack (a 64-bit
 * member there would make the frame realign itself). */
static TableWalk placementWalk;
/* WININIT.INI's [rename] section with one line more. */
static char pendingRenames[4096];

/* GetLastError of the create or write that failed, for the message. */
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
        /* Without a lock (no such object can be made) the run still never
         * touches another run's files. */
        HANDLE lock = CreateMutexA(NULL, FALSE, INSTALLER_CLASS);
        if (lock)
            while (MsgWaitForMultipleObjects(1, &lock, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
                ServeMessages();
        if (PlaceEntries(dialog)) RegisterSaver();
        /* Handles end with the process; the lock must be free before. */
        if (lock) ReleaseMutex(lock);
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
    const char* const levels[] = {DATA_DIR_TOP, DATA_DIR_MIDDLE, base};
    for (int level = 0; level < 3; level++) {
        if (!AppendBackslash(path, PATH_SIZE) || !AppendText(path, PATH_SIZE, levels[level])) return 0;
        run.levelEnds[level] = (unsigned)strlen(path);
        if (CreateDirectoryA(path, NULL)) run.madeLevels |= 1 << level;
    }
    return 1;
}

/* Removes the levels of DataDir this run created, innermost first, each
 * only when it is empty. */
static void RemoveMadeLevels(void) {
    for (int level = 2; level >= 0; level--) {
        if (!(run.madeLevels >> level & 1)) continue;
        run.dataDir[run.levelEnds[level]] = '\0';
        RemoveDirectoryA(run.dataDir);
    }
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

static const char* EntryDir(DWORD index) {
    return EntryDirectory(index) == IN_WINDOWS_DIRECTORY ? run.saverDir : run.dataDir;
}

/* The new (".TMP") or set-aside (".OLD") file of an entry, beside its
 * installed name and unlike any installed name. */
static int MakeSidePath(DWORD index, const char* ending, char* path) {
    char number[NUMBER_TEXT_SIZE];
    DecimalText(run.base + index, 1, number);
    path[0] = '\0';
    return AppendTexts(path, PATH_SIZE, EntryDir(index), "~IN", number, ending, NULL);
}

/* The entry's installed, new and set-aside paths into the run's buffers. */
static FailureReason MakeEntryPaths(DWORD index, const EntryRecord* record) {
    char* installed = run.installed;
    installed[0] = '\0';
    if (!AppendText(installed, PATH_SIZE, EntryDir(index))) return FAIL_TOO_LONG;
    EntryName made = AppendEntryName(installed, index, run.firstFileNumber, record->extension, installer.scrName, run.stem);
    if (made == ENTRY_NAME_BAD_EXTENSION) return FAIL_BAD_NAME;
    if (made != ENTRY_NAME_MADE || !MakeSidePath(index, ".TMP", run.temporary) || !MakeSidePath(index, ".OLD", run.aside))
        return FAIL_TOO_LONG;
    return FAIL_NONE;
}

/* The first base from which no name of the run exists yet. */
static void ChooseBase(void) {
    static const char* const endings[] = {".TMP", ".OLD"};
    char path[PATH_SIZE];
    for (DWORD index = 0; index < run.count * 2; index++) {
        if (MakeSidePath(index / 2, endings[index & 1], path) && PathExists(path)) {
            run.base += index / 2 + 1;
            index = (DWORD)-1;
        }
    }
}

/* Deletes a file, read-only or not. */
static BOOL DiscardFile(const char* path) {
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    return DeleteFileA(path);
}

/* Deletes the set-aside files (~IN<digits>.OLD) of earlier runs in dir
 * that are no longer in use. */
static void DeleteEarlierSetAsides(const char* dir) {
    char path[PATH_SIZE];
    WIN32_FIND_DATAA found;
    FormatText(path, PATH_SIZE, "%s~IN*.OLD", dir);
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const char* end = found.cFileName + 3;
        while (*end >= '0' && *end <= '9') end++;
        if (end > found.cFileName + 3 && memcmp(end, ".OLD", 5) == 0 &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            FormatText(path, PATH_SIZE, "%s%s", dir, found.cFileName);
            DiscardFile(path);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

/* Deletes the file at path at the next restart. */
static void DeleteAtRestart(const char* path) {
    if ((LONG)GetVersion() >= 0) {
        MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
        return;
    }
    /* WININIT.INI takes short paths. The section is written back whole:
     * a key written on its own would replace another program's first
     * "NUL=" line. A section too long for the buffer is left alone. */
    char shortPath[PATH_SIZE];
    DWORD length = GetShortPathNameA(path, shortPath, PATH_SIZE);
    if (length == 0 || length >= PATH_SIZE) return;
    DWORD used = GetPrivateProfileSectionA("rename", pendingRenames, sizeof pendingRenames, "WININIT.INI");
    if (used + length + 6 > sizeof pendingRenames) return;
    FormatText(pendingRenames + used, length + 5, "NUL=%s", shortPath);
    pendingRenames[used + length + 5] = '\0';
    WritePrivateProfileSectionA("rename", pendingRenames, "WININIT.INI");
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

/* Creates the entry's new file, only if no file of its name exists. */
static int CreateNewFile(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        systemError = GetLastError();
        return 0;
    }
    CloseHandle(file);
    return 1;
}

/* Makes DataDir once, for the entries from index 1 on. */
static int MakeDataDir(HWND dialog) {
    if (!run.haveDataDir) {
        if (!BuildDataDir(dialog, run.dataDir, run.stem) || !AppendBackslash(run.dataDir, PATH_SIZE)) return 0;
        run.haveDataDir = 1;
        DeleteEarlierSetAsides(run.dataDir);
    }
    return 1;
}

/* Step 1: every entry into its new file. */
static int WriteNewFiles(HWND dialog, HINSTANCE instance) {
    HFILE package = OpenPackage();
    if (package == HFILE_ERROR) return SetFailure(FAIL_UNREADABLE, installer.scrName);
    /* Expansion writes through its own stream: serve the queue after each
     * of its blocks as after each copied one. */
    SetExpandBlockHook(ServeMessages);
    EntryRecord record;
    FailureReason reason = ReadFirstFileNumber(package, &run.firstFileNumber) ? FAIL_NONE : FAIL_DAMAGED;
    const char* subject = installer.scrName;
    DWORD index = 0;
    for (; reason == FAIL_NONE; index++) {
        TableStep step = ReadTableStep(package, &placementWalk, &record);
        if (step == TABLE_CUT_SHORT) reason = FAIL_DAMAGED;
        if (step != TABLE_ENTRY) break;
        if (EntryDirectory(index) == IN_DATA_DIRECTORY && !MakeDataDir(dialog)) {
            reason = FAIL_TOO_LONG;
            subject = run.saverDir;
            break;
        }
        reason = MakeEntryPaths(index, &record);
        if (reason != FAIL_NONE) {
            subject = reason == FAIL_TOO_LONG ? EntryDir(index) : "";
            break;
        }
        subject = run.installed;
        /* Over a directory the system says access is denied. */
        systemError = ERROR_ACCESS_DENIED;
        if (IsDirectory(run.installed) || !CreateNewFile(run.temporary)) {
            reason = FAIL_CREATE;
            break;
        }
        run.created = index + 1;

        LONG next = _llseek(package, 0, FILE_CURRENT);
        if (record.expandedSize != 0) {
            _lclose(package);
            reason = ExpandedResult(
                ExpandEntry(instance, record.dataOffset, record.expandedSize, record.storedSize, run.temporary));
            package = OpenPackage();
        } else {
            reason = WriteStoredEntry(package, &record, run.temporary);
        }
        if (reason == FAIL_NONE && (package == HFILE_ERROR || next < 0 || _llseek(package, next, FILE_BEGIN) != next))
            reason = FAIL_UNREADABLE;
        ServeMessages();
    }
    if (package != HFILE_ERROR) _lclose(package);
    run.count = index;
    return reason == FAIL_NONE ? 1 : SetSystemFailure(reason, subject, systemError);
}

/* What one pass over the placed entries does to each. */
enum PlacementStep { SET_ASIDE, MOVE_IN, PUT_BACK, DELETE_OLD };

/* Runs step on every entry, walking the table (from its position table)
 * again for the names. Returns the number of entries it was done to: all of
 * them, or the index of the first that failed (its paths stay in run).
 * PUT_BACK goes on past a file it cannot put back. */
static DWORD RunStep(HFILE package, LONG table, int step) {
    EntryRecord record;
    DWORD index = 0;
    if (_llseek(package, table, FILE_BEGIN) != table) return 0;
    for (; index < run.count; index++) {
        if (ReadTableStep(package, &placementWalk, &record) != TABLE_ENTRY || MakeEntryPaths(index, &record) != FAIL_NONE)
            break;
        const char *installed = run.installed, *aside = run.aside;
        if (step == SET_ASIDE) {
            if (PathExists(installed) && !MoveFileA(installed, aside)) break;
        } else if (step == MOVE_IN) {
            if (!MoveFileA(run.temporary, installed)) break;
        } else if (step == PUT_BACK) {
            if (index < run.moved) MoveFileA(installed, run.temporary);
            /* The first file that stays aside is the one the message names. */
            if (PathExists(aside) && !MoveFileA(aside, installed) && run.restoring) {
                run.restoring = 0;
                SetFailure(FAIL_NOT_RESTORED, installed, aside);
            }
        } else if (PathExists(aside) && !DiscardFile(aside)) {
            DeleteAtRestart(aside);
        }
        ServeMessages();
    }
    return index;
}

/* Steps 2 and 3, after a put-back when step 2 fails. */
static int PutFilesInPlace(void) {
    HFILE package = OpenPackage();
    unsigned short firstFileNumber;
    if (package == HFILE_ERROR || !ReadFirstFileNumber(package, &firstFileNumber)) {
        if (package != HFILE_ERROR) _lclose(package);
        return SetFailure(FAIL_UNREADABLE, installer.scrName);
    }
    LONG table = _llseek(package, 0, FILE_CURRENT);
    int placed = 0;
    if (RunStep(package, table, SET_ASIDE) == run.count) {
        run.moved = RunStep(package, table, MOVE_IN);
        if (run.moved == run.count) {
            RunStep(package, table, DELETE_OLD);
            placed = 1;
        }
    }
    if (!placed) {
        SetFailure(FAIL_IN_USE, run.installed);
        run.restoring = 1;
        if (RunStep(package, table, PUT_BACK) < run.count && run.restoring)
            SetFailure(FAIL_NOT_RESTORED, run.installed, run.aside);
    }
    _lclose(package);
    return placed;
}

int PlaceEntries(HWND dialog) {
    HINSTANCE instance = (HINSTANCE)(LONG_PTR)GetWindowLongA(dialog, GWL_HINSTANCE);
    memset(&run, 0, sizeof run);
    systemError = 0;
    if (!ReadWindowsDirectory(run.saverDir) || !AppendBackslash(run.saverDir, PATH_SIZE))
        return SetFailure(FAIL_NO_WINDOWS, "");
    UpperCase(run.saverDir);
    DeleteEarlierSetAsides(run.saverDir);
    run.count = installer.entryCount;
    /* The run's names are chosen once DataDir is there to look in. */
    if (run.count >= 2 && !MakeDataDir(dialog)) {
        SetFailure(FAIL_TOO_LONG, run.saverDir);
    } else {
        ChooseBase();
        if (WriteNewFiles(dialog, instance) && PutFilesInPlace()) return 1;
    }
    char path[PATH_SIZE];
    for (DWORD index = 0; index < run.created; index++)
        if (MakeSidePath(index, ".TMP", path)) DeleteFileA(path);
    RemoveMadeLevels();
    return 0;
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
