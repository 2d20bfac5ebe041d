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
 * Placement is all or nothing, also when the installer dies: the lock and
 * the journal (journal.cpp) let the next run finish or undo a run cut off.
 * Every file this run makes beside an installed name is called ~IN<n>.TMP
 * (a new file) or ~IN<n>.OLD (an old file set aside), n = base + index,
 * base the first number for which none of the run's names exists: a file
 * of another run, or anyone's file of such a name, is never opened,
 * replaced or deleted.
 *
 *   0. Every path is made and checked for length, and every entry, with
 *      the directory levels still to be made, goes into the journal:
 *      nothing has been changed yet.
 *   1. The levels are made, then every entry is written (copied through one
 *      2048-byte block, or expanded) to its new file, which is first
 *      created only if it does not exist, flushed and closed.
 *   2. Every old installed file is set aside (renamed; a read-only one keeps
 *      its attribute), then every new file is renamed to its name.
 *   3. Committed: the set-aside files are deleted (read-only cleared: the
 *      user agreed to the replacement). One that is in use (a running saver
 *      on the NT family) is deleted at the next restart, and by a later run
 *      when it is still there.
 *
 * A failure in step 1 or 2 moves every new file out again, puts every
 * set-aside file back, deletes the new files and removes the directories
 * this run made (when empty): the old installation is as it was. A file in
 * use fails step 2, so the message asks to close the program using it.
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
#include "install/journal.h"
#include "package/package.h"

#include <string.h>

/* One placement run. */
struct PlacementRun {
    char saverDir[PATH_SIZE]; /* the Windows directory and its '\', upper-cased */
    char dataDir[PATH_SIZE];  /* DataDir and a '\' */
    char stem[PATH_SIZE];
    unsigned levelEnds[3];    /* where each level's name ends in dataDir */
    unsigned short firstFileNumber;
    DWORD count;              /* entries in the table */
    DWORD base;               /* the side files of entry i are ~IN<base + i> */
    /* The paths of the entry a step works on: after a failure, its own. */
    char installed[PATH_SIZE], temporary[PATH_SIZE], aside[PATH_SIZE];
};

static PlacementRun run;
static char copyBlock[COPY_BLOCK_SIZE];
/* The placement's walks keep their sums here, not on the stack (a 64-bit
 * member there would make the frame realign itself). */
static TableWalk placementWalk;

/* GetLastError of the call that failed, for the message; 0 for none. */
static DWORD systemError;

void ServeMessages(void) {
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
    const char* const levels[] = {DATA_DIR_TOP, DATA_DIR_MIDDLE, base};
    for (int level = 0; level < 3; level++) {
        if (!AppendBackslash(path, PATH_SIZE) || !AppendText(path, PATH_SIZE, levels[level])) return 0;
        run.levelEnds[level] = (unsigned)strlen(path);
    }
    return 1;
}

/* Level k of DataDir (0 the top) into path. */
static const char* LevelPath(int level, char* path) {
    memcpy(path, run.dataDir, run.levelEnds[level]);
    path[run.levelEnds[level]] = '\0';
    return path;
}

static int IsDirectory(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

/* Makes the levels of DataDir that are missing. */
static int MakeDataDir(void) {
    char path[PATH_SIZE];
    for (int level = 0; level < 3; level++) {
        if (!CreateDirectoryA(LevelPath(level, path), NULL)) {
            DWORD error = GetLastError();
            if (!IsDirectory(path)) return SetSystemFailure(FAIL_DIRECTORY, path, error);
        }
    }
    return 1;
}

CopyResult CopyStoredEntry(HFILE package, HFILE target, char* block, DWORD storedSize) {
    unsigned long long total = 0;
    for (;;) {
        UINT got = _lread(package, block, COPY_BLOCK_SIZE);
        if (got == 0 || got > COPY_BLOCK_SIZE) return COPY_SHORT_DATA;
        total += got;
        UINT wanted = total > storedSize ? got - (UINT)(total - storedSize) : got;
        UINT put = _lwrite(target, block, wanted);
        if (put != wanted) {
            /* A short count is no failure of the call: no reason to give. */
            systemError = put == (UINT)HFILE_ERROR ? GetLastError() : 0;
            return COPY_WRITE_FAILED;
        }
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

static FailureReason WriteStoredEntry(HFILE package, const EntryRecord* record, const char* temporary) {
    LONG offset = (LONG)record->dataOffset;
    if (offset < 0 || _llseek(package, offset, FILE_BEGIN) != offset) return FAIL_DAMAGED;
    HFILE target = _lcreat(temporary, 0);
    if (target == HFILE_ERROR) {
        systemError = GetLastError();
        return FAIL_CREATE;
    }
    CopyResult copied = CopyStoredEntry(package, target, copyBlock, record->storedSize);
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

/* Flushes a new file to disk before it is moved: the journal's word that
 * it is whole must not come before its bytes. */
static int FlushNewFile(const char* path) {
    HFILE file = _lopen(path, OF_WRITE | OF_SHARE_DENY_NONE);
    int flushed = file != HFILE_ERROR && FlushFileBuffers((HANDLE)(INT_PTR)file);
    systemError = GetLastError();
    if (file != HFILE_ERROR) _lclose(file);
    return flushed;
}

/* Walks the entry table: journaling, every entry's line into the journal
 * (the step that changes nothing); else every entry into its new file. */
static int WalkEntries(HINSTANCE instance, int journaling) {
    HFILE package = OpenPackage();
    if (package == HFILE_ERROR) return SetFailure(FAIL_UNREADABLE, installer.scrName);
    /* Expansion writes through its own stream: serve the queue after each
     * of its blocks as after each copied one. */
    SetExpandBlockHook(ServeMessages);
    EntryRecord record;
    FailureReason reason = ReadFirstFileNumber(package, &run.firstFileNumber) ? FAIL_NONE : FAIL_DAMAGED;
    const char* subject = installer.scrName;
    for (DWORD index = 0; reason == FAIL_NONE; index++) {
        TableStep step = ReadTableStep(package, &placementWalk, &record);
        if (step == TABLE_CUT_SHORT) reason = FAIL_DAMAGED;
        if (step != TABLE_ENTRY) break;
        reason = MakeEntryPaths(index, &record);
        if (reason != FAIL_NONE) {
            subject = reason == FAIL_TOO_LONG ? EntryDir(index) : "";
            break;
        }
        subject = run.installed;
        if (journaling) {
            /* Over a directory the system says a file of its name exists. */
            systemError = ERROR_ALREADY_EXISTS;
            if (IsDirectory(run.installed)) {
                reason = FAIL_CREATE;
                break;
            }
            if (!AddJournalLine(PathExists(run.installed) ? LINE_OLD : LINE_NEW, run.installed, run.temporary,
                                run.aside)) {
                _lclose(package);
                return 0;
            }
            continue;
        }
        if (!CreateNewFile(run.temporary)) {
            reason = FAIL_CREATE;
            break;
        }

        LONG next = _llseek(package, 0, FILE_CURRENT);
        if (record.expandedSize != 0) {
            _lclose(package);
            reason = ExpandedResult(
                ExpandEntry(instance, record.dataOffset, record.expandedSize, record.storedSize, run.temporary));
            package = OpenPackage();
        } else {
            reason = WriteStoredEntry(package, &record, run.temporary);
        }
        if (reason == FAIL_NONE && !FlushNewFile(run.temporary)) reason = FAIL_WRITE;
        if (reason == FAIL_NONE && (package == HFILE_ERROR || next < 0 || _llseek(package, next, FILE_BEGIN) != next))
            reason = FAIL_UNREADABLE;
        ServeMessages();
    }
    if (package != HFILE_ERROR) _lclose(package);
    return reason == FAIL_NONE ? 1 : SetSystemFailure(reason, subject, systemError);
}

/* Step 0: the journal, then the levels of DataDir still to be made,
 * innermost first (they are removed in the journal's order). */
static int WriteJournal(HINSTANCE instance) {
    if (!WalkEntries(instance, 1)) return 0;
    char path[PATH_SIZE];
    for (int level = 2; run.count >= 2 && level >= 0; level--)
        if (!PathExists(LevelPath(level, path)) && !AddJournalLine(LINE_DIRECTORY, path, "", "")) return 0;
    return SetJournalState(JOURNAL_WRITING);
}

int PlaceEntries(HWND dialog) {
    HINSTANCE instance = (HINSTANCE)(LONG_PTR)GetWindowLongA(dialog, GWL_HINSTANCE);
    memset(&run, 0, sizeof run);
    systemError = 0;
    if (!ReadWindowsDirectory(run.saverDir) || !AppendBackslash(run.saverDir, PATH_SIZE))
        return SetFailure(FAIL_NO_WINDOWS, "");
    UpperCase(run.saverDir);
    run.count = installer.entryCount;
    if (run.count >= 2 && (!BuildDataDir(dialog, run.dataDir, run.stem) || !AppendBackslash(run.dataDir, PATH_SIZE)))
        return SetFailure(FAIL_TOO_LONG, run.saverDir);
    ChooseBase();
    int placed = StartJournal() && WriteJournal(instance) && (run.count < 2 || MakeDataDir()) && WalkEntries(instance, 0) &&
                 SetJournalState(JOURNAL_MOVING) && WalkJournal(PASS_SET_ASIDE) && WalkJournal(PASS_MOVE_IN) &&
                 SetJournalState(JOURNAL_COMMITTED);
    /* Committed: the old files go. Else everything is put back. */
    return FinishJournal() && placed;
}

/* The saver in use on the NT family: the user's registry value, which the
 * profile call reaches only where the system maps system.ini's [boot]
 * there (no version documents that mapping for Windows 10 and 11). */
static int SetUserSaver(const char* path) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return 0;
    LONG result = RegSetValueExA(key, "SCRNSAVE.EXE", 0, REG_SZ, (const BYTE*)path, (DWORD)strlen(path) + 1);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
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
    if (NtFamily() && !SetUserSaver(registered)) return SetFailure(FAIL_SETTING, installer.scrName);
    if (!SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, 1, NULL, SPIF_UPDATEINIFILE))
        return SetFailure(FAIL_SETTING, installer.scrName);
    return 1;
}
