/* The lock that lets one installer of this kind work at a time, and the
 * journal that lets the next run finish or undo a run that died
 * (journal.cpp).
 */
#ifndef INSTALL_JOURNAL_H
#define INSTALL_JOURNAL_H

#include "platform/platform.h"

/* The journal's file in the Windows directory: one name for every
 * installer of this kind. */
#define JOURNAL_NAME "LVRNINST.JNL"
/* The format this installer writes and reads. Later releases read it; a
 * journal of another version is never touched. */
enum { JOURNAL_VERSION = 1 };
/* How long a run waits for the lock before it asks the user. */
enum { LOCK_WAIT_MS = 3000 };

/* Where the run stands; the header holds it for every line of the run. A
 * line carried over from an earlier run holds its own. */
enum JournalState {
    JOURNAL_PREPARING = 0, /* the journal is being written; nothing else made */
    JOURNAL_WRITING = 1,   /* directories and new (".TMP") files being made */
    JOURNAL_MOVING = 2,    /* old files set aside, new ones moved in */
    JOURNAL_COMMITTED = 3, /* every new file in place; set-aside files to go */
    LINE_DONE = 4          /* a line with nothing left to do */
};

enum JournalLineKind {
    LINE_NEW = 1,      /* installed path, new file, set-aside name; no old file */
    LINE_OLD = 2,      /* the same, over an old file */
    LINE_DIRECTORY = 3 /* a directory level the run makes */
};

/* The lock, held across logons where the system allows it. After
 * LOCK_WAIT_MS the user is asked to retry or cancel; NULL when cancelled. */
HANDLE TakeLock(void);

/* Finishes what a run that died left in the journal, before any question.
 * 1 = go on (also when a live run holds the journal, which is left alone);
 * 0 after SetFailure: a journal of another version (left untouched), or an
 * old file that could not be put back. */
int RecoverJournal(void);

/* Opens the run's journal, keeping lines that earlier runs left, and marks
 * it JOURNAL_PREPARING. 0 after SetFailure. */
int StartJournal(void);

/* Appends one line of the run; 0 after SetFailure. */
int AddJournalLine(int kind, const char* installed, const char* temporary, const char* aside);

/* Records state and flushes the journal to disk; 0 after SetFailure. */
int SetJournalState(int state);

/* What a pass over the run's lines does. */
enum JournalPass { PASS_SET_ASIDE, PASS_MOVE_IN, PASS_FINISH };

/* The run's old files aside (PASS_SET_ASIDE) or its new files in
 * (PASS_MOVE_IN), in the order of its lines. Nonzero, or 0 after
 * SetFailure. */
int WalkJournal(int pass);

/* Finishes every line not done by the state that applies to it: before the
 * commit the new files go and the set-aside ones are put back, after it the
 * set-aside files are deleted. A line that cannot be finished is kept for a
 * later run. Then the journal is closed, and deleted when no line is kept.
 * 1 = nothing failed (or no journal is open); 0 after SetFailure when a
 * file could not be restored. */
int FinishJournal(void);

/* Deletes the file at path at the next restart (the NT family: MoveFileExA;
 * Windows 95/98: a "NUL=" line in WININIT.INI's [rename] section). */
void DeleteAtRestart(const char* path);

#endif
