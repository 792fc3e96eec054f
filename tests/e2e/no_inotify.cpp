// Preloaded into the opener by an end-to-end test: inotify is unavailable,
// as when the user's inotify instances are used up, so the opener's queue
// watch cannot be set up.
#include <cerrno>

extern "C" int inotify_init1(int) {
  errno = EMFILE;
  return -1;
}

extern "C" int inotify_init() {
  errno = EMFILE;
  return -1;
}
