/* The two questions asked before anything is written (checks.cpp). */
#ifndef INSTALL_CHECKS_H
#define INSTALL_CHECKS_H

#include "platform/platform.h"

/* GetFreeKilobytes when no free space can be measured, or when there are
 * 2^32 kilobytes (4 TiB) or more: either way the disk check passes. */
#define FREE_UNKNOWN 0xFFFFFFFFu

/* Asks before an existing saver of the same name is replaced. 1 = go on,
 * 0 = the user declined (after being told how to rename the installer). */
int CheckReplace(HINSTANCE instance);

/* Free kilobytes on the drive of path (its first 32 characters cut after
 * their last '\'): GetDiskFreeSpaceExA when the system has it, else
 * GetDiskFreeSpaceA; FREE_UNKNOWN when neither answers or at 4 TiB and up. */
DWORD GetFreeKilobytes(const char* path);

/* Asks "Disk Full" when the free kilobytes do not exceed those of
 * installer.installSize (the package's inspection leaves it there).
 * 1 = go on, 0 = the user cancelled. */
int CheckDiskSpace(void);

#endif
