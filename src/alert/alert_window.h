// The message window of corvantis-alert, the desktop's equivalent of a
// modal alert: title "Corvantis Agent", a bold primary text, the message as
// selectable, wrapping secondary text no wider than a normal dialog, and one
// "OK" button holding the keyboard focus. It is kept above other windows and
// asks for attention. OK, Enter, Escape and closing the window dismiss it.
#pragma once

#include <string>

#include "alert/alert_args.h"

namespace cv {

// Shows the window and runs GTK's main loop until it is dismissed. Call
// after gtk_init_check succeeded. `startupId` (DESKTOP_STARTUP_ID, or
// XDG_ACTIVATION_TOKEN on Wayland) may be empty; it is handed to the
// window manager so the window may take the focus.
void RunAlertWindow(const AlertArgs& args, const std::string& startupId);

}  // namespace cv
