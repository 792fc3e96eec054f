// The Platform of the Linux desktop, on the opener's own main loop
// (platform/event_loop_linux.h). Construct, use and destroy it on the
// thread that runs that loop. Every system call but the signal mask's goes
// through its Env.
//
//   Now                       the Env's MonotonicClock (CLOCK_MONOTONIC)
//   ScheduleRepeating         a timer of the loop; it also fires inside an
//                             alert raised by its own callback
//   WatchExit                 a pidfd (PidfdOpen) watched by the loop; the
//                             process is left for the caller to reap
//   WatchDirectory            an inotify descriptor (IN_NONBLOCK, IN_CLOEXEC)
//                             on "/proc/self/fd/<dirfd>/<name>" with
//                             IN_DONT_FOLLOW and IN_ONLYDIR, for removals
//                             and renames away, watched by the loop
//   WaitPid                   one waitpid(pid, status, 0)
//   RunModalAlert             the presenter shows the alert; a nested run
//                             of the loop lasts until it is dismissed
//   Activate, YieldActivation nothing: a program without windows has no
//                             activation to hand over, so the availability
//                             test answers false
//   EndStartupFeedback        the presenter's EndStartupFeedback
//   Terminate                 flushes stdio and exits with status 0
//   WatchTerminationSignals   SIGTERM, SIGINT and SIGHUP blocked and read
//                             from a signalfd, watched at high priority
//                             (before a window's exit that the same
//                             keyboard interrupt caused)
//   TerminateBySignal         kills and reaps the alert windows shown, then
//                             raises the signal with its default action
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <memory>

#include "platform/alert_presenter.h"
#include "platform/event_loop_linux.h"
#include "platform/platform.h"
#include "util/env.h"

namespace cv {

struct TerminationWatch;

class LinuxPlatform : public Platform {
 public:
  // `presenter` must not be null. `env` and `loop` must outlive the
  // platform, and every timer and watch it made.
  explicit LinuxPlatform(std::unique_ptr<AlertPresenter> presenter, Env* env = CurrentEnv(),
                         EventLoop& loop = MainLoop());
  // Gives the signals watched back their earlier mask.
  ~LinuxPlatform() override;
  LinuxPlatform(const LinuxPlatform&) = delete;
  LinuxPlatform& operator=(const LinuxPlatform&) = delete;

  double Now() override;
  // `seconds` is rounded to whole milliseconds, at least 1.
  std::unique_ptr<Timer> ScheduleRepeating(double seconds, std::function<void()> fire) override;
  // nullptr with errno set when pidfd_open fails (ESRCH for a process that
  // is already reaped, ENOSYS on kernels before 5.3) or the loop refuses
  // the descriptor. The watch must be released on the loop's thread.
  std::unique_ptr<ExitWatch> WatchExit(pid_t pid, std::function<void()> exited) override;
  // nullptr with errno set when inotify cannot be set up or the directory
  // cannot be watched (ENOENT; ENOTDIR for a file or a symbolic link; EACCES).
  // The watch must be released on the loop's thread.
  std::unique_ptr<DirectoryWatch> WatchDirectory(
      int dirfd, const std::string& name, std::function<void(const std::vector<std::string>& names)> changed) override;
  pid_t WaitPid(pid_t pid, int* status) override;
  void Activate() override {}
  // Runs the loop nested until the presenter reports the dismissal; returns
  // at once when it dismisses synchronously. Alerts may nest.
  void RunModalAlert(const std::string& messageText, const std::string& informativeText) override;
  bool ActivationHandoverAvailable() override { return false; }
  bool YieldActivationToProcess(pid_t) override { return false; }
  void YieldActivationToBundle(const std::string&) override {}
  void EndStartupFeedback() override { presenter_->EndStartupFeedback(); }
  [[noreturn]] void Terminate() override;
  // The signals stay blocked for the life of the platform; a child started
  // by posix_spawn must reset its mask (every spawn of the opener does).
  // false with errno set, and the mask as it was, when the signalfd cannot
  // be made or watched; also when called a second time (EBUSY).
  bool WatchTerminationSignals(std::function<void(int signo)> requested) override;
  [[noreturn]] void TerminateBySignal(int signo) override;

 private:
  std::unique_ptr<AlertPresenter> presenter_;
  Env* env_;
  EventLoop& loop_;
  std::shared_ptr<TerminationWatch> signals_;
  sigset_t savedMask_;
};

}  // namespace cv
