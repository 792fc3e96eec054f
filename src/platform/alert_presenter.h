// How a modal alert reaches the user. The platform's alert loop asks a
// presenter to show the alert and runs the main loop nested until the
// presenter reports the dismissal, so that timers and exit watches keep
// firing meanwhile. A windowed presenter (a child program waited for from
// the nested run) plugs in here without any change to the callers.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop_linux.h"
#include "util/env.h"

namespace cv {

class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  // Starts showing the alert. Must call `dismissed` exactly once, on the
  // main thread: either before Show returns (an alert that needs no answer)
  // or later from a source of the main loop (platform/event_loop_linux.h).
  virtual void Show(const std::string& messageText, const std::string& informativeText,
                    std::function<void()> dismissed) = 0;
  // The launch's requests are handled: ends the desktop's startup feedback
  // for this launch unless an alert window already did. Does nothing by
  // default. Never waits.
  virtual void EndStartupFeedback() {}
  // Ends every alert still on screen at once, for a process about to end:
  // its window closes and its `dismissed` is never called. Main thread.
  virtual void EndAll() {}
};

// Writes "Corvantis Agent: <informative text>\n" to stderr in one write(2)
// and counts as dismissed at once: one alert is one block, whose lines
// after the first are the message's own. The message text is not written.
// The texts are written as they stand: names and paths in them were made
// displayable where they entered the text (no raw control character can
// split the block or act on a terminal). A failed write loses the text and
// nothing else (errno is kept).
class StderrAlertPresenter : public AlertPresenter {
 public:
  void Show(const std::string& messageText, const std::string& informativeText,
            std::function<void()> dismissed) override;
};

struct AlertChild;

// Shows each alert as a window of its own: runs `program` (corvantis-alert)
// as a child with the arguments
//
//   --primary <message text> -- <informative text>
//
// (no shell), standard input on /dev/null, standard output and error
// shared with this process, no other descriptor, default signal actions
// and an empty signal mask, and this process's environment, except for the
// launch's startup identifier: the launch's DESKTOP_STARTUP_ID, else its
// XDG_ACTIVATION_TOKEN, goes to the first window started, under both names
// (so the window may take the focus on X11 and on Wayland alike, and ends
// the launch's startup sequence by appearing); later windows get neither
// name. A window that failed (non-zero status, no start) passes the
// identifier on to the next one. The child's
// exit is watched from `loop` (a pidfd, or a 50 ms poll where pidfd_open is
// missing) and only that pid is ever reaped: the caller's own children are
// left to the caller.
//
// `dismissed` runs from that watch once the child has exited, or before Show
// returns when no child could be started (no display, no program). The alert
// counts as seen only when the child exited with status 0; in every other
// case (no DISPLAY or WAYLAND_DISPLAY, the program missing or not
// startable, a non-zero status, a signal, a lost child) the informative
// text is written to stderr as StderrAlertPresenter does, and the alert is
// dismissed as well. No message is lost. A failure is also logged.
//
// EndStartupFeedback: when the launch came with a DESKTOP_STARTUP_ID that
// no window has taken, and DISPLAY is set, runs `program --end-startup`
// with that identifier alone (no XDG_ACTIVATION_TOKEN) and otherwise the
// same child set-up; the child sends the X11 startup-notification "remove"
// message. It is reaped from `loop` when it exits (or left to init when
// this process ends first); nothing waits for it. Once
// per presenter, and never after a window took the identifier. A launch
// with an XDG_ACTIVATION_TOKEN only needs nothing: the compositor lets an
// unused token expire.
// EndAll kills (SIGKILL) and reaps every window's program still running.
// Destroying the presenter stops watching its windows: their programs are
// left running and unreaped, and their `dismissed` is never called.
//
// Every system call goes through `env`: the display's and the startup
// identifier's variables (GetEnv), the start (Spawn, through
// CVSpawnProcess), PidfdOpen, WaitPid, Kill and Close. The child's
// environment is taken from `environ` as it stands. Main thread only;
// `env` and `loop` must outlive the presenter and its end-startup child.
class WindowAlertPresenter : public AlertPresenter {
 public:
  explicit WindowAlertPresenter(std::string program, Env* env = CurrentEnv(), EventLoop& loop = MainLoop());
  ~WindowAlertPresenter() override;
  WindowAlertPresenter(const WindowAlertPresenter&) = delete;
  WindowAlertPresenter& operator=(const WindowAlertPresenter&) = delete;
  void Show(const std::string& messageText, const std::string& informativeText,
            std::function<void()> dismissed) override;
  void EndStartupFeedback() override;

  // The launch's startup identifier and whether a child has taken it.
  struct Startup {
    bool read = false;
    std::string id;     // DESKTOP_STARTUP_ID, else XDG_ACTIVATION_TOKEN
    bool x11 = false;   // id came from DESKTOP_STARTUP_ID
    bool taken = false;
  };
  void EndAll() override;

 private:
  bool DisplayReachable() const;
  Startup& LaunchStartup();

  std::string program_;
  Env* env_;
  EventLoop& loop_;
  StderrAlertPresenter fallback_;
  Startup startup_;
  // The windows on screen; each leaves when its watch goes.
  std::vector<std::shared_ptr<AlertChild>> shown_;
};

// "corvantis-alert" in the folder of this process's program (the target of
// /proc/self/exe); empty when that link cannot be read.
std::string AlertProgramPath();

// The presenter of the opener: a WindowAlertPresenter on AlertProgramPath()
// with `env` and `loop`, made at the first alert (nothing is looked up
// before then). Without a display it writes to stderr, so it also serves a
// session that has none.
std::unique_ptr<AlertPresenter> CreateAlertPresenter(Env* env = CurrentEnv(), EventLoop& loop = MainLoop());

}  // namespace cv
