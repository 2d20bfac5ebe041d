/* Package access for the installer: the package its own executable carries
 * (layout in package/layout.h), read through the platform's file handles.
 * Nothing in the package is trusted: every reader here bounds what it reads.
 */
#ifndef PACKAGE_PACKAGE_H
#define PACKAGE_PACKAGE_H

#include "package/layout.h"
#include "platform/platform.h"

/* Why the last OpenPackage failed. */
enum PackageFailure {
    PACKAGE_OPENED = 0,
    PACKAGE_PATH_TOO_LONG,  /* the executable's path does not fit PATH_SIZE */
    PACKAGE_UNREADABLE,     /* the executable's file cannot be opened */
    PACKAGE_NOT_FOUND       /* no ".rsrc" section, or a header read came up short */
};

/* Opens the running executable and leaves the handle at the package's first
 * byte. LocatePackage takes the first entry at each level of the resource
 * tree, which the host layout guarantees to be "LASTRES", 1000, 1033: the
 * resource is never named. Returns HFILE_ERROR on failure and records the
 * reason for PackageFailureReason. The caller closes the handle. */
HFILE OpenPackage(void);

/* The same walk on the executable file at path. */
HFILE OpenPackageFile(const char* path);

/* The reason of the last OpenPackage failure, PACKAGE_OPENED after success. */
PackageFailure PackageFailureReason(void);

/* Reads the 32-byte title into title[0..31]; title[32] stays as the caller
 * set it (0). On failure the buffer is untouched (InspectPackage tells why). */
void ReadTitle(char* title);

/* Table walk, on a handle fresh from OpenPackage: reads the header for its
 * firstFileNumber. Returns 1, or 0 when the header is cut short. */
int ReadFirstFileNumber(HFILE package, unsigned short* firstFileNumber);

/* StepTable over the next 16 bytes at the handle's position. */
TableStep ReadTableStep(HFILE package, TableWalk* walk, EntryRecord* record);

/* What a full check of the package found (see InspectPackage). */
enum PackageState {
    PACKAGE_SOUND = 0,
    PACKAGE_MISSING,        /* OpenPackage failed; see PackageFailureReason */
    PACKAGE_NO_TERMINATOR,  /* the file ends inside the table */
    PACKAGE_DATA_OUTSIDE,   /* an entry's data reaches past the end of the file */
    PACKAGE_SIZE_TOO_LARGE, /* a size or offset of 2^31 or more */
    PACKAGE_NO_ENTRIES      /* a whole table without even the saver */
};

/* Walks the whole table and checks it against the file: a terminator before
 * the end of the file, every entry's data inside the file, every size and
 * offset below 2^31, and at least one entry (the saver). Gives the walk's
 * installation size (TableWalk: the terminator's counts too) in
 * *installSize and the number of entries in *entryCount (either may be
 * null). */
PackageState InspectPackage(unsigned long long* installSize, DWORD* entryCount);

#endif
