// Documents as the desktop passes them on the command line (a desktop
// file's %U): each argument becomes the DocumentURL that the controller
// filters. Only GLib's path and URI helpers are used; nothing here touches
// the file system.
#pragma once

#include <string>
#include <string_view>

#include "opener/document_url.h"

namespace cv {

// Whether `arg` begins with a URI scheme and its colon:
// [A-Za-z][A-Za-z0-9+.-]*":". "C:\x" and "x:y.corva" count as URIs.
bool HasURIScheme(std::string_view arg);

// One argument, read as GIO reads a command-line argument:
//   - an absolute path is a file URL with that path, canonicalized ("." and
//     ".." components and repeated slashes removed; a leading "//" kept);
//   - else an argument with a scheme is a URI. A "file" URI (scheme in any
//     letter case; anything from "#" on ignored) whose host is empty or
//     "localhost" is a file URL with its unescaped, canonicalized path; one
//     naming another host, or that cannot be converted, is rejected the way
//     any other scheme is: a non-file URL with an empty path;
//   - else a relative path, taken against `cwd` (absolute) and
//     canonicalized.
// text = the file URL built from the path, or the argument for a non-file
// URL; it serves diagnostics only.
DocumentURL DocumentURLFromArgument(const std::string& arg, const std::string& cwd);

}  // namespace cv
