#include "platform/log.h"

// Placeholder until the journald sink lands: everything goes to stderr.
namespace cv {
Log* CreateSystemLog(const char*, const char*) { return new StderrLog(); }
}  // namespace cv
