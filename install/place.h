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
 * and posts the OK command; WM_COMMAND 1 or 2 takes the lock that lets one
 * installer of this kind place at a time (waiting for it with the queue
 * served), places the entries, registers the saver, gives the lock up and
 * ends the dialog with that result. */
INT_PTR CALLBACK InstallDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

/* Places every entry under its installed name, all or nothing. Returns 1;
 * or 0 after SetFailure, and then every existing file is as it was and
 * what this run made is gone, unless the reason is FAIL_NOT_RESTORED. */
int PlaceEntries(HWND dialog);

/* Leaves the data directory (Windows directory, TORVANEK, LUMAVERN, the
 * installer's stem) in path, creating each level, and the stem in base.
 * Both hold PATH_SIZE. Returns 0 when a name cannot be read or does not fit.
 * The levels it created are removed again when the placement fails. */
int BuildDataDir(HWND dialog, char* path, char* base);

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
