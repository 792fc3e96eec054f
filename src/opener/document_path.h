// What the controller makes of a document's path before and after posting
// it: its last component, whether a request can carry it at all, and its
// name as an alert can show it. Pure functions, no system access.
#pragma once

#include <string>

namespace cv {

// The last component of `path`, trailing "/" ignored ("/" stays "/"). The
// path as it is when it has no "/".
std::string LastComponent(const std::string& path);

// Why a path cannot be written into a request, judged on the path alone.
enum class PathFault {
  kNone,
  kTooLong,  // more than 8192 UTF-16 code units (the request's limit)
  kNotUtf8,  // not valid UTF-8 (RFC 3629: no overlong forms, surrogates or
             // code points past U+10FFFF), so no JSON string can hold it
  kNoFolder,  // a relative name whose current folder could not be read, so
              // no path names the file (DocumentURL::noFolder); never
              // given by PathFaultOf
};
// The length is tested first, as the request writer does.
PathFault PathFaultOf(const std::string& path);

// Whether `s` is valid UTF-8 in the sense above.
bool IsValidUtf8(const std::string& s);

// `s` with every ill-formed part replaced by U+FFFD (one per maximal ill-
// formed subpart, as Unicode recommends); valid text is returned unchanged.
std::string MakeValidUtf8(const std::string& s);

}  // namespace cv
