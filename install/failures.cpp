/* The messages that report a failed installation, in the manner of the
 * system's own: what could not be done, why, and what the user can do. All
 * of them appear under the installation's caption in a stop box, and the
 * installer then ends with status 1.
 */
#include "install/failures.h"

#include "install/install.h"

/* Each text takes the subject, then the closing sentence; a reason without
 * a subject is given an empty one. */
#define NOTHING_CHANGED "\r\n\r\nNothing has been installed or changed."

static const char* const failureTexts[] = {
    "",
    "The installer %s is damaged or incomplete.  Please download it again.%s",
    "The installer's path is too long for it to read itself.  Please move it to a shorter path.%s%s",
    "The Windows directory could not be found.%s%s",
    "The Installing window could not be opened.%s%s",
    "The installer could not read itself while installing %s.%s",
    "The installer is damaged: the data for %s cannot be unpacked.  Please download it again.%s",
    "Paths in %s would be too long.%s",
    "The installer is damaged: it names a file with a character Windows does not allow.%s%s",
    "The file %s could not be created.  The disk may be write-protected.%s",
    "The file %s could not be written completely.  The disk may be full.%s",
    ("The file %s could not be put in place; it may be in use.  Close other programs and run the installer "
     "again."),
    "%s was installed, but system.ini could not be written.",
    "%s was installed but could not be switched on.",
};

int SetFailure(FailureReason reason, const char* subject) {
    FormatText(installer.failure, MESSAGE_SIZE, failureTexts[reason], subject,
               reason < FAIL_REPLACE ? NOTHING_CHANGED : "");
    installer.failed = 1;
    return 0;
}
