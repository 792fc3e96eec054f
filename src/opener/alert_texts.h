// The messages of the alerts, by code. "%@" is filled with the one argument
// the code takes. Shown as they stand, without translation.
#pragma once

#include "queue/limits.h"

namespace cvtext {

// "A2", with the noun passed to startAgent.
inline constexpr const char* kOlderAgent =
    "An older Corvantis Agent is still running. Quit it (menu bar icon \u2192 Quit Corvantis "
    "Agent), then open %@ again.";
// "A3".
inline constexpr const char* kNoService =
    "The Corvantis agent isn't running, and its user service (corvantis.agent) isn't installed. "
    "Start it with:\n\nsystemctl --user enable --now corvantis.agent.service\n\nthen open the "
    "tract again.";
// "A4", with the error text of the failed spawn.
inline constexpr const char* kNotStarted =
    "Corvantis Agent couldn't be started (%@). Reinstall the Corvantis package, then open the "
    "tract again.";
// "A5".
inline constexpr const char* kNoResponse =
    "Corvantis Agent didn't respond. Check its menu bar icon (quit and reopen it if it's stuck), "
    "then open the tract again.";
// "A7", in place of the alert a withdrawal precedes when a pending request
// could not be withdrawn: it may still be opened. With the reason.
inline constexpr const char* kNotWithdrawn =
    "Corvantis Agent didn't take the tract, and Corvantis couldn't take it back from its queue "
    "(%@). It may still open later.";
// "A6".
inline constexpr const char* kTooMany = "Open at most " CV_STR(CV_MAX_REQUESTS) " tracts at a time.";
// "bad-path", with the document's file name made displayable, in quotes.
inline constexpr const char* kPathTooLong =
    "Corvantis can't open %@: its path is longer than " CV_STR(CV_MAX_PATH_UNITS) " characters.";
inline constexpr const char* kPathNotUtf8 = "Corvantis can't open %@: its path isn't valid UTF-8.";
inline constexpr const char* kPathNoFolder =
    "Corvantis can't open %@: the folder it was opened from no longer exists or can't be read.";
// "not-corva".
inline constexpr const char* kNotCorva = "Corvantis opens .corva files only.";

}  // namespace cvtext
