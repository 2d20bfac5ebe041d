/* Test-side control of the native Win32 stand-in.
 *
 * A scenario calls Reset with a fresh host directory, then sets the module
 * path and the Windows directory it wants the installer to see. Counters
 * record the file calls so tests can check request sizes.
 */
#ifndef PLATFORM_STANDIN_CONTROL_H
#define PLATFORM_STANDIN_CONTROL_H

#include <string>
#include <vector>

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

}  // namespace standin

#endif
