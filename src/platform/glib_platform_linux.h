// The Platform of the Linux desktop, on the GLib default main context.
// Construct, use and destroy it on the thread that runs that context.
//
//   Now                       g_get_monotonic_time() in seconds
//   ScheduleRepeating         a timeout source that may recurse, so it also
//                             fires inside an alert raised by its own callback
//   WatchExit                 a pidfd (pidfd_open) watched for G_IO_IN; the
//                             process is left for the caller to reap
//   WatchDirectory            an inotify descriptor (IN_NONBLOCK, IN_CLOEXEC)
//                             on "/proc/self/fd/<dirfd>/<name>" with
//                             IN_DONT_FOLLOW and IN_ONLYDIR, for removals
//                             and renames away, watched for G_IO_IN
//   WaitPid                   one waitpid(pid, status, 0)
//   RunModalAlert             the presenter shows the alert; a nested
//                             GMainLoop runs until it is dismissed
//   Activate, YieldActivation nothing: a program without windows has no
//                             activation to hand over, so the availability
//                             test answers false
//   EndStartupFeedback        the presenter's EndStartupFeedback
//   Terminate                 flushes stdio and exits with status 0
//   WatchTerminationSignals   SIGTERM, SIGINT and SIGHUP blocked and read
//                             from a signalfd, watched for G_IO_IN at
//                             G_PRIORITY_HIGH (before a window's exit that
//                             the same keyboard interrupt caused)
//   TerminateBySignal         kills and reaps the alert windows shown, then
//                             raises the signal with its default action
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>

#include "platform/alert_presenter.h"
#include "platform/platform.h"

namespace cv {

// The system calls of the platform; tests substitute them to inject
// failures. Each returns -1 with errno set on failure, as the system call.
struct ProcessCalls {
  int (*pidfdOpen)(pid_t pid);  // pidfd_open(pid, 0); the descriptor is close-on-exec
  pid_t (*waitPid)(pid_t pid, int* status, int options);
  int (*closeFd)(int fd);
  int (*inotifyInit)(int flags);
  int (*inotifyAddWatch)(int fd, const char* path, uint32_t mask);
  ssize_t (*readFd)(int fd, void* buf, size_t count);
  // signalfd(-1, mask, SFD_NONBLOCK | SFD_CLOEXEC)
  int (*signalFd)(const sigset_t* mask);
};

const ProcessCalls& RealProcessCalls();

// Makes GLib's default main context, and with it the loop's own wakeup
// descriptor, unless it exists. GLib ends the process (SIGTRAP) when that
// descriptor cannot be made; this first makes sure that it can. Returns 0,
// or the error number (EMFILE, ENFILE) when no descriptor is left for it:
// the context is then not made, and no main loop may run. Main thread,
// before anything else uses the default context.
int PrepareMainContext();

struct TerminationWatch;

class GlibPlatform : public Platform {
 public:
  // `presenter` must not be null. `calls` must outlive the platform.
  explicit GlibPlatform(std::unique_ptr<AlertPresenter> presenter,
                        const ProcessCalls& calls = RealProcessCalls());
  // Gives the signals watched back their earlier mask.
  ~GlibPlatform() override;
  GlibPlatform(const GlibPlatform&) = delete;
  GlibPlatform& operator=(const GlibPlatform&) = delete;

  double Now() override;
  // `seconds` is rounded to whole milliseconds, at least 1.
  std::unique_ptr<Timer> ScheduleRepeating(double seconds, std::function<void()> fire) override;
  // nullptr with errno set when pidfd_open fails (ESRCH for a process that
  // is already reaped, ENOSYS on kernels before 5.3). The watch and its
  // descriptor must be released on the loop's thread.
  std::unique_ptr<ExitWatch> WatchExit(pid_t pid, std::function<void()> exited) override;
  // nullptr with errno set when inotify cannot be set up or the directory
  // cannot be watched (ENOENT; ENOTDIR for a file or a symbolic link; EACCES).
  // The watch and its descriptor must be released on the loop's thread.
  std::unique_ptr<DirectoryWatch> WatchDirectory(
      int dirfd, const std::string& name, std::function<void(const std::vector<std::string>& names)> changed) override;
  pid_t WaitPid(pid_t pid, int* status) override;
  void Activate() override {}
  // Runs a nested main loop on the default context until the presenter
  // reports the dismissal; returns at once when it dismisses synchronously.
  // Alerts may nest.
  void RunModalAlert(const std::string& messageText, const std::string& informativeText) override;
  bool ActivationHandoverAvailable() override { return false; }
  bool YieldActivationToProcess(pid_t) override { return false; }
  void YieldActivationToBundle(const std::string&) override {}
  void EndStartupFeedback() override { presenter_->EndStartupFeedback(); }
  [[noreturn]] void Terminate() override;
  // The signals stay blocked for the life of the platform; a child started
  // by posix_spawn must reset its mask (every spawn of the opener does).
  // false with errno set, and the mask as it was, when the signalfd cannot
  // be made; also when called a second time (EBUSY).
  bool WatchTerminationSignals(std::function<void(int signo)> requested) override;
  [[noreturn]] void TerminateBySignal(int signo) override;

 private:
  std::unique_ptr<AlertPresenter> presenter_;
  const ProcessCalls& calls_;
  std::shared_ptr<TerminationWatch> signals_;
  sigset_t savedMask_;
};

}  // namespace cv
