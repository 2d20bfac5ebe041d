/* The two questions asked before anything is written.
 *
 * CheckReplace asks before a saver of the same name in the Windows directory
 * is overwritten. CheckDiskSpace takes the installation size the package's
 * inspection summed (an entry counts with its expandedSize, a stored one
 * with its storedSize; the sum is 64 bits wide and never wraps) and asks
 * "Disk Full" when the free kilobytes of the Windows directory's drive do
 * not exceed the needed ones. Kilobytes are byte counts shifted right by 10.
 *
 * GetDiskFreeSpaceExA is missing from the first Windows 95; it is looked up
 * at run time so that the installer still loads there, and the older
 * GetDiskFreeSpaceA (which sees at most 2 GB on those systems) serves when it
 * is absent or fails.
 */
#include "install/checks.h"

#include "install/install.h"

#include <string.h>

typedef BOOL(WINAPI* FreeSpaceExCall)(LPCSTR, ULARGE_INTEGER*, ULARGE_INTEGER*, ULARGE_INTEGER*);

int CheckReplace(HINSTANCE instance) {
    char moduleName[PATH_SIZE], path[PATH_SIZE], scrName[PATH_SIZE];
    char shownName[PATH_SIZE], stem[PATH_SIZE], text[MESSAGE_SIZE];
    if (!ReadModuleName(instance, moduleName) || !ReadWindowsDirectory(path)) return 1;
    MakeScrName(moduleName, scrName);
    if (!AppendBackslash(path, PATH_SIZE) || !AppendText(path, PATH_SIZE, scrName)) return 1;
    if (!PathExists(path)) return 1;

    /* The question shows the name as spelled, before upper-casing. */
    MakeSpelledScrName(moduleName, shownName);
    MakeInstallerStem(moduleName, stem);
    FormatText(text, MESSAGE_SIZE,
               "There is already a screen saver by the same name (%s) installed on your system.  "
               "Would you like to replace it?",
               shownName);
    if (MessageBoxA(NULL, text, "Replace Screen Saver?", MB_YESNO | MB_ICONQUESTION) != IDNO) return 1;

    AppendText(stem, PATH_SIZE, ".EXE");
    FormatText(text, MESSAGE_SIZE,
               "If you would like to change the name of the .SCR file that would be installed on your system, "
               "simply change the installers file name (%s) and run it again.",
               stem);
    MessageBoxA(NULL, text, "Rename Installer", MB_OK | MB_ICONINFORMATION);
    return 0;
}

/* A 64-bit kilobyte count as a DWORD: 2^32 kilobytes and more are plenty. */
static DWORD Saturate(unsigned long long kilobytes) {
    return kilobytes >= FREE_UNKNOWN ? FREE_UNKNOWN : (DWORD)kilobytes;
}

DWORD GetFreeKilobytes(const char* path) {
    char root[33];
    unsigned length = 0;
    while (length < 32 && path[length]) {
        root[length] = path[length];
        length++;
    }
    root[length] = '\0';
    char* slash = strrchr(root, '\\');
    if (slash) slash[1] = '\0';

    HMODULE kernel = LoadLibraryA(KERNEL_NAME);
    if (kernel) {
        FreeSpaceExCall freeSpaceEx =
            (FreeSpaceExCall)(void (*)(void))GetProcAddress(kernel, "GetDiskFreeSpaceExA");
        ULARGE_INTEGER available, total, free;
        if (freeSpaceEx && freeSpaceEx(root, &available, &total, &free)) {
            FreeLibrary(kernel);
            return Saturate(available.QuadPart >> 10);
        }
        FreeLibrary(kernel);
    }

    DWORD sectorsPerCluster, bytesPerSector, freeClusters, totalClusters;
    if (!GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
        return FREE_UNKNOWN;
    /* Kilobytes of clusterBytes * freeClusters taken in two parts, so that no
     * product overflows: the upper half of clusterBytes counts 2^22
     * kilobytes a unit. */
    unsigned long long clusterBytes = (unsigned long long)sectorsPerCluster * bytesPerSector;
    unsigned long long high = (clusterBytes >> 32) * freeClusters;
    unsigned long long low = (clusterBytes & 0xFFFFFFFFu) * freeClusters;
    if (high >= 1024) return FREE_UNKNOWN;
    return Saturate((high << 22) + (low >> 10));
}

int CheckDiskSpace(void) {
    char directory[PATH_SIZE];
    if (!ReadWindowsDirectory(directory)) return 1;
    DWORD free = GetFreeKilobytes(directory);
    unsigned long long needed = installer.installSize >> 10;
    if (free == FREE_UNKNOWN || free > needed) return 1;

    char neededText[NUMBER_TEXT_SIZE], freeText[NUMBER_TEXT_SIZE], text[MESSAGE_SIZE];
    FormatText(text, MESSAGE_SIZE,
               "You will need %s kilobytes free in your Windows directory to install this screen saver.  "
               "It appears that you only have %s kilobytes free on this drive.  "
               "Would you like to continue the installation?",
               GroupThousands(needed, neededText), GroupThousands(free, freeText));
    return MessageBoxA(NULL, text, "Disk Full", MB_OKCANCEL | MB_ICONINFORMATION) != IDCANCEL;
}
