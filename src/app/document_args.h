// Documents as the desktop passes them on the command line (a desktop
// file's %U): each argument becomes the DocumentURL that the controller
// filters. Pure text: nothing here touches the file system, and no library
// beyond the C++ standard one is used.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "opener/document_url.h"

namespace cv {

// Whether `arg` begins with a URI scheme and its colon:
// [A-Za-z][A-Za-z0-9+.-]*":". "C:\x" and "x:y.corva" count as URIs.
bool HasURIScheme(std::string_view arg);

// One argument, read as GIO reads a command-line argument, except that
// ".." is kept (see TidyPath):
//   - an absolute path is a file URL with that path, tidied;
//   - else an argument with a scheme is a URI. A "file" URI (scheme in any
//     letter case; anything from "#" on ignored) whose host is empty or
//     "localhost" is a file URL with its unescaped, tidied path; one
//     naming another host (or a host that is no valid host name), one with
//     a "%" not followed by two hex digits, an escaped NUL or an escaped
//     "/" in its path, or "file:" not followed by "/", is rejected the way
//     any other scheme is: a non-file URL with an empty path;
//   - else a relative path, taken against `cwd` (absolute) and tidied.
//     Without `cwd` (the current folder could not be read) it is a file URL
//     marked noFolder, its path the argument as given.
// text = the file URL built from the path, or the argument for a non-file
// URL or a noFolder one; it serves diagnostics only.
DocumentURL DocumentURLFromArgument(const std::string& arg, const std::optional<std::string>& cwd);

// The file URL of the absolute `path`: "file://" and the path with every
// byte other than letters, digits and !$&'()*+,-./:=@_~ written as %XX
// (upper-case hex). "/a b" gives "file:///a%20b".
std::string FileURLText(const std::string& path);

// `path` (absolute) spelt without what the kernel ignores: runs of "/" made
// one (a leading "//" of exactly two kept, as GIO keeps it), "." components
// and a trailing "/" dropped, and ".." at the root (the root's parent is
// the root) dropped. Every other ".." stays where it is: the kernel takes it
// after the links before it, so "link/.." is the folder above the link's
// target, which removing both as text would not name. Where `path` opens a
// file, the result opens the same file.
std::string TidyPath(const std::string& path);

}  // namespace cv
