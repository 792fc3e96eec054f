#include "platform/glib_platform_linux.h"

#include <glib-unix.h>
#include <glib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace cv {

namespace {

int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

const ProcessCalls kRealCalls = {PidfdOpen, ::waitpid, ::close};

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

struct WatchState {
  std::function<void()> exited;
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

struct AlertState {
  GMainLoop* loop = nullptr;
  bool dismissed = false;
};

}  // namespace

const ProcessCalls& RealProcessCalls() { return kRealCalls; }

GlibPlatform::GlibPlatform(std::unique_ptr<AlertPresenter> presenter, const ProcessCalls& calls)
    : presenter_(std::move(presenter)), calls_(calls) {}

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
  state->fd = fd;
  state->calls = &calls_;
  state->source = g_unix_fd_source_new(fd, G_IO_IN);
  g_source_set_can_recurse(state->source, TRUE);
  g_source_set_callback(state->source, G_SOURCE_FUNC(PidfdReadable),
                        new std::shared_ptr<WatchState>(state), DeleteHandle<WatchState>);
  g_source_attach(state->source, g_main_context_default());
  return std::make_unique<GlibExitWatch>(std::move(state));
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

}  // namespace cv
