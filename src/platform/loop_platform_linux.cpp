#include "platform/loop_platform_linux.h"

#include <sys/inotify.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "util/eintr.h"
#include "util/rounding.h"

namespace cv {

namespace {

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

constexpr uint32_t kDirectoryEvents =
    IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

class LoopTimer : public Timer {
 public:
  LoopTimer(EventLoop& loop, EventLoop::SourceId id) : loop_(loop), id_(id) {}
  ~LoopTimer() override { Invalidate(); }
  bool IsValid() const override { return id_ != 0; }
  void Invalidate() override {
    loop_.Remove(id_);
    id_ = 0;
  }

 private:
  EventLoop& loop_;
  EventLoop::SourceId id_;
};

// A descriptor the loop watches; both go with Stop. The loop's callback
// holds the state, so a callback may destroy the handle that owns it.
struct FdSourceState {
  EventLoop* loop = nullptr;
  Env* env = nullptr;
  int fd = -1;
  EventLoop::SourceId id = 0;

  void Stop() {
    loop->Remove(id);
    id = 0;
    if (fd < 0) return;
    env->Close(fd);
    fd = -1;
  }
};

// Watches `fd` (now owned by `state`), calling `readable` with the state.
// false with errno set, and `fd` closed, when the loop refuses it.
template <typename State>
bool AttachFdSource(const std::shared_ptr<State>& state, EventLoop& loop, Env* env, int fd,
                    void (*readable)(State&), EventLoop::Priority priority = EventLoop::Priority::kDefault) {
  state->loop = &loop;
  state->env = env;
  state->fd = fd;
  state->id = loop.AddFd(fd, priority, [state, readable] { readable(*state); });
  if (state->id != 0) return true;
  int err = errno;
  state->Stop();
  errno = err;
  return false;
}

struct WatchState : FdSourceState {
  std::function<void()> exited;
};

void PidfdReadable(WatchState& state) {
  state.Stop();
  state.exited();
}

class LoopExitWatch : public ExitWatch {
 public:
  explicit LoopExitWatch(std::shared_ptr<WatchState> state) : state_(std::move(state)) {}
  ~LoopExitWatch() override { Cancel(); }
  void Cancel() override { state_->Stop(); }

 private:
  std::shared_ptr<WatchState> state_;
};

struct DirectoryState : FdSourceState {
  std::function<void(const std::vector<std::string>&)> changed;
};

// Reads every queued event. Returns the names removed or renamed away; an
// empty name stands for a lost track. Sets *gone when the directory itself
// went or the descriptor failed.
std::vector<std::string> ReadDirectoryEvents(DirectoryState& state, bool* gone) {
  std::vector<std::string> names;
  alignas(struct inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = CVRetryEintr([&] { return state.env->Read(state.fd, buf, sizeof buf); });
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {
      *gone = true;
      names.emplace_back();
      break;
    }
    for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
      struct inotify_event event;
      std::memcpy(&event, buf + off, sizeof event);
      const char* name = buf + off + sizeof event;
      off += static_cast<ssize_t>(sizeof event + event.len);
      if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
        *gone = true;
        names.emplace_back();
      } else if (event.mask & IN_Q_OVERFLOW) {
        names.emplace_back();
      } else if (event.len > 0) {
        names.emplace_back(name, strnlen(name, event.len));
      }
    }
  }
  return names;
}

void DirectoryReadable(DirectoryState& state) {
  bool gone = false;
  std::vector<std::string> names = ReadDirectoryEvents(state, &gone);
  if (gone) state.Stop();
  if (!names.empty()) state.changed(names);
}

class LoopDirectoryWatch : public DirectoryWatch {
 public:
  explicit LoopDirectoryWatch(std::shared_ptr<DirectoryState> state) : state_(std::move(state)) {}
  ~LoopDirectoryWatch() override { state_->Stop(); }

 private:
  std::shared_ptr<DirectoryState> state_;
};

}  // namespace

struct TerminationWatch : FdSourceState {
  std::function<void(int)> requested;
};

namespace {

// Reads every signal queued on the descriptor; the callback normally ends
// the process at the first.
void SignalReadable(TerminationWatch& state) {
  for (;;) {
    struct signalfd_siginfo info;
    ssize_t n = CVRetryEintr([&] { return state.env->Read(state.fd, &info, sizeof info); });
    if (n != static_cast<ssize_t>(sizeof info)) break;
    state.requested(static_cast<int>(info.ssi_signo));
  }
}

}  // namespace

LinuxPlatform::LinuxPlatform(std::unique_ptr<AlertPresenter> presenter, Env* env, EventLoop& loop)
    : presenter_(std::move(presenter)), env_(env), loop_(loop) {
  sigemptyset(&savedMask_);
}

LinuxPlatform::~LinuxPlatform() {
  if (!signals_) return;
  signals_->Stop();
  sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
}

double LinuxPlatform::Now() { return env_->MonotonicClock(); }

std::unique_ptr<Timer> LinuxPlatform::ScheduleRepeating(double seconds, std::function<void()> fire) {
  double ms = CVRound(seconds * 1000.0);
  double interval = ms < 1.0 ? 0.001 : ms / 1000.0;
  EventLoop::SourceId id = loop_.AddTimer(interval, std::move(fire));
  return std::make_unique<LoopTimer>(loop_, id);
}

std::unique_ptr<ExitWatch> LinuxPlatform::WatchExit(pid_t pid, std::function<void()> exited) {
  int fd = env_->PidfdOpen(pid);
  if (fd < 0) return nullptr;
  auto state = std::make_shared<WatchState>();
  state->exited = std::move(exited);
  if (!AttachFdSource(state, loop_, env_, fd, PidfdReadable)) return nullptr;
  return std::make_unique<LoopExitWatch>(std::move(state));
}

std::unique_ptr<DirectoryWatch> LinuxPlatform::WatchDirectory(
    int dirfd, const std::string& name, std::function<void(const std::vector<std::string>&)> changed) {
  std::string path = "/proc/self/fd/" + std::to_string(dirfd) + "/" + name;
  int fd = env_->InotifyInit(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  if (env_->InotifyAddWatch(fd, path.c_str(), kDirectoryEvents) < 0) {
    int err = errno;
    env_->Close(fd);
    errno = err;
    return nullptr;
  }
  auto state = std::make_shared<DirectoryState>();
  state->changed = std::move(changed);
  if (!AttachFdSource(state, loop_, env_, fd, DirectoryReadable)) return nullptr;
  return std::make_unique<LoopDirectoryWatch>(std::move(state));
}

pid_t LinuxPlatform::WaitPid(pid_t pid, int* status) { return env_->WaitPid(pid, status, 0); }

void LinuxPlatform::RunModalAlert(const std::string& messageText, const std::string& informativeText) {
  auto dismissed = std::make_shared<bool>(false);
  presenter_->Show(messageText, informativeText, [dismissed] { *dismissed = true; });
  loop_.RunUntil([&] { return *dismissed; });
}

void LinuxPlatform::Terminate() {
  std::fflush(nullptr);
  std::exit(0);
}

bool LinuxPlatform::WatchTerminationSignals(std::function<void(int signo)> requested) {
  if (signals_) {
    errno = EBUSY;
    return false;
  }
  sigset_t set = TerminationSignals();
  sigset_t old;
  if (sigprocmask(SIG_BLOCK, &set, &old) != 0) return false;
  int fd = env_->SignalFd(&set);
  if (fd < 0) {
    int err = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return false;
  }
  auto watch = std::make_shared<TerminationWatch>();
  watch->requested = std::move(requested);
  if (!AttachFdSource(watch, loop_, env_, fd, SignalReadable, EventLoop::Priority::kHigh)) {
    int err = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return false;
  }
  savedMask_ = old;
  signals_ = std::move(watch);
  return true;
}

void LinuxPlatform::TerminateBySignal(int signo) {
  presenter_->EndAll();
  std::fflush(nullptr);
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(signo, &dfl, nullptr);
  // Still blocked: raised, it waits until the unblock delivers it.
  raise(signo);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signo);
  sigprocmask(SIG_UNBLOCK, &one, nullptr);
  // A signal whose default action does not end the process.
  _exit(128 + signo);
}

}  // namespace cv
