// How a text from outside the opener (a document's file name, the settings
// folder's path) is written into an alert's message, so that the person
// reads it as it is and nothing in it acts on the window or the terminal.
// Pure functions, no system access.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cv {

// Code points kept of a file name and of a path in an alert; longer ones
// are shortened in the middle. The log keeps them whole.
constexpr size_t kDisplayNameMax = 80;
constexpr size_t kDisplayPathMax = 120;

// `text` as an alert shows it:
//  1. ill-formed UTF-8 replaced by U+FFFD (as MakeValidUtf8 does);
//  2. when it has more than `maxChars` code points, the first and the last
//     (maxChars - 1) / 2 code points (one more at the front for an even
//     remainder) joined by "…" (U+2026), so maxChars code points in all;
//  3. control characters (C0, DEL, C1), the line separators and the
//     bidirectional controls, and backslashes written as the log
//     writes them (EscapeLogText: "\n", "\t", "\x1b", "\\"...), so that no
//     raw control character reaches a window or a terminal and no name can
//     break a line of the message. Other text is kept as it is.
// `maxChars` below 3 counts as 3.
std::string DisplayText(std::string_view text, size_t maxChars);

}  // namespace cv
