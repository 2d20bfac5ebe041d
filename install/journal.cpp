/* The lock and the journal that keep placement all or nothing across runs.
 *
 * Lock: a mutex named after the main window's class, "Global\" in front
 * from Windows 2000 on so that it holds across logons (fast user switching,
 * terminal services); NT 4 and Windows 95/98 refuse a backslash in the
 * name. It is taken before the journal is looked at and held until the
 * saver is registered. A run that cannot have it within LOCK_WAIT_MS (held,
 * or its name taken by another kind of object) asks the user to retry or
 * cancel; it never goes on without it.
 *
 * Journal: <Windows directory>\LVRNINST.JNL, written before the run makes
 * its first directory or side file and kept open without write or delete
 * sharing while the run lives, so no other run takes it for abandoned.
 *
 *   header  "LVRN", version (16 bits), state (16 bits)
 *   line    kind (8 bits), state (8 bits, 0 = the header's), length (16
 *           bits), then length bytes: the installed path, the new (".TMP")
 *           and the set-aside (".OLD") path, each ending in a NUL
 *
 * The state moves from JOURNAL_PREPARING to JOURNAL_COMMITTED as the run
 * advances, each step flushed to disk (FlushFileBuffers), and every new file
 * is flushed before it is moved. Whoever finishes the journal - the run
 * itself, or the next run after a crash - does what the state says, line by
 * line, and marks each line done; a line that cannot be finished keeps its
 * state for a later run. Only files a journal names are ever moved or
 * deleted.
 *
 * Every installer made before the journal existed deletes set-aside files
 * by their name's pattern and ignores the journal.
 */
#include "install/journal.h"

#include "install/failures.h"
#include "install/install.h"
#include "install/place.h"

#include <string.h>

struct JournalHeader {
    char magic[4];
    WORD version, state;
};

struct JournalLine {
    BYTE kind, state;
    WORD length;
    char text[3 * PATH_SIZE];
    char end[4]; /* zero: the three paths always end inside the line */
};

/* "LVRN", JOURNAL_VERSION and JOURNAL_PREPARING, little-endian. */
static const char freshHeader[8] = {'L', 'V', 'R', 'N', JOURNAL_VERSION, 0, JOURNAL_PREPARING, 0};

static HANDLE journal = INVALID_HANDLE_VALUE;
static char journalPath[PATH_SIZE];
static JournalHeader header;
static JournalLine line;
static LONG journalEnd;
/* WININIT.INI, read whole, with room for one line more. */
static char wininit[8192];

HANDLE TakeLock(void) {
    const char* name = LOCK_NAME;
    DWORD version = GetVersion();
    if ((LONG)version < 0 || (BYTE)version < 5) name += 7;
    HANDLE lock = NULL;
    for (;;) {
        /* Made again after a failure: the name may be free by now. */
        if (!lock) lock = CreateMutexA(NULL, FALSE, name);
        /* Abandoned: its holder died; the journal tells what it left. */
        if (lock && (WaitForSingleObject(lock, LOCK_WAIT_MS) & ~WAIT_ABANDONED_0) == WAIT_OBJECT_0) return lock;
        if (MessageBoxA(NULL,
                        "Another screen saver installation is running.  Click Retry when it has finished, or Cancel "
                        "to stop.  Nothing has been installed or changed.",
                        installer.caption, MB_RETRYCANCEL | MB_ICONINFORMATION) != IDRETRY)
            return NULL;
    }
}

static HFILE JournalFile(void) { return (HFILE)(INT_PTR)journal; }

/* <Windows directory>\<name> into path (PATH_SIZE); 0 when it does not fit. */
static int WindowsFile(char* path, const char* name) {
    return ReadWindowsDirectory(path) && AppendBackslash(path, PATH_SIZE) && AppendText(path, PATH_SIZE, name);
}

/* Opens the journal (disposition OPEN_EXISTING or OPEN_ALWAYS) and reads
 * its header: 1 when it is this version's or empty, 0 otherwise (open
 * failed, journal left as it is). journalEnd is where a new line goes. */
static int OpenJournal(DWORD disposition) {
    journal = CreateFileA(journalPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, disposition,
                          FILE_ATTRIBUTE_NORMAL, NULL);
    if (journal == INVALID_HANDLE_VALUE) return 0;
    journalEnd = _llseek(JournalFile(), 0, FILE_END);
    /* Shorter than a header: the first write of a run that died at once. */
    if (journalEnd < (LONG)sizeof header) {
        memcpy(&header, freshHeader, sizeof header);
        journalEnd = sizeof header;
        return 1;
    }
    _llseek(JournalFile(), 0, FILE_BEGIN);
    /* The magic and the version; the state is the run's. */
    return _lread(JournalFile(), &header, sizeof header) == sizeof header && memcmp(&header, freshHeader, 6) == 0;
}

static void CloseJournal(int deleting) {
    CloseHandle(journal);
    journal = INVALID_HANDLE_VALUE;
    if (deleting) DeleteFileA(journalPath);
}

int SetJournalState(int state) {
    header.state = (WORD)state;
    _llseek(JournalFile(), 0, FILE_BEGIN);
    if (_lwrite(JournalFile(), (LPCCH)&header, sizeof header) == sizeof header && FlushFileBuffers(journal)) return 1;
    return SetSystemFailure(FAIL_WRITE, journalPath, GetLastError());
}

/* Opens the journal: to recover (OPEN_EXISTING), where a missing or held
 * journal is no failure, or for the run (OPEN_ALWAYS). */
static int UseJournal(DWORD disposition) {
    int recovering = disposition == OPEN_EXISTING;
    if (!WindowsFile(journalPath, JOURNAL_NAME)) return recovering || SetFailure(FAIL_TOO_LONG, "");
    if (OpenJournal(disposition)) return recovering ? FinishJournal() : SetJournalState(JOURNAL_PREPARING);
    DWORD error = GetLastError();
    if (journal == INVALID_HANDLE_VALUE) return recovering || SetSystemFailure(FAIL_CREATE, journalPath, error);
    CloseJournal(0);
    return SetFailure(FAIL_JOURNAL, journalPath);
}

int StartJournal(void) { return UseJournal(OPEN_ALWAYS); }

int AddJournalLine(int kind, const char* installed, const char* temporary, const char* aside) {
    const char* paths[] = {installed, temporary, aside};
    unsigned length = 0;
    for (int i = 0; i < 3; i++) {
        unsigned size = (unsigned)strlen(paths[i]) + 1;
        memcpy(line.text + length, paths[i], size);
        length += size;
    }
    line.kind = (BYTE)kind;
    line.state = 0;
    line.length = (WORD)length;
    length += 4;
    _llseek(JournalFile(), journalEnd, FILE_BEGIN);
    if (_lwrite(JournalFile(), (LPCCH)&line, length) != length)
        return SetSystemFailure(FAIL_WRITE, journalPath, GetLastError());
    journalEnd += (LONG)length;
    return 1;
}

/* Deletes a file, read-only or not. */
static BOOL DiscardFile(const char* path) {
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    return DeleteFileA(path);
}

/* Does what state asks of the line just read. 2 = done; 1 = kept for a
 * later run, nothing wrong; 0 = a file could not be restored. */
static int FinishLine(int state, int* failed) {
    const char* installed = line.text;
    const char* temporary = installed + strlen(installed) + 1;
    const char* aside = temporary + strlen(temporary) + 1;
    if (state == JOURNAL_PREPARING) return 2;
    if (line.kind == LINE_DIRECTORY) {
        /* Removed only when empty: after the commit it holds the files. */
        RemoveDirectoryA(installed);
        return 2;
    }
    if (state == JOURNAL_COMMITTED) {
        if (!PathExists(aside) || DiscardFile(aside)) return 2;
        /* In use (a running saver on the NT family): at restart, or by a
         * later run. */
        DeleteAtRestart(aside);
        return 1;
    }
    FailureReason reason = FAIL_NONE;
    if (PathExists(aside)) {
        /* The new file (if it came in) goes back to its own name first. */
        if ((PathExists(installed) && !MoveFileA(installed, temporary)) || !MoveFileA(aside, installed))
            reason = FAIL_NOT_RESTORED;
    } else if (line.kind == LINE_NEW && state == JOURNAL_MOVING && !PathExists(temporary) && PathExists(installed) &&
               !MoveFileA(installed, temporary)) {
        reason = FAIL_NEW_KEPT;
    }
    if (reason != FAIL_NONE) {
        /* The first file that stays wrong is the one the message names. */
        if (!*failed) SetFailure(reason, installed, aside);
        *failed = 1;
        return 0;
    }
    return !PathExists(temporary) || DeleteFileA(temporary) ? 2 : 1;
}

/* Every line of the journal in turn: pass does its part to the run's own
 * lines (PASS_SET_ASIDE, PASS_MOVE_IN) or finishes every line
 * (PASS_FINISH). Returns as FinishLine does for the worst line (nonzero or
 * 0 for the two moving passes). */
int WalkJournal(int pass) {
    int result = 2, failed = 0;
    HFILE file = JournalFile();
    /* The zero guard after the text ends every path. */
    for (LONG at = sizeof header;; at += 4 + line.length) {
        if (_llseek(file, at, FILE_BEGIN) != at || _lread(file, &line, 4) != 4 || line.length > sizeof line.text ||
            _lread(file, line.text, line.length) != line.length)
            break;
        const char* installed = line.text;
        const char* temporary = installed + strlen(installed) + 1;
        const char* aside = temporary + strlen(temporary) + 1;
        if (pass == PASS_FINISH) {
            int state = line.state ? line.state : header.state;
            if (state == LINE_DONE) continue;
            int finished = FinishLine(state, &failed);
            if (finished < result) result = finished;
            line.state = (BYTE)(finished == 2 ? LINE_DONE : state);
            _llseek(file, at, FILE_BEGIN);
            _lwrite(file, (LPCCH)&line, 4);
        } else if (line.state == 0 && line.kind != LINE_DIRECTORY) {
            if (pass == PASS_SET_ASIDE) {
                if (line.kind == LINE_OLD && !MoveFileA(installed, aside)) return SetFailure(FAIL_IN_USE, installed);
            } else if (!MoveFileA(temporary, installed)) {
                /* Held (a scanner reading it), the new file names itself. */
                DWORD error = GetLastError();
                return error == ERROR_SHARING_VIOLATION ? SetFailure(FAIL_IN_USE, temporary)
                                                        : SetSystemFailure(FAIL_CREATE, installed, error);
            }
        }
        ServeMessages();
    }
    return result;
}

int FinishJournal(void) {
    /* None was opened: nothing of the run to finish, and no other's to delete. */
    if (journal == INVALID_HANDLE_VALUE) return 1;
    int finished = WalkJournal(PASS_FINISH);
    FlushFileBuffers(journal);
    CloseJournal(finished == 2);
    return finished != 0;
}

int RecoverJournal(void) { return UseJournal(OPEN_EXISTING); }

/* Case-blind: & 0xDF upper-cases a to z and leaves "[]" as they are. */
static const char renameHeader[] = "[rename]\r\n";
static int IsRenameHeader(const char* at) {
    for (int i = 0; i < 8; i++)
        if ((at[i] & 0xDF) != (renameHeader[i] & 0xDF)) return 0;
    return 1;
}

void DeleteAtRestart(const char* path) {
    if (NtFamily()) {
        MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
        return;
    }
    /* WININIT.INI takes short paths. It is edited as a file: one line goes
     * in after the last line of [rename] (the section is added when
     * missing), and every other byte stays. A file too long for the buffer
     * is left alone. */
    char shortPath[PATH_SIZE], ini[PATH_SIZE], added[PATH_SIZE + 24] = "";
    DWORD length = GetShortPathNameA(path, shortPath, PATH_SIZE);
    if (length == 0 || length >= PATH_SIZE || !WindowsFile(ini, "WININIT.INI")) return;
    UINT used = 0;
    HFILE file = _lopen(ini, OF_READ | OF_SHARE_DENY_WRITE);
    if (file != HFILE_ERROR) {
        used = _lread(file, wininit, sizeof wininit);
        _lclose(file);
        if (used > sizeof wininit - sizeof added) return;
    }
    /* The terminator ends a header cut by the end of the file. Where the
     * line goes: before the header that follows [rename], or at the end. */
    wininit[used] = '\0';
    UINT insert = used, inSection = 0;
    for (UINT at = 0; at < used; at++) {
        if ((at == 0 || wininit[at - 1] == '\n') && wininit[at] == '[') {
            if (inSection) {
                insert = at;
                break;
            }
            inSection = IsRenameHeader(wininit + at);
        }
    }
    AppendTexts(added, sizeof added, insert == used && used > 0 && wininit[used - 1] != '\n' ? "\r\n" : "",
                inSection ? "" : renameHeader, "NUL=", shortPath, "\r\n", NULL);
    UINT size = (UINT)strlen(added);
    memmove(wininit + insert + size, wininit + insert, used - insert);
    memcpy(wininit + insert, added, size);
    file = _lcreat(ini, 0);
    if (file == HFILE_ERROR) return;
    _lwrite(file, wininit, used + size);
    _lclose(file);
}
