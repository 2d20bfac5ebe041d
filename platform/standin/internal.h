/* Shared between the stand-in's own files; tests use control.h. */
#ifndef PLATFORM_STANDIN_INTERNAL_H
#define PLATFORM_STANDIN_INTERNAL_H

#include "platform/standin/control.h"

namespace standin {

Log& EditLog();
void ResetUi();      // windows, the message queue, the dialog
void ResetSystem();  // Setup and Log

}  // namespace standin

#endif
