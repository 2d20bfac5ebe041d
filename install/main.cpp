/* Start-up and the installation sequence.
 *
 * WinMain registers the class "LVRNInst" and creates a window of it; the
 * whole installation runs while MainWndProc handles WM_CREATE, which then
 * answers -1. The system destroys the half-made window, WM_DESTROY posts the
 * quit message, and WinMain's message loop ends at its first read.
 *
 * RunInstallation: read the title; refuse an installer with an unusable name,
 * a damaged one, or one whose path is too long to read itself, before
 * anything is asked; take the lock and finish what a run that died left in
 * the journal; ask before replacing a saver and when space looks short;
 * confirm; place the entries inside the "Installing" dialog; give the lock
 * up; report completion (or the failure) and start the installed saver by
 * its full path.
 */
#include "install/install.h"

#include "install/checks.h"
#include "install/failures.h"
#include "install/journal.h"
#include "install/place.h"
#include "package/package.h"

#include <string.h>

InstallerState installer;
const char LOCK_NAME[] = "Global\\LVRNInst";

void ResetInstaller(void) { memset(&installer, 0, sizeof installer); }

/* The installer's file name as Windows compares device names: converted
 * with the ANSI code page, the superscript digits read as digits (COM\xB9 is
 * COM1), any other character beyond ASCII as one that is no device's. A
 * name with a '?' is one the ANSI interface could not hold. */
static int IsUsableName(const char* moduleName) {
    WCHAR wide[PATH_SIZE];
    char folded[PATH_SIZE];
    int length = MultiByteToWideChar(CP_ACP, 0, FileNamePart(moduleName), -1, wide, PATH_SIZE);
    for (int i = 0; i < length; i++) {
        WCHAR c = wide[i];
        folded[i] = c < 0x80 ? (char)c : c == 0xB9 ? '1' : (c | 1) == 0xB3 ? (char)('0' + c - 0xB0) : '_';
    }
    return length > 0 && !strchr(moduleName, '?') && IsUsableInstallerName(folded);
}

/* Whether the file at moduleName is the running image: a name the system
 * mapped to a neighbour by best fit opens another file. The loader keeps
 * each section as the file has it: the file's bytes where the module's
 * headers place its last section must be that section as mapped. It holds
 * the start of the package, so it tells apart installers made from one stub
 * (whose headers are the same); another stub's file has other bytes there.
 * A file that cannot be opened is left to the package check. */
static BYTE fileBytes[512];
static int IsRunningImage(const char* moduleName) {
    const BYTE* image = (const BYTE*)ModuleImage(installer.instance);
    if (!image) return 1;
    HFILE file = _lopen(moduleName, OF_READ | OF_SHARE_DENY_NONE);
    if (file == HFILE_ERROR) return 1;
    const BYTE* headers = image + *(const LONG*)(image + 0x3C);
    const BYTE* last = headers + 24 + *(const WORD*)(headers + 20) + (*(const WORD*)(headers + 6) - 1) * 40;
    DWORD size = *(const DWORD*)(last + 16);
    LONG offset = *(const LONG*)(last + 20);
    int same = _llseek(file, offset, FILE_BEGIN) == offset;
    const BYTE* mapped = image + *(const DWORD*)(last + 12);
    for (DWORD at = 0; same && at < size; at += sizeof fileBytes) {
        UINT want = size - at < sizeof fileBytes ? size - at : sizeof fileBytes;
        UINT got = _lread(file, fileBytes, want);
        /* A file cut short is the package check's to report. */
        if (got > want) got = 0;
        same = memcmp(fileBytes, mapped + at, got) == 0;
        if (got < want) break;
    }
    _lclose(file);
    return same;
}

/* An installer whose name Windows would resolve elsewhere (a device, a
 * trailing dot, a name the ANSI interface cannot hold, another file), a
 * damaged one, one that cannot read itself, or a system without a readable
 * Windows directory is refused before anything is asked. The name comes
 * first: a device name would have the package read from the device and
 * called damaged. The one walk over the table keeps the installation size
 * and the entry count for the later steps. */
static int CheckInstaller(const char* moduleName) {
    if (moduleName[0] && (!IsUsableName(moduleName) || !IsRunningImage(moduleName)))
        return SetFailure(FAIL_INSTALLER_NAME, FileNamePart(moduleName));
    PackageState state = InspectPackage(&installer.installSize, &installer.entryCount);
    if (state == PACKAGE_MISSING && PackageFailureReason() == PACKAGE_PATH_TOO_LONG)
        return SetFailure(FAIL_INSTALLER_PATH, "");
    if (state != PACKAGE_SOUND) return SetFailure(FAIL_DAMAGED_INSTALLER, FileNamePart(moduleName));
    char directory[PATH_SIZE];
    if (!ReadWindowsDirectory(directory)) return SetFailure(FAIL_NO_WINDOWS, "");
    return 1;
}

/* Shows installer.failure in a stop box; the process ends with status 1. */
static void ReportFailure(const char* caption) {
    MessageBoxA(NULL, installer.failure, caption, MB_OK | MB_ICONSTOP);
    installer.exitStatus = 1;
}

void UseTitle(void) {
    /* Trailing spaces (0x20 only) are padding, not title. */
    for (int i = (int)strlen(installer.title) - 1; i >= 0 && installer.title[i] == ' '; i--)
        installer.title[i] = '\0';
    FormatText(installer.caption, CAPTION_SIZE, "%s Screen Saver Installation", installer.title);
}

void RunInstallation(void) {
    char text[MESSAGE_SIZE], directory[PATH_SIZE], moduleName[PATH_SIZE];
    char stem[PATH_SIZE], sizeText[NUMBER_TEXT_SIZE];

    ReadTitle(installer.title);
    UseTitle();
    const char* caption = installer.caption;
    ReadModuleName(installer.instance, moduleName);
    if (!CheckInstaller(moduleName)) {
        ReportFailure(caption);
        return;
    }

    /* One installer of this kind at a time, from the journal's recovery to
     * the registration: the questions are asked of the restored state. */
    HANDLE lock = TakeLock();
    if (!lock) return;
    int going = RecoverJournal() && CheckReplace(installer.instance) && CheckDiskSpace();
    if (going) {
        MakeScrName(moduleName, installer.scrName);
        ReadWindowsDirectory(directory);
        UpperCase(directory);
        FormatText(text, MESSAGE_SIZE,
                   "This program will install %s (%s Screen Saver) to %s and will make it your default Screen "
                   "Saver.  This installation will take %s bytes.",
                   installer.scrName, installer.title, directory, GroupThousands(installer.installSize, sizeText));
        going = MessageBoxA(NULL, text, caption, MB_OKCANCEL | MB_ICONINFORMATION) == IDOK;
    }
    if (going) {
        SetCursor(LoadCursorA(NULL, IDC_WAIT));
        DialogBoxParamA(installer.instance, MAKEINTRESOURCEA(ID_INSTALL_DIALOG), NULL, InstallDlgProc, 0);
        SetCursor(LoadCursorA(NULL, IDC_ARROW));
        if (!installer.placementStarted) SetFailure(FAIL_NO_DIALOG, "");
    }
    /* Handles end with the process; the lock must be free before. */
    ReleaseMutex(lock);
    if (installer.failed) {
        ReportFailure(caption);
        return;
    }
    if (!going) return;

    ReadWindowsDirectory(directory);
    AppendBackslash(directory, PATH_SIZE);
    stem[0] = '\\';
    MakeInstallerStem(moduleName, stem + 1);
    UpperCase(stem);
    FormatText(text, MESSAGE_SIZE,
               "Installation Complete!\r\n\r\nData files have also been installed in your %s" DATA_DIR_TOP
               "\\" DATA_DIR_MIDDLE "%s directory.",
               directory, stem);
    MessageBoxA(NULL, text, caption, MB_OK | MB_ICONEXCLAMATION);

    /* By its full path: a bare name would find a file of that name beside
     * the installer first. */
    char command[PATH_SIZE + 2] = "\"";
    if (AppendTexts(command, sizeof command, directory, installer.scrName, "\"", NULL))
        WinExec(command, SW_SHOW);
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        installer.creationHandled = 1;
        RunInstallation();
        return -1;
    }
    if (message == WM_DESTROY) {
        installer.quitPosted = 1;
        PostQuitMessage(installer.exitStatus);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)commandLine;
    (void)show;
    if (!previous) {
        WNDCLASSA windowClass;
        memset(&windowClass, 0, sizeof windowClass);
        windowClass.style = CS_HREDRAW | CS_VREDRAW;
        windowClass.lpfnWndProc = MainWndProc;
        windowClass.hInstance = instance;
        windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(ID_ICON));
        windowClass.hCursor = LoadCursorA(NULL, IDC_ARROW);
        windowClass.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
        windowClass.lpszClassName = INSTALLER_CLASS;
        if (!RegisterClassA(&windowClass)) return 1;
    }
    installer.instance = instance;
    CreateWindowExA(0, INSTALLER_CLASS, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                    CW_USEDEFAULT, NULL, NULL, instance, NULL);
    /* Without WM_CREATE nothing posts the quit message: the loop would wait.
     * Some systems (Wine) destroy a refused window without WM_DESTROY, so
     * the loop runs only when the quit message is there to end it. */
    if (!installer.creationHandled) return 1;
    if (!installer.quitPosted) return installer.exitStatus;

    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return installer.exitStatus;
}
