// The desktop services the controller calls, all on the main thread. The
// Linux implementation (LinuxPlatform) runs on the opener's own main loop
// (event_loop_linux.h); tests use FakePlatform.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cv {

// A repeating timer. Destroying it invalidates it.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual bool IsValid() const = 0;
  // Stops the timer for good; its callback never runs again.
  virtual void Invalidate() = 0;
};

// A watch on one process's exit. It never reaps the process. Destroying it
// cancels it.
class ExitWatch {
 public:
  virtual ~ExitWatch() = default;
  virtual void Cancel() = 0;
};

// A watch on the entries of one directory. Destroying it stops it.
class DirectoryWatch {
 public:
  virtual ~DirectoryWatch() = default;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Monotonic time in seconds with the fraction, from an arbitrary origin
  // (CLOCK_MONOTONIC). It never goes back and does not follow changes to the
  // wall clock: every instant of the controller (deadlines, windows, claim
  // stamps, the launch grace) comes from here. Only differences of two
  // readings mean anything; it is no date.
  virtual double Now() = 0;

  // Calls `fire` every `seconds` on the main loop, also while a modal alert
  // is on screen, until invalidated.
  virtual std::unique_ptr<Timer> ScheduleRepeating(double seconds, std::function<void()> fire) = 0;

  // Calls `exited` once on the main loop after `pid` has exited (the process
  // stays a zombie until reaped). Also runs while a modal alert is up.
  // Returns nullptr when the process cannot be watched.
  virtual std::unique_ptr<ExitWatch> WatchExit(pid_t pid, std::function<void()> exited) = 0;

  // Watches the directory `name` below the open directory `dirfd` (the last
  // component is not followed and must be a directory). Calls `changed` on
  // the main loop, also while a modal alert is up, with the names of the
  // entries removed or renamed away since the last call, in order. An empty
  // list means the watch lost track (events dropped, or the directory
  // itself removed or moved); the watch reports nothing after the latter.
  // Returns nullptr with errno set when the directory cannot be watched.
  virtual std::unique_ptr<DirectoryWatch> WatchDirectory(
      int dirfd, const std::string& name, std::function<void(const std::vector<std::string>& names)> changed) = 0;

  // waitpid(pid, status, 0): the pid, or -1 with errno set (EINTR included;
  // the caller retries).
  virtual pid_t WaitPid(pid_t pid, int* status) = 0;

  // Brings this program to the front.
  virtual void Activate() = 0;

  // Shows a modal alert with one "OK" button above other windows and returns
  // when it is dismissed. Timers and exit watches keep firing meanwhile.
  virtual void RunModalAlert(const std::string& messageText, const std::string& informativeText) = 0;

  // Whether activation can be handed to other programs (the handoff window
  // and yieldActivation exist only then).
  virtual bool ActivationHandoverAvailable() = 0;
  // Yields activation to the application of process `pid`; false when no
  // such application runs.
  virtual bool YieldActivationToProcess(pid_t pid) = 0;
  virtual void YieldActivationToBundle(const std::string& bundleId) = 0;

  // The launch's requests are handled and nothing more is to be shown for
  // them: ends the desktop's startup feedback of this launch (its busy
  // cursor or spinner) unless an alert window already did. Never waits and
  // never shows anything.
  virtual void EndStartupFeedback() = 0;

  // Ends the process with status 0 (a fake only records the call).
  virtual void Terminate() = 0;

  // From this call on, SIGTERM, SIGINT and SIGHUP no longer end the process
  // by themselves: each one received calls `requested` with its number on
  // the main loop (also while a modal alert is up), never inside a signal
  // handler. A signal received before the loop runs waits for it. Call once.
  // false with errno set when they cannot be watched; they then keep their
  // default action.
  virtual bool WatchTerminationSignals(std::function<void(int signo)> requested) = 0;
  // Ends every alert still on screen (its window closes; its dismissal is
  // not reported) and then the process as `signo` would have with its
  // default action, so that the parent sees it killed by that signal. A
  // fake only records the call.
  virtual void TerminateBySignal(int signo) = 0;
};

}  // namespace cv
