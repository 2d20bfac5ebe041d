/* The messages that report a failed installation, in the manner of the
 * system's own: what could not be done, why, and what the user can do. All
 * of them appear under the installation's caption in a stop box, and the
 * installer then ends with status 1.
 */
#include "install/install.h"

/* Each text takes the subject, then the closing sentence; a reason without
 * a subject is given an empty one. */
#define NOTHING_CHANGED "\r\n\r\nNothing has been installed or changed."

static const char* const failureTexts[] = {
    "",
    "The installer %s is damaged or incomplete.  Please download it again.%s",
    "The installer's path is too long for it to read itself.  Please move it to a shorter path.%s%s",
    "Windows cannot use the installer's name %s.  Please rename it.%s",
    "The Windows directory could not be found.%s%s",
    "The Installing window could not be opened.%s%s",
    "The installer could not read itself while installing %s.%s",
    "The installer is damaged: the data for %s cannot be unpacked.  Please download it again.%s",
    "Paths in %s would be too long.%s",
    "The installer is damaged: it names a file with a character Windows does not allow.%s%s",
    "The file %s could not be created.  The disk may be write-protected.%s",
    "The file %s could not be written completely.  The disk may be full.%s",
    "The file %s is in use.  Please close the program using it and try again.%s",
    "The file %s could not be restored; its old copy is now %s.",
    "%s was installed, but system.ini could not be written.%s",
    "%s was installed but could not be switched on.%s",
};

int SetFailure(int reason, const char* subject, const char* detail) {
    FormatText(installer.failure, MESSAGE_SIZE, failureTexts[reason], subject,
               reason < FAIL_NOT_RESTORED ? NOTHING_CHANGED : detail);
    installer.failed = 1;
    return 0;
}
