/* The messages that report a failed installation, in the manner of the
 * system's own: what could not be done, why, and what the user can do. All
 * of them appear under the installation's caption in a stop box, and the
 * installer then ends with status 1.
 */
#include "install/failures.h"

#include "install/install.h"

#include <string.h>

/* Each text takes the subject, then the closing sentences; a reason without
 * a subject is given an empty one. A failed create or write closes
 * with what the system says of it. */
#define NOTHING_CHANGED "\r\n\r\nNothing has been installed or changed."

static const char notRestored[] = "The file %s could not be restored; its old copy is now %s.";
static const char profileUnwritten[] = "%s was installed, but system.ini could not be written.";
static const char settingRefused[] = "%s was installed but could not be switched on.";
static const char writeProtected[] = "  The disk may be write-protected.";
static const char diskFull[] = "  The disk may be full.";
static const char runAsAdministrator[] =
    "  You may need to run the installer as an administrator (right-click it and choose Run as administrator).";

static const char* const failureTexts[] = {
    "",
    "The installer %s is damaged or incomplete.  Please download it again.%s",
    "The installer's path is too long.  Please move it to a shorter path.%s%s",
    "Windows cannot use the installer's name %s.  Please rename it.%s",
    "The Windows directory could not be found.%s%s",
    "The Installing window could not be opened.%s%s",
    "The installer could not read itself while installing %s.%s",
    "The data for %s in the installer is damaged.  Please download it again.%s",
    "Paths in %s would be too long.%s",
    "The installer is damaged: it names a file with a character Windows does not allow.%s%s",
    "A newer installer left %s unfinished: please run it again.%s",
    "The folder %s could not be created.%s",
    "The file %s could not be created.%s",
    "The file %s could not be written completely.%s",
    "The file %s is in use.  Please close the program using it and try again.%s",
    notRestored,
    "The file %s could not be restored; the new copy stays.",
    profileUnwritten,
    settingRefused,
};
static_assert(sizeof failureTexts / sizeof failureTexts[0] == FAILURE_REASONS, "one text for every failure reason");

/* For a create or write when the system gives no text of its own. */
static const char* const unexplained[] = {writeProtected, writeProtected, diskFull};

/* Appends the system's text for error, without its line break; 0 when the
 * system has none. */
static int AppendSystemText(char* text, DWORD error) {
    unsigned used = (unsigned)strlen(text);
    DWORD length = error ? FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error,
                                          0, text + used, MESSAGE_SIZE - used, NULL)
                         : 0;
    while (length > 0 && (unsigned char)text[used + length - 1] <= ' ') length--;
    text[used + length] = '\0';
    return length > 0;
}

int SetSystemFailure(FailureReason reason, const char* subject, DWORD error) {
    char closing[MESSAGE_SIZE] = "";
    if (reason >= FAIL_DIRECTORY && reason <= FAIL_WRITE) {
        AppendText(closing, MESSAGE_SIZE, "  ");
        if (!AppendSystemText(closing, error)) {
            closing[0] = '\0';
            AppendText(closing, MESSAGE_SIZE, unexplained[reason - FAIL_DIRECTORY]);
        }
        /* Access denied on the NT family: most likely the rights of a user
         * who is not an administrator (the Windows directory is theirs). The
         * installer never writes to an existing file, so a read-only one
         * cannot be the cause. */
        if (error == ERROR_ACCESS_DENIED && NtFamily())
            AppendText(closing, MESSAGE_SIZE, runAsAdministrator);
    }
    if (reason < FAIL_NOT_RESTORED) AppendText(closing, MESSAGE_SIZE, NOTHING_CHANGED);
    FormatText(installer.failure, MESSAGE_SIZE, failureTexts[reason], subject, closing);
    installer.failed = 1;
    return 0;
}

int SetFailure(FailureReason reason, const char* subject, const char* detail) {
    if (!*detail) return SetSystemFailure(reason, subject, 0);
    FormatText(installer.failure, MESSAGE_SIZE, failureTexts[reason], subject, detail);
    installer.failed = 1;
    return 0;
}
