// The command line of corvantis-alert:
//
//   corvantis-alert [--primary TEXT] [--] MESSAGE
//   corvantis-alert --end-startup
//
// MESSAGE is the secondary text of the window, taken verbatim (quotes,
// newlines and leading dashes included once it follows "--"). The primary
// text defaults to "Corvantis Agent". "--end-startup", alone, shows no
// window: it ends the X11 startup sequence named by DESKTOP_STARTUP_ID (the
// desktop's busy feedback of a launch that showed nothing). Nothing here
// touches the display, so the parsing is tested without one.
#pragma once

#include <cstdint>
#include <string>

namespace cv {

constexpr char kAlertTitle[] = "Corvantis Agent";

// Exit statuses of the program.
constexpr int kAlertDismissed = 0;
constexpr int kAlertNoDisplay = 1;
constexpr int kAlertUsage = 2;

struct AlertArgs {
  std::string primary = kAlertTitle;
  std::string message;
  bool endStartup = false;  // "--end-startup": no message, no window
};

// Parses argv[1..argc-1]. Returns false, with `error` set to a one-line
// reason, when MESSAGE is missing, when more than one is given, when
// "--primary" has no value, when an unknown option precedes "--", or when
// "--end-startup" comes with anything else.
// `out` is only meaningful on success.
bool ParseAlertArgs(int argc, const char* const* argv, AlertArgs* out, std::string* error);

// The X server time of a startup-notification identifier ("..._TIME<n>"),
// or 0 (the current time) when it carries none or a malformed one. Read
// DESKTOP_STARTUP_ID before GTK starts: GTK removes it from the environment.
uint32_t StartupTimestamp(const std::string& startupId);

}  // namespace cv
