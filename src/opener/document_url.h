// A document handed over by the desktop, as the application layer reads it
// from the command line: a file URL with its path, or some other URL.
#pragma once

#include <string>

namespace cv {

struct DocumentURL {
  bool isFile = false;  // a file URL (or a plain path)
  std::string path;     // its file-system path when isFile; empty otherwise
  std::string text;     // the argument as given, for diagnostics only
  // A relative name whose current folder could not be read (it was
  // removed, or a folder above it may not be read): no path can be made of
  // it that names the file the person meant. isFile is true and `path` is
  // the name as given, relative; it must not be posted.
  bool noFolder = false;
};

}  // namespace cv
