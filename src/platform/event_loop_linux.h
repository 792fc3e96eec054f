// The opener's main loop: one epoll descriptor over the descriptors of the
// sources (pidfds, inotify, the signalfd); the timers are served by the
// wait's own time-out, the earliest deadline rounded up to the millisecond.
// A round is one epoll_wait and the dispatch of what it found; nothing
// wakes the loop while nothing is due. One descriptor and one system call
// a round: a waiting opener's tick costs a single epoll_wait.
//
// Sources are named by ids that are never reused. Any callback may add or
// remove any source, its own included: a source removed is never called
// again, and the callback that is running stays alive until it returns.
// A callback may run the loop again (a nested run: an alert): every
// source keeps firing inside, its own caller included (a timer that raised
// the alert fires on schedule meanwhile).
//
// Order within a round: the "first" callbacks queued (each runs once, and
// the round ends after them); then the descriptors of high priority that
// are ready; then the due timers, earliest deadline first; then the ready
// descriptors of default priority; descriptors of one priority, and timers
// of one deadline, in the order they were added. Should a callback run a
// nested round, what the outer round found is forgotten and the next round
// looks again (descriptors are level-triggered: nothing is lost).
//
// Instants are CLOCK_MONOTONIC. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace cv {

class EventLoop {
 public:
  using SourceId = uint64_t;  // 0 is no source
  enum class Priority { kHigh, kDefault };

  // Makes a loop: 0 with *out set, or the error number (EMFILE, ENFILE,
  // ENOMEM) when its epoll descriptor cannot be made.
  static int Create(std::unique_ptr<EventLoop>* out);
  // Closes its descriptors and drops every source left (their callbacks
  // are destroyed, never called). Not from inside a run of it.
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Calls `fire` every `seconds` (rounded to nanoseconds, at least 1), the
  // first time `seconds` from now (never earlier; up to a millisecond
  // later), until removed. A round that comes late
  // fires it once; the next firing is then one interval later.
  SourceId AddTimer(double seconds, std::function<void()> fire);
  // Calls `ready` in every round in which `fd` is readable (or has hung up
  // or failed) until removed. The descriptor stays the caller's: remove the
  // source before closing it. 0 with errno set when epoll refuses it
  // (EEXIST for a descriptor already watched; ENOSPC, ENOMEM).
  SourceId AddFd(int fd, Priority priority, std::function<void()> ready);
  // Calls `run` once at the start of the next round, before any other
  // source; the source then goes by itself.
  SourceId AddFirst(std::function<void()> run);
  // Stops a source for good; an id already gone (or 0) does nothing.
  void Remove(SourceId id);
  bool Contains(SourceId id) const { return sources_.count(id) != 0; }

  // Runs rounds until Quit ends this run. Runs nest.
  void Run();
  // Ends the innermost Run in progress once control returns to it; does
  // nothing when none is in progress. Runs outside it are not ended.
  void Quit();
  // Runs rounds until `done` answers true (asked before every round). Not
  // ended by Quit: a Quit meanwhile ends the Run around it afterwards.
  void RunUntil(const std::function<bool()>& done);
  // One round. Waits for something to become due when `mayBlock`, else
  // only looks. Returns whether a callback ran.
  bool Iterate(bool mayBlock);

 private:
  struct Source;
  using Ready = std::vector<std::pair<SourceId, std::shared_ptr<Source>>>;

  explicit EventLoop(int epollFd);
  SourceId Insert(std::shared_ptr<Source> source);
  bool RunFirst();
  int WaitMs() const;

  int epollFd_;
  SourceId nextId_ = 1;
  uint64_t rounds_ = 0;
  std::map<SourceId, std::shared_ptr<Source>> sources_;
  std::vector<bool*> runs_;  // the quit flags of the runs in progress, innermost last
};

// The loop of the process's main thread, which the platform, the alert
// presenter and the desktop application share. Never destroyed.
//
// Makes it unless it exists: 0, or the error number of EventLoop::Create
// (no descriptor left: EMFILE, ENFILE), and then nothing is made and no
// loop may run. Main thread, before anything uses MainLoop().
int PrepareMainLoop();
// The main loop, made first when PrepareMainLoop was not called; a process
// that cannot make it is ended (abort, with the reason on stderr).
EventLoop& MainLoop();

}  // namespace cv
