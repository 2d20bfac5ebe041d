/* The messages that report a failed installation, in the manner of the
 * system's own: what could not be done, why, and what the user can do. All
 * of them appear under the installation's caption in a stop box, and the
 * installer then ends with status 1.
 */
#include "install/install.h"

/* Each text takes the subject, then the closing sentence; a reason without
 * a subject is given an empty one. */
#define NOTHING_CHANGED "\r\n\r\nNothing has been installed or changed on your system."

static const char* const failureTexts[] = {
    "",
    "The installer %s is damaged or incomplete.  Please download it again.%s",
    "The installer cannot read itself because the path of its folder is too long.  Please move it to a "
    "folder with a shorter path and run it again.%s%s",
    "The Windows directory could not be found, so the screen saver cannot be installed.%s%s",
    "The Installing window could not be opened.%s%s",
    "The installer could not read its own file while installing %s.%s",
    "The installer is damaged: the data for %s cannot be unpacked.  Please download it again.%s",
    "Files cannot be installed in %s because their paths would be too long.%s",
    "The installer is damaged: a file it would place in %s has a name that Windows does not allow.  "
    "Please download it again.%s",
    "The file %s could not be created.  The disk or folder may be write-protected.%s",
    "The file %s could not be written completely.  The disk may be full.%s",
    "The file %s could not be put in place.  It may be in use by another program.  The installation is not "
    "complete: please close other programs and run the installer again.",
    "%s was installed but could not be made your screen saver: system.ini could not be written.",
    "%s was installed but could not be switched on: the system refused the setting.",
};

int SetFailure(int reason, const char* subject) {
    FormatText(installer.failure, MESSAGE_SIZE, failureTexts[reason], subject,
               reason < FAIL_REPLACE ? NOTHING_CHANGED : "");
    installer.failed = 1;
    return 0;
}
