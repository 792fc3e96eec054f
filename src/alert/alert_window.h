// The message window of corvantis-alert, the desktop's equivalent of a
// modal alert: title "Corvantis Agent", a bold primary text, the message as
// selectable, wrapping secondary text no wider than a normal dialog, and one
// "OK" button holding the keyboard focus. It is kept above other windows,
// asks for attention and is centred on its monitor. OK, Enter, Escape and
// closing the window dismiss it.
//
// It always fits: never larger than the monitor's work area less a margin.
// A message too long for that scrolls inside the window while the title,
// the primary text and OK stay in view. Lines break between words, and
// inside a word too long for a line at any character, never with an
// inserted hyphen. Of a message longer than 4,096 characters the window
// shows the first and the last 2,047 or so, joined by "…" (the opener's
// messages are far shorter), so that any text is laid out in a few
// milliseconds. Text that is not valid UTF-8 is shown with U+FFFD. To
// assistive technologies the window is an alert (the role of a message
// dialog) whose description is the message.
#pragma once

#include <string>

#include "alert/alert_args.h"

namespace cv {

// The identity the window carries: its program name (the instance of
// WM_CLASS on X11, whose class GTK writes capitalised, "Corvantis-opener";
// the app id on Wayland) is the name of the opener's desktop entry, so that
// a desktop shows it as the opener's window with the opener's icon.
constexpr char kAlertProgramName[] = "corvantis-opener";
constexpr char kAlertIconName[] = "corvantis";
// The name assistive technologies give the program (the desktop entry's).
constexpr char kAlertApplicationName[] = "Corvantis";

// Sets the program name of the windows to come and the application's name
// ("Corvantis"). Call before GTK starts.
void SetAlertIdentity();

// Shows the window and runs GTK's main loop until it is dismissed. Call
// after gtk_init_check succeeded. `startupId` (DESKTOP_STARTUP_ID, or
// XDG_ACTIVATION_TOKEN on Wayland) may be empty; it is handed to the
// window manager so the window may take the focus, and showing the window
// ends that startup sequence.
void RunAlertWindow(const AlertArgs& args, const std::string& startupId);

// Ends the X11 startup sequence `startupId` (the startup-notification
// "remove" message on the root window) without showing anything. Opens the
// X display itself (the GDK X11 backend only): returns kAlertNoDisplay when
// it cannot, kAlertDismissed once the message is sent or when `startupId`
// is empty.
int EndStartupSequence(const std::string& startupId);

}  // namespace cv
