#include <cerrno>
#include <cstring>

#include "agent/probe.h"
#include "opener/alert_texts.h"
#include "opener/opener.h"
#include "platform/log.h"
#include "queue/limits.h"
#include "util/eintr.h"

namespace {

constexpr const char* kServiceLabel = "corvantis.agent";

// `text` with its one "%@" replaced by `arg`.
std::string Fill(const char* text, const std::string& arg) {
  std::string out = text;
  size_t at = out.find("%@");
  if (at != std::string::npos) out.replace(at, 2, arg);
  return out;
}

}  // namespace

void CVOpener::ensureAgent() {
  if (_child > 0) {
    extendClaim(_phase == CVPhaseRunning ? kCVRunningClaim : kCVStartingClaim);
    return;
  }
  double now = platform_.Now();
  if (_phase == CVPhaseStarting && _startingUntil && *_startingUntil > now) {
    extendClaim(*_startingUntil - now);
    return;
  }
  int err = _cfdErr;
  if (_cfd >= 0) {
    int pid = 0;
    err = 0;
    int r = agents_.ProbeAgent(_cfd, &pid, &err);
    if (r == CVAgentAbsent) {
      startAgent("the tract");
      return;
    }
    if (r == CVAgentRunning) {
      _phase = CVPhaseRunning;
      _agentPid = pid;
      extendClaim(kCVRunningClaim);
      return;
    }
  }
  withdrawPending();
  alertAfterWithdrawal(confErrorText(err), "A1");
}

void CVOpener::startAgent(const std::string& noun) {
  int rc = agents_.Kickstart(kServiceLabel);
  LOG->Write(cv::LogLevel::kDefault, "kickstart %{public}s -> %d", {kServiceLabel, rc});
  auto enterStarting = [this] {
    _phase = CVPhaseStarting;
    _startingUntil = platform_.Now() + kCVStartingClaim;
    extendClaim(kCVStartingClaim);
  };
  if (rc == 0) {
    enterStarting();
    return;
  }
  if (!_bundledAgent) {
    withdrawPending();
    alertAfterWithdrawal(cvtext::kNoService, "A3");
    return;
  }
  pid_t young = 0;
  // An agent whose lock was just found free may still be on its way out:
  // it is neither old nor young.
  pid_t old = agents_.FindOldFrozenAgent(_child > 0 ? _child : _lostAgentPid, &young);
  if (old != 0) {
    LOG->Write(cv::LogLevel::kDefault, "pre-lock agent running: pid %d", {static_cast<int>(old)});
    withdrawPending();
    alertAfterWithdrawal(Fill(cvtext::kOlderAgent, noun), "A2");
    return;
  }
  if (young >= 1) {
    LOG->Write(cv::LogLevel::kDefault, "agent pid %d is starting", {static_cast<int>(young)});
    enterStarting();
    return;
  }
  int err = 0;
  pid_t pid = agents_.SpawnAgent(_bundledAgent->c_str(), nullptr, &err);
  if (pid <= 0) {
    withdrawPending();
    alertAfterWithdrawal(Fill(cvtext::kNotStarted, strerror(err != 0 ? err : EIO)), "A4");
    return;
  }
  LOG->Write(cv::LogLevel::kDefault, "spawned agent pid %d", {static_cast<int>(pid)});
  becomeParentOf(pid);
  _phase = CVPhaseStarting;
  extendClaim(kCVStartingClaim);
}

void CVOpener::becomeParentOf(pid_t pid) {
  _child = pid;
  _agentPid = pid;
  std::weak_ptr<int> alive = alive_;
  _childWatch = platform_.WatchExit(pid, [alive, self = this, pid] {
    if (alive.expired()) return;
    self->childExited(pid);
  });
}

void CVOpener::childExited(pid_t pid) {
  if (pid <= 0 || pid != _child) return;
  int status = 0;
  int st = 0;
  if (CVRetryEintr([&] { return platform_.WaitPid(pid, &st); }) >= 0) status = st;
  LOG->Write(cv::LogLevel::kDefault, "agent pid %d exited (status %d)",
             {static_cast<int>(pid), status});
  if (_childWatch) {
    _childWatch->Cancel();
    _childWatch.reset();
  }
  // The lock holder as last known: the child itself, unless a probe found
  // another agent holding the lock while the child lived.
  pid_t holder = _agentPid;
  bool holderUnread = _holderUnread;
  _child = 0;
  _agentPid = 0;
  _phase = CVPhaseIdle;
  _holderUnread = false;

  // A lock found held without a readable pid may have been another agent's.
  bool otherHeld = (holder > 0 && holder != pid) || holderUnread;
  int pid2 = 0;
  int r = CVAgentAbsent;
  if (_cfd >= 0 && (anyPending() || (otherHeld && anyClaimed()))) r = agents_.ProbeAgent(_cfd, &pid2, nullptr);
  bool other = r == CVAgentRunning;
  if (other) {
    _phase = CVPhaseRunning;
    _agentPid = pid2;
    if (anyPending()) {
      _claimBy.reset();
      extendClaim(kCVRunningClaim);
    }
  }
  // Claims are the child's unless the agent that held the lock before the
  // exit still holds it. A probe that cannot tell changes nothing of what
  // was known of that agent: its claims are followed on, and it is taken to
  // run, so that its lock found free later counts as its loss. A holder
  // whose pid could not be read, before or at the exit, cannot be told
  // apart from the one seen: its claims are followed on too.
  bool sameHolder = other && (pid2 == holder || pid2 == 0 || holderUnread);
  bool theirs = otherHeld && (sameHolder || r == CVAgentUnknown);
  if (theirs && r == CVAgentUnknown) {
    _phase = CVPhaseRunning;
    _agentPid = holder != pid ? holder : 0;
  }
  uint64_t lost = theirs ? 0 : dropUnhandledClaims();
  uint64_t withdrawn = 0;
  if (anyPending() && (!other || lost > 0)) {
    withdrawn = withdrawPending() + _unwithdrawn;
    // With nobody known to hold the lock, what the withdrawal found claimed
    // was claimed by the child just before it went.
    if (!other && !theirs) lost += dropUnhandledClaims();
  }
  if (lost + withdrawn > 0) alertAfterWithdrawal(cvtext::kNoResponse, "A5");
  startTick();
}

bool CVOpener::agentLockLost() {
  LOG->Write(cv::LogLevel::kDefault, "agent lock free: agent pid %d gone", {static_cast<int>(_agentPid)});
  _lostAgentPid = _agentPid;
  _phase = CVPhaseIdle;
  _agentPid = 0;
  // Read again after the probe: a claim handled just before the agent went
  // is gone by now, and only a .claimed still there was not handled.
  if (dropUnhandledClaims() > 0) {
    withdrawPending();
    // The lock is free: what the withdrawal found claimed was claimed by
    // the agent that went.
    dropUnhandledClaims();
    alertAfterWithdrawal(cvtext::kNoResponse, "A5");
    return true;
  }
  // Pending requests: start the agent once more; after a second loss the
  // claim deadline decides.
  if (!anyPending() || _agentRestarted || _child > 0) return false;
  _agentRestarted = true;
  LOG->Write(cv::LogLevel::kDefault, "starting the agent again");
  startAgent("the tract");
  return true;
}

void CVOpener::noDocumentLaunch() {
  _graceDone = true;
  if (_sawEvent || !_reqs.empty() || _child > 0) return;
  if (_cfd < 0) {
    alert(confErrorText(_cfdErr), "A1");
    return;
  }
  int pid = 0;
  int err = 0;
  int r = agents_.ProbeAgent(_cfd, &pid, &err);
  if (r == CVAgentAbsent) {
    startAgent("Corvantis Agent");
  } else if (r == CVAgentRunning) {
    _phase = CVPhaseRunning;
    _agentPid = pid;
    if (post("reopen", std::nullopt)) extendClaim(kCVRunningClaim);
  } else {
    alert(confErrorText(err), "A1");
  }
}
