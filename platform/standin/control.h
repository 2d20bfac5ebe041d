/* Test-side control of the native Win32 stand-in.
 *
 * A scenario calls Reset with a fresh host directory, then sets the module
 * path and the Windows directory it wants the installer to see. Counters
 * record the file calls so tests can check request sizes.
 */
#ifndef PLATFORM_STANDIN_CONTROL_H
#define PLATFORM_STANDIN_CONTROL_H

#include <functional>
#include <string>
#include <vector>

#include "platform/standin/win32.h"

namespace standin {

// Forget every setting, handle and counter; drives map below rootDir.
void Reset(const std::string& rootDir);

// The path GetModuleFileNameA reports (a Windows path, e.g. "C:\\DOWNLOAD\\Clouds.exe").
void SetModulePath(const std::string& windowsPath);

// The path GetWindowsDirectoryA reports; an empty text makes it fail.
void SetWindowsDirectory(const std::string& windowsPath);

// The host path a Windows path maps to. Existing components are matched
// without regard to case; missing ones are taken as spelled.
std::string HostPath(const std::string& windowsPath);

struct Counters {
    int opens = 0;                      // successful _lopen calls
    int reads = 0;                      // _lread calls
    long long bytesRead = 0;            // bytes delivered by _lread
    std::vector<unsigned> readSizes;    // count asked of each _lread
    std::vector<unsigned> writeSizes;   // count asked of each _lwrite
    int openHandles = 0;                // handles from _lopen/_lcreat not yet closed
};
Counters& GetCounters();

// Makes _lwrite store at most this many more bytes in all (a full disk);
// negative means unlimited.
void SetWriteBudget(long long bytes);

// ---- Windows' file rules (files.cpp), as documented for Win32 rather than
// as Wine run as root shows them:
//  - a read-only file (SetFileAttributesA, FILE_ATTRIBUTE_READONLY) cannot be
//    opened for writing, emptied, replaced or deleted; it can be renamed;
//  - a file that is open cannot be renamed, replaced or deleted unless every
//    handle on it shares delete access (_lopen and _lcreat never do);
//  - _lopen's share modes are checked against the handles already open;
//  - a running program's image cannot be written, replaced or deleted; on
//    the NT family it can be renamed (the image follows its file), on
//    Windows 95/98 (Setup::ntFamily false) it cannot;
//  - MoveFileA never replaces; every failure sets GetLastError's code. ----

// Another program opens the file for reading, sharing what share allows
// (FILE_SHARE_READ 1, FILE_SHARE_WRITE 2, FILE_SHARE_DELETE 4). Returns the
// hold for ReleaseHold.
int HoldOpen(const std::string& windowsPath, unsigned share);
void ReleaseHold(int hold);
// The file at windowsPath is the image of a running program.
void MarkRunning(const std::string& windowsPath);

// ---- The system's side of an installation: windows, dialogs, message
// boxes, free space, the profile, program start (ui.cpp, system.cpp). Reset
// clears all of it. ----

// What the next calls meet. Change fields after Reset, before the run.
struct Setup {
    // Answers for the message boxes, in order; a box finding none left gets
    // its first button (IDOK, or IDYES for MB_YESNO).
    std::vector<int> answers;
    bool registerClassFails = false;
    bool createWindowFails = false;  // fails before WM_CREATE is sent
    bool refusedWindowGetsDestroy = true;  // Windows sends WM_DESTROY after WM_CREATE's -1; Wine does not
    bool dialogFails = false;        // DialogBoxParamA gives -1 at once (no template, no memory)
    int screenWidth = 1024, screenHeight = 768;
    RECT dialogRect = {0, 0, 283, 128};  // where dialog 103 appears before it is moved

    bool kernelLoads = true;         // LoadLibraryA("KERNEL32.DLL")
    bool hasFreeSpaceEx = true;      // GetProcAddress finds GetDiskFreeSpaceExA
    bool freeSpaceExWorks = true;
    ULONGLONG availableBytes = 1ull << 32;  // GetDiskFreeSpaceExA's first output
    bool freeSpaceWorks = true;      // GetDiskFreeSpaceA
    DWORD sectorsPerCluster = 8, bytesPerSector = 512, freeClusters = 0x100000, totalClusters = 0x200000;

    bool delayedDeleteRefused = false;  // MoveFileExA's delete at restart needs rights the user lacks
    std::vector<std::string> refusedMoveTargets;  // the next move onto each of these Windows paths fails
    // MsgWaitForMultipleObjects reports this many messages before the
    // placement lock is free (another installer holds it meanwhile).
    int lockBusyWakes = 0;
    bool mutexFails = false;            // CreateMutexA gives NULL

    // GetVersion: the NT family (top bit clear) or Windows 95/98/Me, where
    // running images cannot be renamed and MoveFileExA is a stub that fails.
    bool ntFamily = true;
    // Directories whose files the user may not create, replace or delete
    // (the Windows directory of a user who is not an administrator):
    // Windows paths; everything below each is denied too.
    std::vector<std::string> deniedDirectories;

    bool shortPathFails = false;
    bool profileWriteFails = false;
    bool screenSaverSettingFails = false;

    // Called at every PeekMessageA while a dialog runs, with its 1-based count.
    std::function<void(int)> onQueueCheck;
};
Setup& GetSetup();

// One MessageBoxA call and the answer it got.
struct MessageBoxCall {
    std::string text, caption;
    UINT flags = 0;
    int answer = 0;
    bool hasOwner = false;
};

// What dialog 103 went through.
struct DialogLog {
    bool created = false;
    HINSTANCE instance = nullptr;
    LPARAM initParam = 0;
    HWND handle = nullptr, okButton = nullptr;
    bool hasOwner = false;
    std::string windowText;
    std::string itemText1001;
    RECT rect = {};                   // where it is now
    int moves = 0;
    bool moveAskedForRepaint = false;
    std::vector<MSG> posted;          // what the program posted to it
    std::vector<UINT> delivered;      // messages handed to the dialog procedure, in order
    int paints = 0;
    long long writesBeforeFirstPaint = -1;  // _lwrite calls made before it was first drawn
    long long largestWriteGap = 0;    // most bytes asked of _lwrite between two looks at the queue
    bool ended = false;
    INT_PTR result = 0;
    bool waitedForever = false;       // its modal loop found nothing left to do
};

struct Log {
    // Ordered: "box <caption>", "cursor wait", "cursor arrow", "dialog",
    // "dialog ended <result>", "paint", "exec <command>", "profile <value>",
    // "spi <action>", "quit <code>", "lock", "unlock".
    std::vector<std::string> events;
    std::vector<MessageBoxCall> boxes;

    bool classRegistered = false;
    WNDCLASSA windowClass = {};
    std::string className;
    int createCalls = 0;
    std::string createdClass, createdTitle;
    DWORD createdStyle = 0, createdExStyle = 0;
    int createdX = 0, createdHeight = 0;
    bool createdWithParentOrMenuOrParam = false;
    HINSTANCE createdInstance = nullptr;
    std::vector<UINT> mainMessages;    // sent to the main window procedure
    std::vector<UINT> defaultHandled;  // handed on to DefWindowProcA
    bool quitPosted = false;
    int quitCode = 0;
    bool waitedForever = false;        // GetMessageA on an empty queue with no quit message

    DialogLog dialog;
    int dialogCalls = 0;

    std::vector<std::string> freeSpaceCalls;  // "ex <root>" or "classic <root>"
    int librariesLoaded = 0, librariesFreed = 0;
    std::vector<std::string> shortPathQueries;
    struct ProfileWrite {
        std::string section, key, value, file;
    };
    std::vector<ProfileWrite> profileWrites;
    struct SpiCall {
        UINT action, uiParam, winIni;
        bool hasPointer;
    };
    std::vector<SpiCall> spiCalls;
    struct Exec {
        std::string commandLine;
        UINT show;
    };
    std::vector<Exec> execs;
    std::vector<std::string> moveFileExCalls;  // "<from> -> <to>" for each MoveFileExA call
    std::vector<std::string> deletesAtRestart;  // paths MoveFileExA scheduled for deletion
    std::string mutexName;              // the last CreateMutexA's name
    int lockWakes = 0;                  // messages reported while waiting for the lock
    bool lockHeld = false;              // granted and not yet released
};
const Log& GetLog();

// The system redraws part of the dialog (it is uncovered, say): it needs painting.
void InvalidateDialog();
// Queues a message for the dialog, as a keystroke or a click would.
void PostToDialog(UINT message, WPARAM wParam, LPARAM lParam);
// The system sends the dialog a message (WM_CLOSE from the task bar, say);
// default handling applies when its procedure returns 0.
LRESULT SendToDialog(UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace standin

#endif
