/* The installer: start-up and the installation sequence, the names and the
 * checks made before anything is written, the "Installing" dialog, the
 * placement of the entries and the registration of the saver.
 *
 * One thread runs one straight sequence inside the creation of a main window
 * that never comes into being: WinMain registers "LVRNInst" and creates it,
 * MainWndProc runs RunInstallation on WM_CREATE and refuses the creation, and
 * WM_DESTROY posts the quit message that ends WinMain's loop.
 *
 * Every report is a modal message box without an owner. The exit status is
 * 0 when the saver was installed or the user declined, 1 when the
 * installation failed (a damaged installer, a file that could not be placed,
 * a registration that was refused, a window that could not be made).
 */
#ifndef INSTALL_INSTALL_H
#define INSTALL_INSTALL_H

#include "package/package.h"

enum {
    MESSAGE_SIZE = 512,     /* every message text */
    CAPTION_SIZE = 256,     /* every caption and dialog text */
    NUMBER_TEXT_SIZE = 32,  /* a number with its separators */
    COPY_BLOCK_SIZE = 2048, /* one read and write of a stored entry */
    ID_ICON = 101,
    ID_INSTALL_DIALOG = 103,
    ID_SAVER_LINE = 1001
};

/* GetFreeKilobytes when no free space can be measured, or when there are
 * 2^32 kilobytes (4 TiB) or more: either way the disk check passes. */
#define FREE_UNKNOWN 0xFFFFFFFFu

/* Module-level state: one instance per process, zero at start. */
struct InstallerState {
    HINSTANCE instance;
    char title[TITLE_SIZE + 1];   /* trailing spaces removed after reading */
    char caption[CAPTION_SIZE];   /* "<title> Screen Saver Installation" */
    char scrName[PATH_SIZE];      /* the installed saver's file name, "CLOUDS.SCR" */
    unsigned long long installSize; /* bytes of all entries, never wrapped */
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

/* ---- Text (names.cpp). Every write is bounded by the buffer's size. ---- */

/* Copies pattern into out, each "%s" replaced by the next argument, a
 * terminated text (one argument for each "%s"). A text that does not fit is
 * cut; out always ends with its terminator. */
void FormatText(char* out, unsigned size, const char* pattern, ...);

/* Appends text to the terminated text in buffer. Returns 1, or 0 when it did
 * not fit whole: buffer then holds what fitted, terminated. */
int AppendText(char* buffer, unsigned size, const char* text);

/* Appends each text in turn up to a null one; 1 when all fitted whole. */
int AppendTexts(char* buffer, unsigned size, ...);

/* Appends '\' unless path already ends in one (a drive root). 0 when full. */
int AppendBackslash(char* path, unsigned size);

/* The library that has GetDiskFreeSpaceExA and MoveFileExA, where the
 * system has them. */
extern const char KERNEL_NAME[];

/* Letters a to z become A to Z; every other byte stays. */
void UpperCase(char* text);

/* The decimal digits of value, at least minDigits of them (zeros in front),
 * into text (NUMBER_TEXT_SIZE bytes). */
void DecimalText(unsigned long long value, int minDigits, char* text);

/* The text after the last '\' of path. */
const char* FileNamePart(const char* path);

/* GetModuleFileNameA / GetWindowsDirectoryA into a PATH_SIZE buffer. 0 when
 * the call fails or its answer does not fit. */
int ReadModuleName(HINSTANCE instance, char* path);
int ReadWindowsDirectory(char* path);

/* ---- Failures (failures.cpp) ---- */

/* Why an installation failed. Up to FAIL_WRITE nothing on the system has
 * been changed yet, and the message says so. */
enum FailureReason {
    FAIL_NONE = 0,
    FAIL_DAMAGED_INSTALLER, /* the package is missing, cut short or damaged */
    FAIL_INSTALLER_PATH,    /* the installer's own path does not fit its buffers */
    FAIL_NO_WINDOWS,        /* no readable Windows directory */
    FAIL_NO_DIALOG,         /* the "Installing" dialog could not be run */
    FAIL_UNREADABLE,        /* the installer could not read itself while placing */
    FAIL_DAMAGED,           /* an entry's data cannot be unpacked */
    FAIL_TOO_LONG,          /* an installed path does not fit PATH_SIZE */
    FAIL_BAD_NAME,          /* an extension holds a character file names cannot */
    FAIL_CREATE,            /* a file cannot be created */
    FAIL_WRITE,             /* a file took fewer bytes than written */
    FAIL_REPLACE,           /* a complete file could not be moved over its name */
    FAIL_PROFILE,           /* "system.ini" could not be written */
    FAIL_SETTING            /* the screen saver could not be switched on */
};

/* Keeps the message for reason, naming subject, in installer.failure and
 * marks the installation failed. Returns 0. */
int SetFailure(int reason, const char* subject);

/* SetFailure for the create, write or move of the file subject that failed
 * with the system's error code (GetLastError; 0 for none): the message
 * adds the system's text for it, and on the NT family, for access denied to
 * a file neither read-only nor a directory, that the installer may need to
 * run as an administrator. */
int SetSystemFailure(int reason, const char* subject, DWORD error);

/* ---- Names and checks (names.cpp, checks.cpp) ---- */

/* The installer's file name without its last extension, case kept:
 * "D:\DOWNLOAD\my.clouds.exe" gives "my.clouds". stem holds PATH_SIZE. */
void MakeInstallerStem(const char* moduleName, char* stem);

/* The installer's file name up to its first '.', with ".SCR", upper-cased:
 * "D:\DOWNLOAD\my.clouds.exe" gives "MY.SCR". scrName holds PATH_SIZE. */
void MakeScrName(const char* moduleName, char* scrName);

/* ScrName before its upper-casing: "Clouds.SCR" for Clouds.exe. */
void MakeSpelledScrName(const char* moduleName, char* name);

/* Decimal text of value with ',' after every three digits from the right,
 * into text (NUMBER_TEXT_SIZE bytes); returns text. */
char* GroupThousands(unsigned long long value, char* text);

/* Asks before an existing saver of the same name is replaced. 1 = go on,
 * 0 = the user declined (after being told how to rename the installer). */
int CheckReplace(HINSTANCE instance);

/* Free kilobytes on the drive of path (its first 32 characters cut after
 * their last '\'): GetDiskFreeSpaceExA when the system has it, else
 * GetDiskFreeSpaceA; FREE_UNKNOWN when neither answers or at 4 TiB and up. */
DWORD GetFreeKilobytes(const char* path);

/* Sums installer.installSize and asks "Disk Full" when the free kilobytes do
 * not exceed the needed ones. 1 = go on, 0 = the user cancelled. */
int CheckDiskSpace(HINSTANCE instance);

/* ---- The "Installing" dialog, placement and registration (place.cpp) ---- */

/* Dialog procedure of dialog 103: WM_INITDIALOG sets its texts, centres it
 * and posts the OK command; WM_COMMAND 1 or 2 places the entries, registers
 * the saver and ends the dialog with that result. */
INT_PTR CALLBACK InstallDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

/* Writes every entry to its installed name: first all of them to temporary
 * files beside those names, then each over its name. Returns 1; or 0 after
 * SetFailure, and then no existing file was changed unless the failure came
 * while the files were being put in place (FAIL_REPLACE). */
int PlaceEntries(HWND dialog);

/* Leaves the data directory (Windows directory, TORVANEK, LUMAVERN, the
 * installer's stem) in path, creating each level, and the stem in base.
 * Both hold PATH_SIZE. Returns 0 when a name cannot be read or does not fit. */
int BuildDataDir(HWND dialog, char* path, char* base);

/* Copies storedSize bytes from the package handle's position to target
 * through block (COPY_BLOCK_SIZE bytes). */
enum CopyResult { COPY_DONE = 1, COPY_SHORT_DATA = 0, COPY_WRITE_FAILED = -1 };
int CopyStoredEntry(HFILE package, HFILE target, char* block, DWORD storedSize);

/* Names the installed saver under "boot", "SCRNSAVE.EXE" in "system.ini"
 * and switches the screen saver on. Skipped (1) when the Windows directory
 * cannot be read; 0 after SetFailure when a setting is refused. */
int RegisterSaver(void);

/* ---- Start-up and the sequence (main.cpp) ---- */

/* Removes the title's trailing spaces and makes the caption of every box
 * and of the dialog from it. */
void UseTitle(void);

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void RunInstallation(void);
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

#endif
