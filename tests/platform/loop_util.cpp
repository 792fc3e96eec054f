#include "loop_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/event_loop_linux.h"

namespace cvtest {

namespace {

constexpr double kGuardSeconds = 60;

}  // namespace

bool RunLoopUntil(const std::function<bool()>& done) {
  cv::EventLoop& loop = cv::MainLoop();
  bool expired = false;
  cv::EventLoop::SourceId guard = loop.AddTimer(kGuardSeconds, [&expired] { expired = true; });
  while (!done() && !expired) loop.Iterate(true);
  loop.Remove(guard);
  return done();
}

void DrainLoop() {
  while (cv::MainLoop().Iterate(false)) {
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
