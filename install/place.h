/* The "Installing" dialog, the placement of the entries and the saver's
 * registration (place.cpp).
 */
#ifndef INSTALL_PLACE_H
#define INSTALL_PLACE_H

#include "platform/platform.h"

enum {
    COPY_BLOCK_SIZE = 2048, /* one read and write of a stored entry */
    ID_INSTALL_DIALOG = 103,
    ID_SAVER_LINE = 1001
};

/* Dialog procedure of dialog 103: WM_INITDIALOG sets its texts, centres it
 * and posts the OK command; WM_COMMAND 1 or 2 places the entries, registers
 * the saver and ends the dialog with that result. The run holds the lock
 * (journal.h) meanwhile. */
INT_PTR CALLBACK InstallDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

/* Places every entry under its installed name, all or nothing, through the
 * run's journal. Returns 1; or 0 after SetFailure, and then every existing
 * file is as it was and what this run made is gone, unless the reason is
 * FAIL_NOT_RESTORED or FAIL_NEW_KEPT (the journal keeps what is left for
 * the next run). */
int PlaceEntries(HWND dialog);

/* Leaves the data directory's path (Windows directory, TORVANEK, LUMAVERN,
 * the installer's stem) in path and the stem in base; nothing is created.
 * Both hold PATH_SIZE. Returns 0 when a name cannot be read or does not fit. */
int BuildDataDir(HWND dialog, char* path, char* base);

/* Serves the queue between steps of the work: paint and system messages
 * are dispatched, input is dropped. */
void ServeMessages(void);

/* Copies storedSize bytes from the package handle's position to target
 * through block (COPY_BLOCK_SIZE bytes). */
enum CopyResult { COPY_DONE = 1, COPY_SHORT_DATA = 0, COPY_WRITE_FAILED = -1 };
CopyResult CopyStoredEntry(HFILE package, HFILE target, char* block, DWORD storedSize);

/* Names the installed saver under "boot", "SCRNSAVE.EXE" in "system.ini"
 * (its short path), on the NT family also in the user's registry value
 * "SCRNSAVE.EXE" of "Control Panel\Desktop", and switches the screen saver
 * on. Skipped (1) when the Windows directory cannot be read; 0 after
 * SetFailure when a setting is refused. */
int RegisterSaver(void);

#endif
