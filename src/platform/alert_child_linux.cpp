#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/alert_presenter.h"
#include "platform/log.h"
#include "util/process.h"

namespace cv {

namespace {

constexpr double kPollSeconds = 0.05;

constexpr char kX11StartupName[] = "DESKTOP_STARTUP_ID";
constexpr char kWaylandStartupName[] = "XDG_ACTIVATION_TOKEN";

bool IsStartupEntry(const char* entry) {
  for (const char* name : {kX11StartupName, kWaylandStartupName}) {
    size_t len = std::strlen(name);
    if (std::strncmp(entry, name, len) == 0 && entry[len] == '=') return true;
  }
  return false;
}

// This process's environment without the startup identifier, plus the
// entries of `add`.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& add) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (!IsStartupEntry(*e)) env.emplace_back(*e);
  }
  env.insert(env.end(), add.begin(), add.end());
  return env;
}

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// Returns 0 with *pidOut set, or the error number of the step that failed.
int SpawnAlert(Env* env, const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& environment, pid_t* pidOut) {
  if (program.empty()) return ENOENT;
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv = Pointers(all);
  std::vector<char*> envp = Pointers(environment);
  // stdin from /dev/null, stdout and stderr shared with this process.
  CVSpawnOptions options;
  options.stdio[1] = kCVStdioInherit;
  options.stdio[2] = kCVStdioInherit;
  options.envp = envp.data();
  options.env = env;
  return CVSpawnProcess(program.c_str(), argv.data(), options, pidOut);
}

// A child of the presenter watched from the loop until it is reaped: by its
// pidfd, or by a poll where there is none. The loop's callback holds it.
struct ChildWatch {
  Env* env = nullptr;
  EventLoop* loop = nullptr;
  pid_t pid = -1;
  int pidfd = -1;  // -1 while the exit is polled for instead
  EventLoop::SourceId source = 0;

  ~ChildWatch() { Stop(); }
  void Stop() {
    loop->Remove(source);
    source = 0;
    if (pidfd < 0) return;
    env->Close(pidfd);
    pidfd = -1;
  }
  // Watches the child, calling `event` when it may have exited.
  void Start(std::function<void()> event) {
    pidfd = env->PidfdOpen(pid);
    if (pidfd >= 0) source = loop->AddFd(pidfd, EventLoop::Priority::kDefault, event);
    if (source != 0) return;
    // No pidfd (kernels before 5.3), or the loop refused it: poll.
    if (pidfd >= 0) env->Close(pidfd);
    pidfd = -1;
    source = loop->AddTimer(kPollSeconds, std::move(event));
  }
  // Reaps the child. Returns false while a poll finds it still running.
  bool Reap(int* status, int* err) {
    pid_t r = CVWaitProcess(pid, status, pidfd >= 0 ? 0 : WNOHANG, env);
    *err = r < 0 ? errno : 0;
    return r != 0;
  }
};

}  // namespace

// One alert window on screen.
struct AlertChild : ChildWatch {
  std::string informativeText;
  std::function<void()> dismissed;
  StderrAlertPresenter* fallback = nullptr;
  WindowAlertPresenter::Startup* startup = nullptr;  // set when it took the identifier
  std::vector<std::shared_ptr<AlertChild>>* shown = nullptr;  // the presenter's, until it lets go
};

namespace {

void Finish(AlertChild* child, int status, int err) {
  CVProcessExit exit = CVDecodeWaitStatus(status);
  bool seen = err == 0 && exit.code == 0;
  if (!seen) {
    if (err != 0) {
      LOG->Write(LogLevel::kError, "alert window pid %d lost (%{public}s)", {child->pid, strerror(err)});
    } else if (exit.signal != 0) {
      LOG->Write(LogLevel::kError, "alert window pid %d killed by signal %d", {child->pid, exit.signal});
    } else {
      LOG->Write(LogLevel::kError, "alert window pid %d failed (status %d)", {child->pid, exit.code});
    }
    child->fallback->Show("", child->informativeText, [] {});
    // No window showed it: the next one may.
    if (child->startup != nullptr) child->startup->taken = false;
  }
  // The callback may start the next alert; nothing of `child` is used after.
  std::function<void()> dismissed = std::move(child->dismissed);
  dismissed();
}

void OnChildEvent(const std::shared_ptr<AlertChild>& child) {
  int status = 0;
  int err = 0;
  if (!child->Reap(&status, &err)) return;
  child->Stop();
  if (child->shown != nullptr) {
    auto& shown = *child->shown;
    shown.erase(std::remove(shown.begin(), shown.end(), child), shown.end());
    child->shown = nullptr;
  }
  Finish(child.get(), status, err);
}

// The --end-startup child: only reaped.
void OnHelperEvent(const std::shared_ptr<ChildWatch>& child) {
  int status = 0;
  int err = 0;
  if (!child->Reap(&status, &err)) return;
  child->Stop();
  if (err == 0 && CVDecodeWaitStatus(status).code != 0) {
    LOG->Write(LogLevel::kError, "startup sequence not ended: pid %d status %d", {child->pid, status});
  }
}

}  // namespace

WindowAlertPresenter::WindowAlertPresenter(std::string program, Env* env, EventLoop& loop)
    : program_(std::move(program)), env_(env), loop_(loop) {}

WindowAlertPresenter::~WindowAlertPresenter() {
  for (const std::shared_ptr<AlertChild>& child : shown_) {
    child->shown = nullptr;
    child->Stop();
  }
}

bool WindowAlertPresenter::DisplayReachable() const {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    std::optional<std::string> value = env_->GetEnv(name);
    if (value && !value->empty()) return true;
  }
  return false;
}

WindowAlertPresenter::Startup& WindowAlertPresenter::LaunchStartup() {
  if (startup_.read) return startup_;
  startup_.read = true;
  std::optional<std::string> x11 = env_->GetEnv(kX11StartupName);
  std::optional<std::string> wayland = env_->GetEnv(kWaylandStartupName);
  startup_.x11 = x11 && !x11->empty();
  if (startup_.x11) startup_.id = *x11;
  else if (wayland) startup_.id = *wayland;
  return startup_;
}

void WindowAlertPresenter::Show(const std::string& messageText, const std::string& informativeText,
                                std::function<void()> dismissed) {
  if (!DisplayReachable()) {
    fallback_.Show(messageText, informativeText, std::move(dismissed));
    return;
  }
  Startup& startup = LaunchStartup();
  bool give = !startup.taken && !startup.id.empty();
  std::vector<std::string> add;
  if (give) {
    add.push_back(std::string(kX11StartupName) + "=" + startup.id);
    add.push_back(std::string(kWaylandStartupName) + "=" + startup.id);
  }
  pid_t pid = -1;
  int err = SpawnAlert(env_, program_, {"--primary", messageText, "--", informativeText}, ChildEnvironment(add),
                       &pid);
  if (err != 0) {
    LOG->Write(LogLevel::kError, "alert window not started (%{public}s)", {strerror(err)});
    fallback_.Show(messageText, informativeText, std::move(dismissed));
    return;
  }

  auto child = std::make_shared<AlertChild>();
  child->env = env_;
  child->loop = &loop_;
  child->pid = pid;
  child->informativeText = informativeText;
  child->dismissed = std::move(dismissed);
  child->fallback = &fallback_;
  if (give) {
    startup.taken = true;
    child->startup = &startup;
  }
  child->shown = &shown_;
  shown_.push_back(child);
  child->Start([child] { OnChildEvent(child); });
}

void WindowAlertPresenter::EndStartupFeedback() {
  Startup& startup = LaunchStartup();
  if (startup.taken || !startup.x11) return;
  startup.taken = true;
  std::optional<std::string> display = env_->GetEnv("DISPLAY");
  if (!display || display->empty()) return;
  pid_t pid = -1;
  int err = SpawnAlert(env_, program_, {"--end-startup"},
                       ChildEnvironment({std::string(kX11StartupName) + "=" + startup.id}), &pid);
  if (err != 0) {
    LOG->Write(LogLevel::kError, "startup sequence not ended (%{public}s)", {strerror(err)});
    return;
  }
  LOG->Write(LogLevel::kDefault, "ending startup sequence: pid %d", {pid});
  auto child = std::make_shared<ChildWatch>();
  child->env = env_;
  child->loop = &loop_;
  child->pid = pid;
  child->Start([child] { OnHelperEvent(child); });
}

void WindowAlertPresenter::EndAll() {
  std::vector<std::shared_ptr<AlertChild>> shown;
  shown.swap(shown_);
  for (const std::shared_ptr<AlertChild>& child : shown) {
    child->shown = nullptr;
    env_->Kill(child->pid, SIGKILL);
    int status = 0;
    CVWaitProcess(child->pid, &status, 0, env_);
    child->Stop();
  }
}

}  // namespace cv
