#include "platform/event_loop_linux.h"

#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/rounding.h"

namespace cv {

namespace {

constexpr int kEventsPerRound = 32;

int64_t MonotonicNs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

struct EventLoop::Source {
  enum Kind { kTimer, kFd, kFirst } kind;
  std::function<void()> callback;
  int fd = -1;
  Priority priority = Priority::kDefault;
  int64_t intervalNs = 0;
  int64_t deadlineNs = 0;
};

int EventLoop::Create(std::unique_ptr<EventLoop>* out) {
  int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
  if (epollFd < 0) return errno;
  out->reset(new EventLoop(epollFd));
  return 0;
}

EventLoop::EventLoop(int epollFd) : epollFd_(epollFd) {}

EventLoop::~EventLoop() {
  ::close(epollFd_);
  // A callback's state may remove sources as it goes: take them out first.
  std::map<SourceId, std::shared_ptr<Source>> left;
  left.swap(sources_);
  left.clear();
}

EventLoop::SourceId EventLoop::Insert(std::shared_ptr<Source> source) {
  SourceId id = nextId_++;
  sources_.emplace(id, std::move(source));
  return id;
}

EventLoop::SourceId EventLoop::AddTimer(double seconds, std::function<void()> fire) {
  auto source = std::make_shared<Source>();
  source->kind = Source::kTimer;
  source->callback = std::move(fire);
  double ns = CVRound(seconds * 1e9);
  source->intervalNs = ns < 1.0 ? 1 : static_cast<int64_t>(ns);
  source->deadlineNs = MonotonicNs() + source->intervalNs;
  return Insert(std::move(source));
}

EventLoop::SourceId EventLoop::AddFd(int fd, Priority priority, std::function<void()> ready) {
  SourceId id = nextId_;
  struct epoll_event event;
  std::memset(&event, 0, sizeof event);
  event.events = EPOLLIN;
  event.data.u64 = id;
  if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) return 0;
  auto source = std::make_shared<Source>();
  source->kind = Source::kFd;
  source->callback = std::move(ready);
  source->fd = fd;
  source->priority = priority;
  return Insert(std::move(source));
}

EventLoop::SourceId EventLoop::AddFirst(std::function<void()> run) {
  auto source = std::make_shared<Source>();
  source->kind = Source::kFirst;
  source->callback = std::move(run);
  return Insert(std::move(source));
}

void EventLoop::Remove(SourceId id) {
  auto it = sources_.find(id);
  if (it == sources_.end()) return;
  // Destroyed on return, once the map no longer holds it (or later, by the
  // round that is calling it).
  std::shared_ptr<Source> gone = std::move(it->second);
  sources_.erase(it);
  if (gone->kind == Source::kFd) ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, gone->fd, nullptr);
}

void EventLoop::Run() {
  bool quit = false;
  runs_.push_back(&quit);
  while (!quit) Iterate(true);
  runs_.pop_back();
}

void EventLoop::Quit() {
  if (!runs_.empty()) *runs_.back() = true;
}

void EventLoop::RunUntil(const std::function<bool()>& done) {
  while (!done()) Iterate(true);
}

bool EventLoop::RunFirst() {
  std::vector<SourceId> ids;
  for (const auto& [id, source] : sources_) {
    if (source->kind == Source::kFirst) ids.push_back(id);
  }
  for (SourceId id : ids) {
    auto it = sources_.find(id);
    if (it == sources_.end()) continue;
    std::shared_ptr<Source> source = std::move(it->second);
    sources_.erase(it);
    source->callback();
  }
  return !ids.empty();
}

// How long the round may wait: until the earliest timer's deadline, in
// whole milliseconds rounded up so that the wait never ends before it is
// due; -1 (for ever) without timers, 0 when one is due.
int EventLoop::WaitMs() const {
  int64_t earliest = -1;
  for (const auto& [id, source] : sources_) {
    if (source->kind != Source::kTimer) continue;
    if (earliest < 0 || source->deadlineNs < earliest) earliest = source->deadlineNs;
  }
  if (earliest < 0) return -1;
  int64_t left = earliest - MonotonicNs();
  if (left <= 0) return 0;
  int64_t ms = (left + 999999) / 1000000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

bool EventLoop::Iterate(bool mayBlock) {
  uint64_t round = ++rounds_;
  if (RunFirst()) return true;
  struct epoll_event events[kEventsPerRound];
  int n = ::epoll_wait(epollFd_, events, kEventsPerRound, mayBlock ? WaitMs() : 0);
  if (n < 0) return false;  // EINTR: the caller comes back
  Ready high;
  Ready normal;
  for (int i = 0; i < n; ++i) {
    auto it = sources_.find(events[i].data.u64);
    if (it == sources_.end()) continue;
    (it->second->priority == Priority::kHigh ? high : normal).emplace_back(it->first, it->second);
  }
  int64_t now = MonotonicNs();
  Ready timers;
  for (const auto& [id, source] : sources_) {
    if (source->kind == Source::kTimer && source->deadlineNs <= now) timers.emplace_back(id, source);
  }
  std::sort(timers.begin(), timers.end(), [](const auto& a, const auto& b) {
    return a.second->deadlineNs != b.second->deadlineNs ? a.second->deadlineNs < b.second->deadlineNs
                                                          : a.first < b.first;
  });
  std::sort(normal.begin(), normal.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  bool ran = false;
  for (const Ready* ready : {&high, &timers, &normal}) {
    for (const auto& [id, source] : *ready) {
      if (rounds_ != round) return true;  // a nested round saw newer events
      auto it = sources_.find(id);
      if (it == sources_.end()) continue;  // removed by an earlier callback
      if (source->kind == Source::kTimer) {
        source->deadlineNs += source->intervalNs;
        if (source->deadlineNs <= now) source->deadlineNs = now + source->intervalNs;
      }
      source->callback();
      ran = true;
    }
  }
  return ran;
}

namespace {

EventLoop* gMainLoop = nullptr;

}  // namespace

int PrepareMainLoop() {
  if (gMainLoop != nullptr) return 0;
  std::unique_ptr<EventLoop> loop;
  if (int err = EventLoop::Create(&loop); err != 0) return err;
  gMainLoop = loop.release();
  return 0;
}

EventLoop& MainLoop() {
  if (int err = PrepareMainLoop(); err != 0) {
    std::fprintf(stderr, "main loop: %s\n", std::strerror(err));
    std::abort();
  }
  return *gMainLoop;
}

}  // namespace cv
