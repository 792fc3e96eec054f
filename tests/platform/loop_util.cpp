#include "loop_util.h"

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace cvtest {

namespace {

constexpr guint kGuardSeconds = 60;

gboolean SetFlag(gpointer data) {
  *static_cast<bool*>(data) = true;
  return G_SOURCE_REMOVE;
}

}  // namespace

bool RunLoopUntil(const std::function<bool()>& done) {
  bool expired = false;
  guint guard = g_timeout_add_seconds(kGuardSeconds, SetFlag, &expired);
  while (!done() && !expired) g_main_context_iteration(nullptr, TRUE);
  if (!expired) g_source_remove(guard);
  return done();
}

void DrainLoop() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

CaptureStderr::CaptureStderr() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  std::fflush(stderr);
  saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  dup2(fds[1], STDERR_FILENO);
  close(fds[1]);
  readEnd_ = fds[0];
}

CaptureStderr::~CaptureStderr() { Restore(); }

void CaptureStderr::Restore() {
  if (saved_ < 0) return;
  std::fflush(stderr);
  dup2(saved_, STDERR_FILENO);
  close(saved_);
  saved_ = -1;
  char buf[4096];
  for (;;) {
    ssize_t n = read(readEnd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text_.append(buf, static_cast<size_t>(n));
  }
  close(readEnd_);
  readEnd_ = -1;
}

std::string CaptureStderr::Text() {
  Restore();
  return text_;
}

}  // namespace cvtest
