// The agent's work: notice queued requests, claim them, handle them in stem
// order and remove them, until told to stop or idle long enough. It talks to
// the queue folder, the clock and its output only through the interfaces
// below, so a test can drive it without real files or waits.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "knobs.h"
#include "request_queue.h"

namespace cvagent {

// What wakes the loop.
class Waiter {
 public:
  enum Event { kTimeout, kChanged, kStop, kFailed };
  virtual ~Waiter() = default;
  // Monotonic seconds.
  virtual double Now() = 0;
  // Waits at most `seconds` (>= 0) for a change in the queue folder or a
  // request to stop. kFailed: the wait itself failed (reported already).
  virtual Event Wait(double seconds) = 0;
};

// Where the agent's lines go: Line() gets the handled-request lines (for
// standard output), Note() its own messages (for standard error).
class Output {
 public:
  virtual ~Output() = default;
  virtual void Line(const std::string& line) = 0;
  virtual void Note(const std::string& message) = 0;
};

// Seconds between two scans when nothing wakes the loop earlier; the
// safety net for a missed change notice.
inline constexpr double kRescanSeconds = 1.0;

class AgentLoop {
 public:
  // The loop keeps references to all three; they must outlive it.
  AgentLoop(RequestQueue& queue, Waiter& waiter, Output& out, const Knobs& knobs);

  // Runs until a stop request (returns 0), the idle time of the knobs with
  // nothing queued and nothing in hand (returns 0), or a failed wait
  // (returns 1). Requests claimed but not yet handled at that point stay
  // claimed; a note says how many.
  int Run();

  // One round without waiting: scan, claim what is due, handle what is due.
  // The first round, and the first after each sweep interval of the knobs,
  // also removes writers' temporary files older than kStaleTemporarySeconds
  // (a note names each). Public for tests.
  void Step();

  // Queued stems seen and not yet claimed, and claimed stems not yet handled.
  size_t queued() const { return seen_.size(); }
  size_t inHand() const { return inHand_.size(); }

 private:
  void Scan(double now);
  void Sweep(const std::vector<std::string>& names);
  void ClaimDue(double now);
  void HandleDue(double now);
  void Handle(const std::string& stem);
  double NextWake(double now) const;

  RequestQueue& queue_;
  Waiter& waiter_;
  Output& out_;
  Knobs knobs_;
  std::map<std::string, double> seen_;     // queued stem -> when first seen
  std::set<std::string> refused_;          // queued stems whose claim failed (not ENOENT)
  std::map<std::string, double> inHand_;   // claimed stem -> when it is to be handled
  int lastListError_ = 0;
  bool swept_ = false;                     // a sweep of temporary files ran
  double nextSweep_ = 0;                   // when the next one is due
};

}  // namespace cvagent
