#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "console.h"
#include "util/eintr.h"
#include "waiter_linux.h"

namespace cvagent {

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

int BlockStopSignals() {
  sigset_t set = StopSignals();
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return errno;
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) return errno;
  return 0;
}

std::unique_ptr<LinuxWaiter> LinuxWaiter::Create(LinuxRequestQueue& queue, int* err) {
  *err = 0;
  sigset_t set = StopSignals();
  int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) {
    *err = errno;
    return nullptr;
  }
  return std::unique_ptr<LinuxWaiter>(new LinuxWaiter(queue, fd));
}

LinuxWaiter::~LinuxWaiter() { close(signalFd_); }

double LinuxWaiter::Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Waiter::Event LinuxWaiter::Wait(double seconds) {
  if (stopped_) return kStop;
  double end = Now() + seconds;
  struct pollfd fds[2] = {{signalFd_, POLLIN, 0}, {queue_.watchFd(), POLLIN, 0}};
  // An interrupted wait goes on for the time left.
  int rc = CVRetryEintr([&] {
    double left = std::max(0.0, end - Now());
    int ms = left * 1000 >= INT_MAX ? INT_MAX : static_cast<int>(std::ceil(left * 1000));
    return poll(fds, 2, ms);
  });
  if (rc < 0) {
    Complain(std::string("cannot wait for events: ") + strerror(errno));
    return kFailed;
  }
  if (rc == 0) return kTimeout;
  if (fds[0].revents) {
    struct signalfd_siginfo info;
    ssize_t n = CVRetryEintr([&] { return read(signalFd_, &info, sizeof info); });
    if (n == static_cast<ssize_t>(sizeof info)) {
      Complain(std::string("got ") + strsignal(static_cast<int>(info.ssi_signo)) + "; exiting");
      stopped_ = true;
      return kStop;
    }
    if (n < 0 && errno != EAGAIN) {
      Complain(std::string("cannot read the signal descriptor: ") + strerror(errno));
      return kFailed;
    }
  }
  if (fds[1].revents) queue_.DrainEvents();
  return kChanged;
}

}  // namespace cvagent
