/* Why an installation failed, and the message that tells the user
 * (failures.cpp).
 */
#ifndef INSTALL_FAILURES_H
#define INSTALL_FAILURES_H

#include "platform/platform.h"

/* Before FAIL_NOT_RESTORED nothing on the system has been changed (a failed
 * placement has put back what it moved and removed what it made), and the
 * message says so. */
enum FailureReason {
    FAIL_NONE = 0,
    FAIL_DAMAGED_INSTALLER, /* the package is missing, cut short or damaged */
    FAIL_INSTALLER_PATH,    /* the installer's own path does not fit its buffers */
    FAIL_INSTALLER_NAME,    /* its file name gives names Windows resolves elsewhere */
    FAIL_NO_WINDOWS,        /* no readable Windows directory */
    FAIL_NO_DIALOG,         /* the "Installing" dialog could not be run */
    FAIL_UNREADABLE,        /* the installer could not read itself while placing */
    FAIL_DAMAGED,           /* an entry's data cannot be unpacked */
    FAIL_TOO_LONG,          /* an installed path does not fit PATH_SIZE */
    FAIL_BAD_NAME,          /* an extension that no file name can end in */
    FAIL_JOURNAL,           /* a journal this installer cannot read */
    FAIL_DIRECTORY,         /* a directory cannot be made */
    FAIL_CREATE,            /* a file cannot be created */
    FAIL_WRITE,             /* a file took fewer bytes than written */
    FAIL_IN_USE,            /* an installed file could not be set aside or replaced */
    FAIL_NOT_RESTORED,      /* after a failure an old file could not be put back */
    FAIL_NEW_KEPT,          /* after a failure a new file could not be moved out */
    FAIL_PROFILE,           /* "system.ini" could not be written */
    FAIL_SETTING,           /* the screen saver could not be switched on */
    FAILURE_REASONS         /* not a reason: how many there are */
};

/* Keeps the message for reason, naming subject (and, for
 * FAIL_NOT_RESTORED, where the old file now lies), in installer.failure and
 * marks the installation failed. Returns 0. */
int SetFailure(FailureReason reason, const char* subject, const char* detail = "");

/* SetFailure for the making or writing of subject that failed with the
 * system's error code (GetLastError right after the call; 0 for none): the
 * message adds the system's text for it, and on the NT family, for access
 * denied, that the installer may need to run as an administrator. */
int SetSystemFailure(FailureReason reason, const char* subject, DWORD error);

#endif
