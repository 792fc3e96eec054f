#include "platform/glib_platform_linux.h"

#include <glib-unix.h>
#include <glib.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/eintr.h"

namespace cv {

namespace {

int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int SignalFd(const sigset_t* mask) { return ::signalfd(-1, mask, SFD_NONBLOCK | SFD_CLOEXEC); }

const ProcessCalls kRealCalls = {PidfdOpen, ::waitpid, ::close, ::inotify_init1, ::inotify_add_watch, ::read,
                                 SignalFd};

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

// Callback data of a source: a heap copy of the shared state, deleted by
// GLib when the source goes. The dispatcher takes its own reference, so a
// callback may destroy its timer or watch while it runs.
template <typename State>
void DeleteHandle(gpointer data) {
  delete static_cast<std::shared_ptr<State>*>(data);
}

template <typename State>
std::shared_ptr<State> Borrow(gpointer data) {
  return *static_cast<std::shared_ptr<State>*>(data);
}

void DropSource(GSource** source) {
  if (*source == nullptr) return;
  g_source_destroy(*source);
  g_source_unref(*source);
  *source = nullptr;
}

struct TimerState {
  std::function<void()> fire;
  GSource* source = nullptr;
};

gboolean FireTimer(gpointer data) {
  std::shared_ptr<TimerState> state = Borrow<TimerState>(data);
  state->fire();
  return G_SOURCE_CONTINUE;
}

class GlibTimer : public Timer {
 public:
  explicit GlibTimer(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
  ~GlibTimer() override { Invalidate(); }
  bool IsValid() const override { return state_->source != nullptr; }
  void Invalidate() override { DropSource(&state_->source); }

 private:
  std::shared_ptr<TimerState> state_;
};

// A descriptor watched for G_IO_IN by a source that may recurse; both go
// with Stop.
struct FdSourceState {
  GSource* source = nullptr;
  int fd = -1;
  const ProcessCalls* calls = nullptr;

  void Stop() {
    DropSource(&source);
    if (fd < 0) return;
    calls->closeFd(fd);
    fd = -1;
  }
};

// Watches `fd` (now owned by `state`) on the default context, calling
// `readable` with the state.
template <typename State>
void AttachFdSource(const std::shared_ptr<State>& state, int fd, const ProcessCalls& calls,
                    gboolean (*readable)(gint, GIOCondition, gpointer), gint priority = G_PRIORITY_DEFAULT) {
  state->fd = fd;
  state->calls = &calls;
  state->source = g_unix_fd_source_new(fd, G_IO_IN);
  g_source_set_can_recurse(state->source, TRUE);
  g_source_set_priority(state->source, priority);
  g_source_set_callback(state->source, G_SOURCE_FUNC(readable), new std::shared_ptr<State>(state),
                        DeleteHandle<State>);
  g_source_attach(state->source, g_main_context_default());
}

struct WatchState : FdSourceState {
  std::function<void()> exited;
};

gboolean PidfdReadable(gint, GIOCondition, gpointer data) {
  std::shared_ptr<WatchState> state = Borrow<WatchState>(data);
  state->Stop();
  state->exited();
  return G_SOURCE_REMOVE;
}

class GlibExitWatch : public ExitWatch {
 public:
  explicit GlibExitWatch(std::shared_ptr<WatchState> state) : state_(std::move(state)) {}
  ~GlibExitWatch() override { Cancel(); }
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
    ssize_t n = CVRetryEintr([&] { return state.calls->readFd(state.fd, buf, sizeof buf); });
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

gboolean DirectoryReadable(gint, GIOCondition, gpointer data) {
  std::shared_ptr<DirectoryState> state = Borrow<DirectoryState>(data);
  bool gone = false;
  std::vector<std::string> names = ReadDirectoryEvents(*state, &gone);
  if (gone) state->Stop();
  if (!names.empty()) state->changed(names);
  return gone ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

class GlibDirectoryWatch : public DirectoryWatch {
 public:
  explicit GlibDirectoryWatch(std::shared_ptr<DirectoryState> state) : state_(std::move(state)) {}
  ~GlibDirectoryWatch() override { state_->Stop(); }

 private:
  std::shared_ptr<DirectoryState> state_;
};

struct AlertState {
  GMainLoop* loop = nullptr;
  bool dismissed = false;
};

}  // namespace

struct TerminationWatch : FdSourceState {
  std::function<void(int)> requested;
};

namespace {

// Reads every signal queued on the descriptor; the callback normally ends
// the process at the first.
gboolean SignalReadable(gint, GIOCondition, gpointer data) {
  auto state = Borrow<TerminationWatch>(data);
  for (;;) {
    struct signalfd_siginfo info;
    ssize_t n = CVRetryEintr([&] { return state->calls->readFd(state->fd, &info, sizeof info); });
    if (n != static_cast<ssize_t>(sizeof info)) break;
    state->requested(static_cast<int>(info.ssi_signo));
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace

const ProcessCalls& RealProcessCalls() { return kRealCalls; }

int PrepareMainContext() {
  // GLib makes its wakeup descriptor (an eventfd, else a pipe) when the
  // default context is first asked for. This process is single-threaded
  // here: a descriptor that could be made and closed is there for GLib.
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return errno;
  ::close(fd);
  g_main_context_default();
  return 0;
}

GlibPlatform::GlibPlatform(std::unique_ptr<AlertPresenter> presenter, const ProcessCalls& calls)
    : presenter_(std::move(presenter)), calls_(calls) {
  sigemptyset(&savedMask_);
}

GlibPlatform::~GlibPlatform() {
  if (!signals_) return;
  signals_->Stop();
  sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
}

double GlibPlatform::Now() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

std::unique_ptr<Timer> GlibPlatform::ScheduleRepeating(double seconds, std::function<void()> fire) {
  double ms = std::round(seconds * 1000.0);
  guint interval = ms < 1.0 ? 1u : static_cast<guint>(ms);
  auto state = std::make_shared<TimerState>();
  state->fire = std::move(fire);
  state->source = g_timeout_source_new(interval);
  g_source_set_can_recurse(state->source, TRUE);
  g_source_set_callback(state->source, FireTimer, new std::shared_ptr<TimerState>(state),
                        DeleteHandle<TimerState>);
  g_source_attach(state->source, g_main_context_default());
  return std::make_unique<GlibTimer>(std::move(state));
}

std::unique_ptr<ExitWatch> GlibPlatform::WatchExit(pid_t pid, std::function<void()> exited) {
  int fd = calls_.pidfdOpen(pid);
  if (fd < 0) return nullptr;
  auto state = std::make_shared<WatchState>();
  state->exited = std::move(exited);
  AttachFdSource(state, fd, calls_, PidfdReadable);
  return std::make_unique<GlibExitWatch>(std::move(state));
}

std::unique_ptr<DirectoryWatch> GlibPlatform::WatchDirectory(
    int dirfd, const std::string& name, std::function<void(const std::vector<std::string>&)> changed) {
  std::string path = "/proc/self/fd/" + std::to_string(dirfd) + "/" + name;
  int fd = calls_.inotifyInit(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  if (calls_.inotifyAddWatch(fd, path.c_str(), kDirectoryEvents) < 0) {
    int err = errno;
    calls_.closeFd(fd);
    errno = err;
    return nullptr;
  }
  auto state = std::make_shared<DirectoryState>();
  state->changed = std::move(changed);
  AttachFdSource(state, fd, calls_, DirectoryReadable);
  return std::make_unique<GlibDirectoryWatch>(std::move(state));
}

pid_t GlibPlatform::WaitPid(pid_t pid, int* status) { return calls_.waitPid(pid, status, 0); }

void GlibPlatform::RunModalAlert(const std::string& messageText, const std::string& informativeText) {
  auto state = std::make_shared<AlertState>();
  state->loop = g_main_loop_new(g_main_context_default(), FALSE);
  presenter_->Show(messageText, informativeText, [state] {
    state->dismissed = true;
    if (state->loop != nullptr) g_main_loop_quit(state->loop);
  });
  if (!state->dismissed) g_main_loop_run(state->loop);
  g_main_loop_unref(state->loop);
  state->loop = nullptr;
}

void GlibPlatform::Terminate() {
  std::fflush(nullptr);
  std::exit(0);
}

bool GlibPlatform::WatchTerminationSignals(std::function<void(int signo)> requested) {
  if (signals_) {
    errno = EBUSY;
    return false;
  }
  sigset_t set = TerminationSignals();
  sigset_t old;
  if (sigprocmask(SIG_BLOCK, &set, &old) != 0) return false;
  int fd = calls_.signalFd(&set);
  if (fd < 0) {
    int err = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return false;
  }
  savedMask_ = old;
  signals_ = std::make_shared<TerminationWatch>();
  signals_->requested = std::move(requested);
  AttachFdSource(signals_, fd, calls_, SignalReadable, G_PRIORITY_HIGH);
  return true;
}

void GlibPlatform::TerminateBySignal(int signo) {
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
