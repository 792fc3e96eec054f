#include "agent_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "queue/protocol.h"
#include "request_doc.h"

namespace cvagent {

AgentLoop::AgentLoop(RequestQueue& queue, Waiter& waiter, Output& out, const Knobs& knobs)
    : queue_(queue), waiter_(waiter), out_(out), knobs_(knobs) {}

void AgentLoop::Scan(double now) {
  std::vector<std::string> names;
  int rc = queue_.List(&names);
  if (rc != 0) {
    if (rc != lastListError_)
      out_.Note(std::string("cannot read " CV_QUEUE_DIR ": ") + strerror(rc));
    lastListError_ = rc;
    return;
  }
  lastListError_ = 0;
  if (!swept_ || now >= nextSweep_) {
    swept_ = true;
    nextSweep_ = now + knobs_.sweepInterval;
    Sweep(names);
  }
  std::set<std::string> present;
  for (const std::string& name : names) {
    if (std::optional<std::string> stem = QueuedStem(name)) present.insert(*stem);
  }
  for (auto it = seen_.begin(); it != seen_.end();) {
    it = present.count(it->first) ? std::next(it) : seen_.erase(it);
  }
  for (auto it = refused_.begin(); it != refused_.end();) {
    it = present.count(*it) ? std::next(it) : refused_.erase(it);
  }
  for (const std::string& stem : present) {
    if (!refused_.count(stem)) seen_.emplace(stem, now);
  }
}

void AgentLoop::Sweep(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (!IsWriterTemporary(name)) continue;
    bool removed = false;
    int rc = queue_.RemoveIfOlder(name, kStaleTemporarySeconds, &removed);
    if (removed) out_.Note("removed " + name + ", a temporary file older than 36 hours");
    if (rc != 0 && rc != ENOENT) out_.Note("cannot remove " + name + ": " + strerror(rc));
  }
}

void AgentLoop::ClaimDue(double now) {
  for (auto it = seen_.begin(); it != seen_.end();) {
    if (now < it->second + knobs_.claimDelay) {
      ++it;
      continue;
    }
    const std::string stem = it->first;
    it = seen_.erase(it);
    int rc = queue_.Claim(stem);
    if (rc == 0) {
      inHand_.emplace(stem, now + knobs_.handleDelay);
    } else if (rc != ENOENT) {
      // ENOENT: withdrawn, or another process claimed it.
      out_.Note("cannot claim " + EscapeForLine(stem) + ": " + strerror(rc));
      refused_.insert(stem);
    }
  }
}

void AgentLoop::Handle(const std::string& stem) {
  std::string doc;
  int rc = queue_.ReadClaimed(stem, kMaxRequestBytes, &doc);
  out_.Line(rc == 0 ? RequestLine(stem, doc) : UnreadableLine(stem, rc));
  rc = queue_.RemoveClaimed(stem);
  if (rc != 0) out_.Note("cannot remove " + EscapeForLine(stem) + kCVClaimedSuffix + ": " + strerror(rc));
}

void AgentLoop::HandleDue(double now) {
  for (auto it = inHand_.begin(); it != inHand_.end();) {
    if (now < it->second) {
      ++it;
      continue;
    }
    Handle(it->first);
    it = inHand_.erase(it);
  }
}

double AgentLoop::NextWake(double now) const {
  double wake = now + kRescanSeconds;
  for (const auto& [stem, at] : seen_) wake = std::min(wake, at + knobs_.claimDelay);
  for (const auto& [stem, at] : inHand_) wake = std::min(wake, at);
  return wake;
}

void AgentLoop::Step() {
  double now = waiter_.Now();
  Scan(now);
  ClaimDue(now);
  HandleDue(now);
}

int AgentLoop::Run() {
  double idleSince = waiter_.Now();
  auto busy = [this] { return !seen_.empty() || !refused_.empty() || !inHand_.empty(); };
  for (;;) {
    // Work done in this step counts as busy time too.
    bool hadWork = busy();
    Step();
    double now = waiter_.Now();
    if (hadWork || busy()) idleSince = now;
    double wake = NextWake(now);
    if (knobs_.idleExit && !busy()) {
      double idleEnd = idleSince + *knobs_.idleExit;
      if (now >= idleEnd) {
        out_.Note("nothing to do for a while; exiting");
        return 0;
      }
      wake = std::min(wake, idleEnd);
    }
    Waiter::Event event = waiter_.Wait(std::max(0.0, wake - now));
    if (event == Waiter::kStop || event == Waiter::kFailed) {
      if (!inHand_.empty())
        out_.Note(std::to_string(inHand_.size()) + " claimed request(s) left unhandled");
      return event == Waiter::kStop ? 0 : 1;
    }
  }
}

}  // namespace cvagent
