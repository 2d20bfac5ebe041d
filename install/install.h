/* The installer's state and its start-up and installation sequence
 * (main.cpp).
 *
 * One thread runs one straight sequence inside the creation of a main window
 * that never comes into being: WinMain registers "LVRNInst" and creates it,
 * MainWndProc runs RunInstallation on WM_CREATE and refuses the creation, and
 * WM_DESTROY posts the quit message that ends WinMain's loop.
 *
 * The pieces: text.h (bounded text), failures.h, checks.h (the questions
 * before anything is written), place.h (the dialog and the placement);
 * package/names.h gives every installed name.
 *
 * Every report is a modal message box without an owner. The exit status is
 * 0 when the saver was installed or the user declined, 1 when the
 * installation failed (a damaged installer, a file that could not be placed,
 * a registration that was refused, a window that could not be made).
 */
#ifndef INSTALL_INSTALL_H
#define INSTALL_INSTALL_H

#include "install/text.h"

enum { ID_ICON = 101 };

/* The lock's name where the system has namespaces (journal.h); its end,
 * "LVRNInst", is the main window's class: one name for this kind of
 * installer. */
extern const char LOCK_NAME[];
#define INSTALLER_CLASS (LOCK_NAME + 7)

/* Module-level state: one instance per process, zero at start. */
struct InstallerState {
    HINSTANCE instance;
    char title[TITLE_SIZE + 1];   /* trailing spaces removed after reading */
    char caption[CAPTION_SIZE];   /* "<title> Screen Saver Installation" */
    char scrName[PATH_SIZE];      /* the installed saver's file name, "CLOUDS.SCR" */
    unsigned long long installSize; /* bytes of all entries, never wrapped (InspectPackage) */
    DWORD entryCount;             /* entries in the table (InspectPackage) */
    int exitStatus;               /* the quit message's code */
    int creationHandled;          /* WM_CREATE reached MainWndProc */
    int quitPosted;               /* WM_DESTROY reached MainWndProc */
    int placementStarted;         /* the dialog's command began the work */
    int failed;                   /* the installation failed: failure says why */
    char failure[MESSAGE_SIZE];
};
extern InstallerState installer;

/* Back to the state at process start; for tests that run several
 * installations in one process. */
void ResetInstaller(void);

/* Removes the title's trailing spaces and makes the caption of every box
 * and of the dialog from it. */
void UseTitle(void);

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void RunInstallation(void);
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

#endif
