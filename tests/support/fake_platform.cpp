#include "fake_platform.h"

#include <algorithm>
#include <cerrno>

namespace cvtest {

class FakePlatform::FakeTimer : public cv::Timer {
 public:
  explicit FakeTimer(std::shared_ptr<TimerSlot> slot) : slot_(std::move(slot)) {}
  ~FakeTimer() override { slot_->valid = false; }
  bool IsValid() const override { return slot_->valid; }
  void Invalidate() override { slot_->valid = false; }

 private:
  std::shared_ptr<TimerSlot> slot_;
};

class FakePlatform::FakeWatch : public cv::ExitWatch {
 public:
  explicit FakeWatch(std::shared_ptr<WatchSlot> slot) : slot_(std::move(slot)) {}
  ~FakeWatch() override { slot_->live = false; }
  void Cancel() override { slot_->live = false; }

 private:
  std::shared_ptr<WatchSlot> slot_;
};

class FakePlatform::FakeDirectoryWatch : public cv::DirectoryWatch {
 public:
  explicit FakeDirectoryWatch(std::shared_ptr<DirectorySlot> slot) : slot_(std::move(slot)) {}
  ~FakeDirectoryWatch() override { slot_->live = false; }

 private:
  std::shared_ptr<DirectorySlot> slot_;
};

void FakePlatform::FireTimers() {
  // A callback may create or invalidate timers: walk a snapshot.
  auto snapshot = timers_;
  for (auto& t : snapshot) {
    if (t->valid) t->fire();
  }
}

void FakePlatform::Tick(double seconds, int count) {
  for (int i = 0; i < count; ++i) {
    Advance(seconds);
    FireTimers();
  }
}

int FakePlatform::ValidTimers() const {
  return static_cast<int>(std::count_if(timers_.begin(), timers_.end(), [](auto& t) { return t->valid; }));
}

std::unique_ptr<cv::Timer> FakePlatform::ScheduleRepeating(double seconds, std::function<void()> fire) {
  auto slot = std::make_shared<TimerSlot>();
  slot->fire = std::move(fire);
  timers_.push_back(slot);
  lastInterval_ = seconds;
  return std::make_unique<FakeTimer>(slot);
}

std::unique_ptr<cv::ExitWatch> FakePlatform::WatchExit(pid_t pid, std::function<void()> exited) {
  if (failWatch) return nullptr;
  auto slot = std::make_shared<WatchSlot>();
  slot->pid = pid;
  slot->exited = std::move(exited);
  watches_.push_back(slot);
  return std::make_unique<FakeWatch>(slot);
}

bool FakePlatform::DeliverExit(pid_t pid) {
  auto snapshot = watches_;
  for (auto& w : snapshot) {
    if (w->pid == pid && w->live) {
      w->live = false;  // an exit is reported once
      w->exited();
      return true;
    }
  }
  return false;
}

bool FakePlatform::Watching(pid_t pid) const {
  return std::any_of(watches_.begin(), watches_.end(), [&](auto& w) { return w->pid == pid && w->live; });
}

std::unique_ptr<cv::DirectoryWatch> FakePlatform::WatchDirectory(
    int dirfd, const std::string& name, std::function<void(const std::vector<std::string>&)> changed) {
  ++directoryWatchesCreated;
  watchedDirFd = dirfd;
  watchedDirName = name;
  if (onDirectoryWatch) onDirectoryWatch();
  if (failDirectoryWatch) {
    errno = ENOENT;
    return nullptr;
  }
  auto slot = std::make_shared<DirectorySlot>();
  slot->changed = std::move(changed);
  directoryWatches_.push_back(slot);
  return std::make_unique<FakeDirectoryWatch>(slot);
}

bool FakePlatform::DeliverDirectoryChange(const std::vector<std::string>& names) {
  bool ran = false;
  auto snapshot = directoryWatches_;
  for (auto& w : snapshot) {
    if (!w->live) continue;
    w->changed(names);
    ran = true;
  }
  return ran;
}

int FakePlatform::LiveDirectoryWatches() const {
  return static_cast<int>(
      std::count_if(directoryWatches_.begin(), directoryWatches_.end(), [](auto& w) { return w->live; }));
}

pid_t FakePlatform::WaitPid(pid_t pid, int* status) {
  waited.push_back(pid);
  if (waitEintr > 0) {
    --waitEintr;
    errno = EINTR;
    return -1;
  }
  auto it = exitStatus.find(pid);
  if (it == exitStatus.end()) {
    errno = ECHILD;
    return -1;
  }
  *status = it->second;
  exitStatus.erase(it);
  return pid;
}

void FakePlatform::RunModalAlert(const std::string& messageText, const std::string& informativeText) {
  size_t index = alerts.size();
  alerts.emplace_back(messageText, informativeText);
  if (onAlert) onAlert(index);
}

bool FakePlatform::WatchTerminationSignals(std::function<void(int signo)> requested) {
  ++signalWatches;
  if (failSignalWatch) {
    errno = EMFILE;
    return false;
  }
  termination_ = std::move(requested);
  return true;
}

bool FakePlatform::DeliverTerminationSignal(int signo) {
  if (!termination_) return false;
  // A copy: the handler may replace the platform's.
  auto handler = termination_;
  handler(signo);
  return true;
}

bool FakePlatform::YieldActivationToProcess(pid_t pid) {
  if (std::find(runningApps.begin(), runningApps.end(), pid) == runningApps.end()) return false;
  yieldedToPid.push_back(pid);
  return true;
}

}  // namespace cvtest
