// Documents as GIO hands them to the application: each GFile becomes the
// DocumentURL that the controller filters.
#pragma once

#include <gio/gio.h>

#include <vector>

#include "opener/document_url.h"

namespace cv {

// A file-scheme GFile is a file URL: isFile true, path = its local path
// (empty when it has none, e.g. a file URI naming another host). Any other
// scheme is a non-file URL with an empty path. text = the URI.
DocumentURL DocumentURLFromFile(GFile* file);

// The files in order.
std::vector<DocumentURL> DocumentURLsFromFiles(GFile** files, int count);

}  // namespace cv
