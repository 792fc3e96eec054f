// How a modal alert reaches the user. The platform's alert loop asks a
// presenter to show the alert and runs a nested main loop until the
// presenter reports the dismissal, so that timers and exit watches keep
// firing meanwhile. A windowed presenter (a child program waited for from
// the nested loop) plugs in here without any change to the callers.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <set>
#include <string>

namespace cv {

class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  // Starts showing the alert. Must call `dismissed` exactly once, on the
  // main thread: either before Show returns (an alert that needs no answer)
  // or later from a source of the default main context.
  virtual void Show(const std::string& messageText, const std::string& informativeText,
                    std::function<void()> dismissed) = 0;
  // Ends every alert still on screen at once, for a process about to end:
  // its window closes and its `dismissed` is never called. Main thread.
  virtual void EndAll() {}
};

// Writes "Corvantis Agent: <informative text>\n" to stderr in one write(2)
// and counts as dismissed at once. The message text is not written. A
// failed write loses the text and nothing else (errno is kept).
class StderrAlertPresenter : public AlertPresenter {
 public:
  void Show(const std::string& messageText, const std::string& informativeText,
            std::function<void()> dismissed) override;
};

// The system calls of the windowed presenter; tests substitute them. Each
// behaves as the call it is named after (return value and errno).
struct AlertChildCalls {
  int (*posixSpawn)(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                    const posix_spawnattr_t* attr, char* const argv[], char* const envp[]);
  int (*pidfdOpen)(pid_t pid);  // pidfd_open(pid, 0); the descriptor is close-on-exec
  pid_t (*waitPid)(pid_t pid, int* status, int options);
  int (*closeFd)(int fd);
  const char* (*getEnv)(const char* name);
};

const AlertChildCalls& RealAlertChildCalls();

struct AlertChild;

// Shows each alert as a window of its own: runs `program` (corvantis-alert)
// as a child with the arguments
//
//   --primary <message text> -- <informative text>
//
// (no shell), standard input on /dev/null, standard output and error
// shared with this process, no other descriptor, default signal actions
// and an empty signal mask, and this process's environment, so that a
// startup identifier or activation token reaches the window. The child's
// exit is watched from the default main context (a pidfd, or a 50 ms poll
// where pidfd_open is missing) and only that pid is ever reaped: the
// caller's own children are left to the caller.
//
// `dismissed` runs from that watch once the child has exited, or before Show
// returns when no child could be started (no display, no program). The alert
// counts as seen only when the child exited with status 0; in every other
// case (no DISPLAY or WAYLAND_DISPLAY, the program missing or not
// startable, a non-zero status, a signal, a lost child) the informative
// text is written to stderr as StderrAlertPresenter does, and the alert is
// dismissed as well. No message is lost. A failure is also logged.
// EndAll kills (SIGKILL) and reaps every window's program still running.
// Main thread only; `calls` must outlive the presenter.
class WindowAlertPresenter : public AlertPresenter {
 public:
  explicit WindowAlertPresenter(std::string program, const AlertChildCalls& calls = RealAlertChildCalls());
  void Show(const std::string& messageText, const std::string& informativeText,
            std::function<void()> dismissed) override;
  void EndAll() override;

 private:
  bool DisplayReachable() const;

  std::string program_;
  const AlertChildCalls& calls_;
  StderrAlertPresenter fallback_;
  // The windows on screen; each leaves the set when its watch goes.
  std::set<AlertChild*> shown_;
};

// "corvantis-alert" in the folder of this process's program (the target of
// /proc/self/exe); empty when that link cannot be read.
std::string AlertProgramPath();

// The presenter of the opener: a WindowAlertPresenter on AlertProgramPath(),
// made at the first alert (nothing is looked up before then).
// Without a display it writes to stderr, so it also serves a session that
// has none.
std::unique_ptr<AlertPresenter> CreateAlertPresenter();

}  // namespace cv
