#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/alert_presenter.h"
#include "platform/log.h"
#include "util/process.h"

namespace cv {

namespace {

constexpr guint kPollMs = 50;

int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

const char* GetEnv(const char* name) { return std::getenv(name); }

const AlertChildCalls kRealCalls = {::posix_spawn, PidfdOpen, ::waitpid, ::close, GetEnv};

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
int SpawnAlert(const AlertChildCalls& calls, const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env, pid_t* pidOut) {
  if (program.empty()) return ENOENT;
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv = Pointers(all);
  std::vector<char*> envp = Pointers(env);
  // stdin from /dev/null, stdout and stderr shared with this process.
  CVSpawnOptions options;
  options.stdio[1] = kCVStdioInherit;
  options.stdio[2] = kCVStdioInherit;
  options.envp = envp.data();
  options.spawn = calls.posixSpawn;
  return CVSpawnProcess(program.c_str(), argv.data(), options, pidOut);
}

}  // namespace

// One alert window on screen; owned by its watch source.
struct AlertChild {
  const AlertChildCalls* calls = nullptr;
  pid_t pid = -1;
  int pidfd = -1;  // -1 while the exit is polled for instead
  std::string informativeText;
  std::function<void()> dismissed;
  StderrAlertPresenter* fallback = nullptr;
  WindowAlertPresenter::Startup* startup = nullptr;  // set when it took the identifier
  GSource* source = nullptr;
  std::set<AlertChild*>* shown = nullptr;  // the presenter's, until it lets go
};

namespace {

void DeleteAlertChild(gpointer data) {
  auto* child = static_cast<AlertChild*>(data);
  if (child->shown != nullptr) child->shown->erase(child);
  if (child->pidfd >= 0) child->calls->closeFd(child->pidfd);
  delete child;
}

// Reaps the child. Returns false while a poll finds it still running.
bool Reap(AlertChild* child, int* status, int* err) {
  pid_t r = CVWaitProcess(child->pid, status, child->pidfd >= 0 ? 0 : WNOHANG, child->calls->waitPid);
  *err = r < 0 ? errno : 0;
  return r != 0;
}

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

gboolean OnChildEvent(gpointer data) {
  auto* child = static_cast<AlertChild*>(data);
  int status = 0;
  int err = 0;
  if (!Reap(child, &status, &err)) return G_SOURCE_CONTINUE;
  Finish(child, status, err);
  return G_SOURCE_REMOVE;
}

gboolean OnPidfdReadable(gint, GIOCondition, gpointer data) { return OnChildEvent(data); }

// The --end-startup child: only reaped.
struct HelperChild {
  const AlertChildCalls* calls = nullptr;
  pid_t pid = -1;
  int pidfd = -1;
};

void DeleteHelperChild(gpointer data) {
  auto* child = static_cast<HelperChild*>(data);
  if (child->pidfd >= 0) child->calls->closeFd(child->pidfd);
  delete child;
}

gboolean OnHelperEvent(gpointer data) {
  auto* child = static_cast<HelperChild*>(data);
  int status = 0;
  pid_t r = CVWaitProcess(child->pid, &status, child->pidfd >= 0 ? 0 : WNOHANG, child->calls->waitPid);
  if (r == 0) return G_SOURCE_CONTINUE;
  if (r > 0 && CVDecodeWaitStatus(status).code != 0) {
    LOG->Write(LogLevel::kError, "startup sequence not ended: pid %d status %d", {child->pid, status});
  }
  return G_SOURCE_REMOVE;
}

gboolean OnHelperPidfdReadable(gint, GIOCondition, gpointer data) { return OnHelperEvent(data); }

}  // namespace

const AlertChildCalls& RealAlertChildCalls() { return kRealCalls; }

WindowAlertPresenter::WindowAlertPresenter(std::string program, const AlertChildCalls& calls)
    : program_(std::move(program)), calls_(calls) {}

bool WindowAlertPresenter::DisplayReachable() const {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = calls_.getEnv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

WindowAlertPresenter::Startup& WindowAlertPresenter::LaunchStartup() {
  if (startup_.read) return startup_;
  startup_.read = true;
  const char* x11 = std::getenv(kX11StartupName);
  const char* wayland = std::getenv(kWaylandStartupName);
  startup_.x11 = x11 != nullptr && *x11 != '\0';
  if (startup_.x11) startup_.id = x11;
  else if (wayland != nullptr) startup_.id = wayland;
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
  int err = SpawnAlert(calls_, program_, {"--primary", messageText, "--", informativeText}, ChildEnvironment(add),
                       &pid);
  if (err != 0) {
    LOG->Write(LogLevel::kError, "alert window not started (%{public}s)", {strerror(err)});
    fallback_.Show(messageText, informativeText, std::move(dismissed));
    return;
  }

  auto* child = new AlertChild;
  child->calls = &calls_;
  child->pid = pid;
  child->informativeText = informativeText;
  child->dismissed = std::move(dismissed);
  child->fallback = &fallback_;
  if (give) {
    startup.taken = true;
    child->startup = &startup;
  }
  child->pidfd = calls_.pidfdOpen(pid);
  GSource* source;
  if (child->pidfd >= 0) {
    source = g_unix_fd_source_new(child->pidfd, G_IO_IN);
    g_source_set_callback(source, G_SOURCE_FUNC(OnPidfdReadable), child, DeleteAlertChild);
  } else {
    source = g_timeout_source_new(kPollMs);
    g_source_set_callback(source, OnChildEvent, child, DeleteAlertChild);
  }
  child->source = source;
  child->shown = &shown_;
  shown_.insert(child);
  g_source_attach(source, g_main_context_default());
  g_source_unref(source);
}

void WindowAlertPresenter::EndStartupFeedback() {
  Startup& startup = LaunchStartup();
  if (startup.taken || !startup.x11) return;
  startup.taken = true;
  const char* display = calls_.getEnv("DISPLAY");
  if (display == nullptr || *display == '\0') return;
  pid_t pid = -1;
  int err = SpawnAlert(calls_, program_, {"--end-startup"},
                       ChildEnvironment({std::string(kX11StartupName) + "=" + startup.id}), &pid);
  if (err != 0) {
    LOG->Write(LogLevel::kError, "startup sequence not ended (%{public}s)", {strerror(err)});
    return;
  }
  LOG->Write(LogLevel::kDefault, "ending startup sequence: pid %d", {pid});
  auto* child = new HelperChild;
  child->calls = &calls_;
  child->pid = pid;
  child->pidfd = calls_.pidfdOpen(pid);
  GSource* source;
  if (child->pidfd >= 0) {
    source = g_unix_fd_source_new(child->pidfd, G_IO_IN);
    g_source_set_callback(source, G_SOURCE_FUNC(OnHelperPidfdReadable), child, DeleteHelperChild);
  } else {
    source = g_timeout_source_new(kPollMs);
    g_source_set_callback(source, OnHelperEvent, child, DeleteHelperChild);
  }
  g_source_attach(source, g_main_context_default());
  g_source_unref(source);
}

void WindowAlertPresenter::EndAll() {
  while (!shown_.empty()) {
    AlertChild* child = *shown_.begin();
    shown_.erase(shown_.begin());
    child->shown = nullptr;
    ::kill(child->pid, SIGKILL);
    int status = 0;
    CVWaitProcess(child->pid, &status, 0, calls_.waitPid);
    // Deletes `child` (now, or once a dispatch of it returns).
    g_source_destroy(child->source);
  }
}

}  // namespace cv
