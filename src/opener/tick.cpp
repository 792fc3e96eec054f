#include <cstring>

#include "agent/probe.h"
#include "opener/alert_texts.h"
#include "opener/opener.h"
#include "platform/log.h"
#include "queue/limits.h"
#include "queue/request.h"

namespace {

constexpr const char* kBrowserBundle = "com.google.Chrome";

}  // namespace

void CVOpener::startTick() {
  if (_quitting) return;
  if (_tick && _tick->IsValid()) return;
  std::weak_ptr<int> alive = alive_;
  _tick = platform_.ScheduleRepeating(kCVTickInterval, [alive, self = this] {
    if (alive.expired()) return;
    self->tick();
  });
}

void CVOpener::yieldActivation() {
  if (!platform_.ActivationHandoverAvailable()) return;
  if (_agentPid > 0) platform_.YieldActivationToProcess(_agentPid);
  platform_.YieldActivationToBundle(kBrowserBundle);
}

void CVOpener::tick() {
  if (_quitting || _alerting) return;
  double now = platform_.Now();
  size_t had = _reqs.size();

  auto snapshot = _reqs;
  for (const auto& req : snapshot) {
    if (_cfd < 0) {
      LOG->Write(cv::LogLevel::kDefault, "handled %{public}@", {req->stem}, req->stem);
      removeRequest(req);
      continue;
    }
    int state = CVRequestState(_cfd, req->stem, &req->dir);
    // Not seen handled, nor claimed: followed on, and a pending one meets
    // the claim deadline.
    if (state == CVRequestUnknown && !req->unreadable) {
      LOG->Write(cv::LogLevel::kDefault, "cannot read the state of %{public}@ (%{public}s)",
                 {req->stem, strerror(errno)}, req->stem);
    }
    req->unreadable = state == CVRequestUnknown;
    if (state == CVRequestGone) {
      LOG->Write(cv::LogLevel::kDefault, "handled %{public}@", {req->stem}, req->stem);
      removeRequest(req);
      continue;
    }
    if (state == CVRequestClaimed && !req->claimedAt) {
      req->claimedAt = now;
      LOG->Write(cv::LogLevel::kDefault, "claimed %{public}@", {req->stem}, req->stem);
    }
    if (req->claimedAt && now - *req->claimedAt > kCVClaimedTooLong) {
      LOG->Write(cv::LogLevel::kDefault, "still being handled, stop waiting: %{public}@", {req->stem}, req->stem);
      removeRequest(req);
    }
  }

  bool busy = !_reqs.empty() || (_handoffUntil && *_handoffUntil > now);

  // Probe while the agent's pid is still to be learnt, and, while requests
  // are followed, to notice a running agent going away: its exit is seen
  // only for a child that this process watches. The pid is read only when
  // wanted; otherwise the probe is one open and one flock.
  bool wantPid = !(_phase == CVPhaseRunning && _agentPid > 0);
  bool watchLock = _phase == CVPhaseRunning && !_reqs.empty() && !(_child > 0 && _childWatch);
  if (_cfd >= 0 && busy && (wantPid || watchLock)) {
    int pid = 0;
    int r = agents_.ProbeAgent(_cfd, wantPid ? &pid : nullptr, nullptr);
    if (r == CVAgentRunning) {
      if (_phase != CVPhaseRunning) {
        _phase = CVPhaseRunning;
        if (anyPending()) extendClaim(kCVRunningClaim);
      }
      if (pid >= 1) {
        _agentPid = pid;
        _holderUnread = false;
      } else if (wantPid && _child > 0) {
        _holderUnread = true;
      }
    } else if (r == CVAgentAbsent && watchLock && agentLockLost()) {
      return;
    }
  }

  if (busy) yieldActivation();

  if (anyPending() && _claimBy && *_claimBy < now) {
    _claimBy.reset();
    if (withdrawPending() > 0 || _unwithdrawn > 0) alertAfterWithdrawal(cvtext::kNoResponse, "A5");
    return;
  }

  if (!_reqs.empty()) {
    _handoffUntil.reset();
    return;
  }

  if (had > 0) {
    _handoffUntil = now + (platform_.ActivationHandoverAvailable() ? kCVHandoffWindow : 0);
    _claimBy.reset();
  }

  if (!_graceDone) {
    if (!_sawEvent) {
      if (_launchedAt && now - *_launchedAt >= kCVNoDocumentGrace) noDocumentLaunch();
      return;
    }
    _graceDone = true;
  }

  if (_handoffUntil && *_handoffUntil > now) return;
  _handoffUntil.reset();
  endStartupFeedback();

  // A child whose exit cannot be watched is not waited for: the opener would
  // never learn of its exit. It runs in its own session and outlives us.
  if (_child > 0 && _childWatch) {
    if (_tick) {
      _tick->Invalidate();
      _tick.reset();
    }
    return;
  }
  quit();
}

void CVOpener::endStartupFeedback() {
  if (_startupEnded) return;
  _startupEnded = true;
  platform_.EndStartupFeedback();
}

void CVOpener::quit() {
  if (_quitting) return;
  _quitting = true;
  if (_tick) {
    _tick->Invalidate();
    _tick.reset();
  }
  LOG->Write(cv::LogLevel::kDefault, "done");
  platform_.Terminate();
}
