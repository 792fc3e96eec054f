// CVOpener: the controller. It receives the desktop's events, posts open
// requests for the agent, makes sure an agent runs, follows every request
// until it is handled, reports failures in modal alerts and quits when
// nothing is left to do.
//
// Threading: everything runs on the main loop, one callback at a time. The
// one nesting is the alert loop: while a modal alert is up, the tick timer
// and the exit watch may fire inside it (the tick then returns at once; an
// alert raised meanwhile waits for the running loop).
//
// Ownership: exactly one controller per process, created before the loop
// runs and kept until the end. It owns the request table, the alert queue,
// the timer and the exit watch. `_cfd` is opened once and never closed.
// The operations are public; the fields are private and only the
// controller's own operations change them. Tests drive the controller
// through the operations and inspect it through the TEST_ methods at the
// end of the class.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "opener/agent_control.h"
#include "opener/document_path.h"
#include "opener/document_url.h"
#include "opener/request_record.h"
#include "platform/platform.h"

// Agent phase (_phase).
enum : int64_t {
  CVPhaseIdle = 0,      // no agent known to run, or the spawned one just exited
  CVPhaseStarting = 1,  // an agent was started or seen young; waiting for its lock
  CVPhaseRunning = 2,   // the agent held its lock at the last probe
};

class CVOpener {
 public:
  // Watches the termination signals (terminationRequested), opens the
  // settings folder once (failure only remembered in _cfdErr) and looks for
  // the agent copy. When too few descriptors are left for a run beside the
  // settings folder's, the folder counts as unusable with EMFILE: a request
  // is never written that could then be neither followed nor withdrawn.
  // Writes no log line, raises no alert. The platform and the agent control
  // must outlive the controller.
  CVOpener(cv::Platform& platform, cv::AgentControl& agents);
  ~CVOpener() = default;
  CVOpener(const CVOpener&) = delete;
  CVOpener& operator=(const CVOpener&) = delete;

  // --- alerts (alerts.cpp) ---
  // The "A1" message for `err`: where the settings folder lies ("~" for the
  // home folder) and why it cannot be reached (EIO's text for 0).
  std::string confErrorText(int err);
  // Logs `message` under `code`, queues it and, once launched and unless the
  // alert loop already runs, shows every queued message oldest first, one
  // modal alert each. May be called from inside a showing alert.
  void alert(const std::string& message, const std::string& code);
  // Shows what was queued before launching; nothing when the queue is empty
  // or the loop runs.
  void flushAlerts();

  // --- request table and claim deadline (requests.cpp) ---
  uint64_t outstanding() const;
  // Writes a request file of `kind` and records it. false when nothing was
  // posted; nothing is left on disk then:
  //  - the settings folder is unusable or the write failed for a reason of
  //    the folder (EACCES, ENOSPC, EROFS, EIO...): "A1" was raised and
  //    *faultOut is kNone;
  //  - the path itself cannot go into a request (too long, not UTF-8):
  //    *faultOut names the fault and no alert was raised, so that the
  //    caller can raise one "bad-path" for several documents; with a null
  //    `faultOut`, post raises that alert itself.
  bool post(const std::string& kind, const std::optional<std::string>& path,
            cv::PathFault* faultOut = nullptr);
  // The "bad-path" message for `path` (its file name, made displayable, in
  // quotes). `fault` must not be kNone.
  std::string badPathText(cv::PathFault fault, const std::string& path);
  // Withdraws every pending request. Returns how many were withdrawn; records
  // the agent claimed first stay, stamped claimed; no pending record remains.
  // A request that could not be withdrawn (its queue folder unreachable or
  // no longer the one it was written into) leaves the table too and is
  // counted in _unwithdrawn, with the reason in _unwithdrawnErr: it may
  // still be queued. Each withdrawal logs "withdrew <stem>", or
  // "withdrew <stem> (<reason>)" when `reason` is not empty.
  uint64_t withdrawPending(const std::string& reason = std::string());
  // Raises `message` under `code`, for use right after withdrawPending: or,
  // when that withdrawal left requests it could not take back, "A7" in its
  // place, since the person must not be told to open again a tract that may
  // still open. Clears _unwithdrawn.
  void alertAfterWithdrawal(const std::string& message, const std::string& code);
  bool anyPending() const;
  // Whether a record stamped claimed is followed.
  bool anyClaimed() const;
  // For use once the agent that claimed them is gone: reads each claimed
  // record's state again; a gone one was handled ("handled" line), any
  // other was not (its .claimed stays, or cannot be seen) and is counted.
  // Either way the record leaves the table; no file is touched. Returns the
  // count of records not handled.
  uint64_t dropUnhandledClaims();
  // Moves _claimBy to now + seconds when that is later (or none was set).
  void extendClaim(double seconds);

  // --- application events (events.cpp) ---
  void openURLs(const std::vector<cv::DocumentURL>& urls);
  void applicationDidFinishLaunching();
  // The desktop here sends no re-open event and asks no restorable-state
  // question (app/desktop_app.h: no windows, no talk with other instances),
  // so the controller has no handler for either.

  // --- agent supervision (supervision.cpp) ---
  // Gives the requests just posted an agent and a deadline: probes, starts
  // or waits for the starting window; "A1" (after a withdrawal) when the
  // settings folder or the lock cannot be read.
  void ensureAgent();
  // Kickstart, else old-agent scan and spawn of the agent copy; "A2"/"A3"/
  // "A4" after a withdrawal. `noun` fills the "A2" text.
  void startAgent(const std::string& noun);
  // Records the spawned child and watches its exit. When the platform cannot
  // watch it, _childWatch stays none and the tick will not wait for it.
  void becomeParentOf(pid_t pid);
  // The exit watch's handler: reaps `pid` if it is _child and decides again
  // about the requests left; restarts the tick. Other pids are ignored.
  // Claimed records whose .claimed is still there were the child's and are
  // lost, unless another agent held the lock before the exit and still
  // holds it, or the probe cannot tell, or the holder's pid could not be
  // read before or at the exit (then they may be that agent's and are
  // followed on). Lost ones raise "A5" after the pending requests were
  // withdrawn; pending ones get 15 s when another agent holds the lock,
  // else they are withdrawn ("A5").
  void childExited(pid_t pid);
  // The tick found the lock free that the running agent (one this process
  // does not watch as its child) held: it is gone. Claimed records not
  // handled raise "A5" after a withdrawal; otherwise, with requests
  // pending, the agent is started once more per run (startAgent). Returns
  // whether the tick must end here.
  bool agentLockLost();
  // The plain launch: run once by the tick after the no-document grace.
  void noDocumentLaunch();

  // --- queue watch (queue_watch.cpp) ---
  // Sets up the watch on the queue folder that makes the opener notice at
  // once when one of its requests is claimed or removed. Called before and
  // after each request is written: the watch must exist before the agent
  // can see the request, and the first write may create the folder. Tried
  // at most twice per process (once when the folder exists); when the watch
  // cannot be set up the timer alone follows the requests.
  void watchQueue();
  // The watch's handler: runs a tick at once when the tick loop runs and
  // `names` holds an entry of a request in the table (or is empty: the watch
  // lost track). Every rule of the tick stays; this only runs it sooner.
  void queueChanged(const std::vector<std::string>& names);

  // --- termination signals (termination.cpp) ---
  // SIGTERM, SIGINT or SIGHUP `signo` arrived (from the platform, on the main
  // loop; also inside an alert): withdraws every pending request (the reason
  // names the signal), leaves the claimed ones to the agent, and has the
  // platform end the alert on screen and the process as the signal would
  // have. Queued alerts are not shown. Once only; afterwards nothing runs.
  void terminationRequested(int signo);

  // --- tick loop and shutdown (tick.cpp) ---
  // Starts the 0.25 s timer unless one runs or quitting has begun.
  void startTick();
  void yieldActivation();
  void tick();
  // Once only: stops the timer, logs "done", terminates the application.
  void quit();
  // Once only: the launch's requests are handled and its alerts dismissed;
  // ends the desktop's startup feedback (Platform::EndStartupFeedback).
  // The tick calls it when nothing is left to follow, before it quits or
  // stops to wait for the agent it spawned.
  void endStartupFeedback();

  // --- for tests only ---
  // What the operations left in the fields, read-only; nothing in the
  // program calls these. A test reaches a state through the operations;
  // TEST_SetCfd is the one exception (see there).
  int TEST_Cfd() const { return _cfd; }
  int TEST_CfdErr() const { return _cfdErr; }
  const std::optional<std::string>& TEST_BundledAgent() const { return _bundledAgent; }
  bool TEST_Launched() const { return _launched; }
  bool TEST_SawEvent() const { return _sawEvent; }
  bool TEST_GraceDone() const { return _graceDone; }
  std::optional<double> TEST_LaunchedAt() const { return _launchedAt; }
  // The request table, oldest first; the records cannot be changed through it.
  std::vector<std::shared_ptr<const CVRequest>> TEST_Reqs() const { return {_reqs.begin(), _reqs.end()}; }
  int64_t TEST_Phase() const { return _phase; }
  std::optional<double> TEST_StartingUntil() const { return _startingUntil; }
  pid_t TEST_Child() const { return _child; }
  bool TEST_ChildWatched() const { return _childWatch != nullptr; }
  pid_t TEST_AgentPid() const { return _agentPid; }
  std::optional<double> TEST_ClaimBy() const { return _claimBy; }
  std::optional<double> TEST_HandoffUntil() const { return _handoffUntil; }
  // Whether the controller holds a tick timer (_tick is set).
  bool TEST_Ticking() const { return _tick != nullptr; }
  bool TEST_QueueWatched() const { return _queueWatch != nullptr; }
  bool TEST_Alerting() const { return _alerting; }
  size_t TEST_QueuedAlerts() const { return _alertQueue.size(); }
  bool TEST_Quitting() const { return _quitting; }
  uint64_t TEST_Unwithdrawn() const { return _unwithdrawn; }
  // Replaces _cfd, without closing the one it held: -1 stands for a
  // settings folder that became unusable after the controller was made,
  // which no operation brings about (the folder is opened once, in the
  // constructor, and never again).
  void TEST_SetCfd(int fd) { _cfd = fd; }

 private:
  void removeRequest(const std::shared_ptr<CVRequest>& req);

  // Fields, in the order of the data model.
  int _cfd = -1;
  int _cfdErr = 0;
  std::optional<std::string> _bundledAgent;
  bool _launched = false;
  bool _sawEvent = false;
  bool _graceDone = false;
  std::optional<double> _launchedAt;
  std::vector<std::shared_ptr<CVRequest>> _reqs;
  int64_t _phase = CVPhaseIdle;
  std::optional<double> _startingUntil;
  pid_t _child = 0;
  std::unique_ptr<cv::ExitWatch> _childWatch;
  pid_t _agentPid = 0;
  std::optional<double> _claimBy;
  std::optional<double> _handoffUntil;
  std::unique_ptr<cv::Timer> _tick;
  std::unique_ptr<cv::DirectoryWatch> _queueWatch;
  int _queueWatchTries = 0;
  bool _alerting = false;
  std::deque<std::string> _alertQueue;
  bool _quitting = false;
  // Requests the last withdrawPending could not take back, and why.
  uint64_t _unwithdrawn = 0;
  int _unwithdrawnErr = 0;
  // While the spawned child lived, a probe found the lock held but could
  // not read whose it is: it may be another agent's.
  bool _holderUnread = false;
  // A termination signal is being handled (set with _quitting).
  bool _terminating = false;
  // The agent was started again after it was lost once (at most once a run).
  bool _agentRestarted = false;
  // The pid of the agent whose lock was found free, left out of the old-
  // agent scan that follows (it may still be on its way out); 0 when none.
  pid_t _lostAgentPid = 0;
  // endStartupFeedback has run.
  bool _startupEnded = false;

  cv::Platform& platform_;
  cv::AgentControl& agents_;
  // Held weakly by the timer and exit-watch callbacks: they do nothing once
  // the controller is gone.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};
