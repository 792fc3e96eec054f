// A scripted Platform for controller tests: a clock that only moves when the
// test advances it, timers that fire when the test says so, exit events the
// test delivers, and alerts that are dismissed as soon as the test's hook
// (if any) has run.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace cvtest {

class FakePlatform : public cv::Platform {
 public:
  // The monotonic clock (Now()) starts at an arbitrary fixed instant. The
  // wall clock runs beside it: Advance moves both, JumpWall steps only the
  // wall clock, as a clock change by the user or by time sync would. The
  // controller never reads the wall clock; tests hand it to the request
  // queue's clock ("created" is wall-clock time).
  double now = 1.7e9;
  double wall = 1.8e9;
  void Advance(double seconds) {
    now += seconds;
    wall += seconds;
  }
  void JumpWall(double seconds) { wall += seconds; }

  // Fires every valid timer once, in creation order (one tick).
  void FireTimers();
  // Advances the clock by `seconds` and then fires the timers; repeated
  // `count` times.
  void Tick(double seconds = 0.25, int count = 1);
  int ValidTimers() const;
  int TimersCreated() const { return static_cast<int>(timers_.size()); }
  double LastTimerInterval() const { return lastInterval_; }

  // Calls the exit handler of `pid` if a watch on it is live. Returns
  // whether one ran.
  bool DeliverExit(pid_t pid);
  bool Watching(pid_t pid) const;
  // Exit watches that should fail (WatchExit returns nullptr).
  bool failWatch = false;

  // Directory watches: the last one asked for, and whether it should fail
  // (WatchDirectory returns nullptr with ENOENT).
  bool failDirectoryWatch = false;
  int directoryWatchesCreated = 0;
  int watchedDirFd = -1;
  std::string watchedDirName;
  // Runs inside each WatchDirectory call, before it answers.
  std::function<void()> onDirectoryWatch;
  // Calls the handler of every live directory watch with `names`. Returns
  // whether one ran.
  bool DeliverDirectoryChange(const std::vector<std::string>& names);
  int LiveDirectoryWatches() const;

  // WaitPid answers: per pid, the status to report; a pid without an entry
  // fails with ECHILD. `waitEintr` makes that many calls fail with EINTR
  // first.
  std::map<pid_t, int> exitStatus;
  int waitEintr = 0;
  std::vector<pid_t> waited;

  // Alerts shown, in order: (message text, informative text).
  std::vector<std::pair<std::string, std::string>> alerts;
  // Runs while the alert with the given index (0-based, across the test) is
  // on screen, before it is dismissed.
  std::function<void(size_t index)> onAlert;
  int activations = 0;

  bool handover = false;
  std::vector<pid_t> runningApps;  // processes that count as applications
  std::vector<pid_t> yieldedToPid;
  std::vector<std::string> yieldedToBundle;

  int terminations = 0;
  // Calls of EndStartupFeedback, and the terminations counted before each.
  std::vector<int> startupEnds;

  // Termination signals: whether WatchTerminationSignals should fail
  // (EMFILE), how often it was called, and the signals TerminateBySignal
  // was asked to end the process with, in order.
  bool failSignalWatch = false;
  int signalWatches = 0;
  std::vector<int> terminatedBySignal;
  // Calls the termination handler with `signo`, as the loop does when the
  // signal arrives. Returns whether a handler ran.
  bool DeliverTerminationSignal(int signo);

  // cv::Platform
  double Now() override { return now; }
  std::unique_ptr<cv::Timer> ScheduleRepeating(double seconds, std::function<void()> fire) override;
  std::unique_ptr<cv::ExitWatch> WatchExit(pid_t pid, std::function<void()> exited) override;
  std::unique_ptr<cv::DirectoryWatch> WatchDirectory(
      int dirfd, const std::string& name,
      std::function<void(const std::vector<std::string>& names)> changed) override;
  pid_t WaitPid(pid_t pid, int* status) override;
  void Activate() override { ++activations; }
  void RunModalAlert(const std::string& messageText, const std::string& informativeText) override;
  bool ActivationHandoverAvailable() override { return handover; }
  bool YieldActivationToProcess(pid_t pid) override;
  void YieldActivationToBundle(const std::string& bundleId) override { yieldedToBundle.push_back(bundleId); }
  void Terminate() override { ++terminations; }
  void EndStartupFeedback() override { startupEnds.push_back(terminations); }
  bool WatchTerminationSignals(std::function<void(int signo)> requested) override;
  void TerminateBySignal(int signo) override { terminatedBySignal.push_back(signo); }

 private:
  struct TimerSlot {
    std::function<void()> fire;
    bool valid = true;
  };
  struct WatchSlot {
    pid_t pid;
    std::function<void()> exited;
    bool live = true;
  };
  struct DirectorySlot {
    std::function<void(const std::vector<std::string>&)> changed;
    bool live = true;
  };
  class FakeTimer;
  class FakeWatch;
  class FakeDirectoryWatch;
  std::vector<std::shared_ptr<TimerSlot>> timers_;
  std::vector<std::shared_ptr<WatchSlot>> watches_;
  std::vector<std::shared_ptr<DirectorySlot>> directoryWatches_;
  double lastInterval_ = 0;
  std::function<void(int)> termination_;
};

}  // namespace cvtest
