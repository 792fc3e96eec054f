// The real Waiter: poll(2) on the queue folder's inotify descriptor and on a
// signalfd for SIGTERM and SIGINT, with a monotonic clock.
#pragma once

#include <memory>

#include "agent_loop.h"
#include "request_queue.h"

namespace cvagent {

// Blocks SIGTERM and SIGINT for the process (so that they wait for the
// signalfd instead of killing it) and ignores SIGPIPE. Call before any other
// thread exists; returns 0 or errno.
int BlockStopSignals();

class LinuxWaiter : public Waiter {
 public:
  // Makes the signalfd for the signals blocked by BlockStopSignals(). Returns
  // nullptr with `*err` set. `queue` must outlive the waiter.
  static std::unique_ptr<LinuxWaiter> Create(LinuxRequestQueue& queue, int* err);
  ~LinuxWaiter() override;
  LinuxWaiter(const LinuxWaiter&) = delete;
  LinuxWaiter& operator=(const LinuxWaiter&) = delete;

  double Now() override;
  // kStop once a stop signal has arrived (and every time after that);
  // kChanged after draining the inotify events; kFailed when poll or the
  // signalfd read fails (reported on standard error).
  Event Wait(double seconds) override;

 private:
  LinuxWaiter(LinuxRequestQueue& queue, int signalFd) : queue_(queue), signalFd_(signalFd) {}

  LinuxRequestQueue& queue_;
  int signalFd_;
  bool stopped_ = false;
};

}  // namespace cvagent
