// Which names in the queue folder are requests, and what a request document
// says, as the one line the agent writes to standard output for it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "queue/limits.h"

namespace cvagent {

// The largest request document the agent reads; the opener never writes more.
inline constexpr size_t kMaxRequestBytes = kCVMaxDocumentBytes;

// The stem of a queued request: `name` ends in ".json", does not start with
// "." (temporary files of a writer do) and has a non-empty stem. nullopt for
// every other name, ".claimed" names included.
std::optional<std::string> QueuedStem(const std::string& name);
// The same for "<stem>.claimed"; used by the status tool only.
std::optional<std::string> ClaimedStem(const std::string& name);
// Whether `name` is a writer's temporary file: "." followed by exactly 32
// lowercase hexadecimal digits and ".tmp", the form the opener writes.
bool IsWriterTemporary(const std::string& name);

// The output line (without its newline) for the document `doc` of request
// `stem`:
//   "open <path>"    format "corvantis.open/1", kind "open", "path" a string;
//   "reopen"         format "corvantis.open/1", kind "reopen" (a path is ignored);
//   "rejected <stem>: <reason>"   for everything else: not JSON, not an
//                    object, an unknown or missing format or kind, an "open"
//                    without a string "path".
// Keys are accepted in any order; other keys are ignored. The path is written
// with its bytes as they are, except that "\" becomes "\\" and control
// characters (below 0x20, and 0x7f) become "\xNN", so the line stays one line.
std::string RequestLine(const std::string& stem, const std::string& doc);

// The line for a request whose document could not be read (`error` is an
// errno value; EFBIG: longer than kMaxRequestBytes; EINVAL: not a regular file).
std::string UnreadableLine(const std::string& stem, int error);

// `text` with "\" and control characters escaped as described above.
std::string EscapeForLine(const std::string& text);

}  // namespace cvagent
