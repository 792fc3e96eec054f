// The main loop on its own: timers, descriptors, first callbacks, nested
// runs, and sources removed while the loop dispatches.
#include "platform/event_loop_linux.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using cv::EventLoop;

// A pipe whose read end a source watches; Put makes it readable, Take
// drains it.
struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  int fd() const { return fds[0]; }
  void Put() { EXPECT_EQ(write(fds[1], "x", 1), 1); }
  int Take() {
    char buf[64];
    int n = 0;
    ssize_t r;
    while ((r = read(fds[0], buf, sizeof buf)) > 0) n += static_cast<int>(r);
    return n;
  }
};

class EventLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(EventLoop::Create(&loop_), 0); }

  // Runs rounds until `done` answers true; false after a guard time that
  // only catches a loop that stopped firing.
  bool RunUntilOrGuard(const std::function<bool()>& done) {
    bool expired = false;
    EventLoop::SourceId guard = loop_->AddTimer(30, [&] { expired = true; });
    loop_->RunUntil([&] { return done() || expired; });
    loop_->Remove(guard);
    return done();
  }
  // Runs through `n` firings of a fresh 10 ms timer: any other due or
  // ready source has had its chance meanwhile.
  void RunTicks(int n) {
    int count = 0;
    EventLoop::SourceId probe = loop_->AddTimer(0.01, [&] { ++count; });
    ASSERT_TRUE(RunUntilOrGuard([&] { return count >= n; }));
    loop_->Remove(probe);
  }

  std::unique_ptr<EventLoop> loop_;
};

TEST_F(EventLoopTest, TimersFireEarliestDeadlineFirstAndRepeatUntilRemoved) {
  std::vector<std::string> order;
  EventLoop::SourceId late = loop_->AddTimer(0.06, [&] { order.push_back("60ms"); });
  EventLoop::SourceId early = loop_->AddTimer(0.02, [&] { order.push_back("20ms"); });
  EventLoop::SourceId middle = loop_->AddTimer(0.04, [&] { order.push_back("40ms"); });
  ASSERT_TRUE(RunUntilOrGuard([&] { return std::count(order.begin(), order.end(), "60ms") > 0; }));
  // However late the rounds came, the first firings keep their deadlines'
  // order, and the 20 ms timer has repeated before the 60 ms one fired.
  std::vector<std::string> firsts;
  for (const std::string& s : order) {
    if (std::find(firsts.begin(), firsts.end(), s) == firsts.end()) firsts.push_back(s);
  }
  EXPECT_EQ(firsts, (std::vector<std::string>{"20ms", "40ms", "60ms"}));
  EXPECT_GE(std::count(order.begin(), order.end(), "20ms"), 2);

  loop_->Remove(early);
  loop_->Remove(middle);
  loop_->Remove(late);
  EXPECT_FALSE(loop_->Contains(early));
  size_t fired = order.size();
  RunTicks(8);
  EXPECT_EQ(order.size(), fired) << "a removed timer fired";
}

// Every blocking round has something to do: the loop sleeps until the next
// deadline instead of waking early or spinning.
TEST_F(EventLoopTest, EachBlockingRoundRunsACallback) {
  int count = 0;
  EventLoop::SourceId timer = loop_->AddTimer(0.02, [&] { ++count; });
  for (int i = 1; i <= 10; ++i) {
    ASSERT_TRUE(loop_->Iterate(true)) << "round " << i << " woke with nothing due";
    EXPECT_EQ(count, i);
  }
  loop_->Remove(timer);
  EXPECT_FALSE(loop_->Iterate(false));
}

TEST_F(EventLoopTest, DescriptorIsCalledWhileReadable) {
  Pipe pipe;
  int calls = 0;
  int taken = 0;
  bool drain = false;
  EventLoop::SourceId id = loop_->AddFd(pipe.fd(), EventLoop::Priority::kDefault, [&] {
    ++calls;
    if (drain) taken += pipe.Take();
  });
  ASSERT_NE(id, 0u);
  EXPECT_FALSE(loop_->Iterate(false)) << "called before anything was written";
  pipe.Put();
  // Level-triggered: left unread, it is reported again.
  EXPECT_TRUE(loop_->Iterate(false));
  EXPECT_TRUE(loop_->Iterate(false));
  EXPECT_EQ(calls, 2);
  drain = true;
  EXPECT_TRUE(loop_->Iterate(false));
  EXPECT_EQ(taken, 1);
  EXPECT_FALSE(loop_->Iterate(false));
  EXPECT_EQ(calls, 3);
  loop_->Remove(id);
  pipe.Put();
  EXPECT_FALSE(loop_->Iterate(false));
  EXPECT_EQ(calls, 3);
  // Still open and readable, the descriptor of a removed source no longer
  // wakes the loop: every blocking round is the timer's.
  int ticks = 0;
  EventLoop::SourceId timer = loop_->AddTimer(0.01, [&] { ++ticks; });
  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(loop_->Iterate(true)) << "woken by a removed source";
  loop_->Remove(timer);
  EXPECT_EQ(ticks, 3);
}

TEST_F(EventLoopTest, DescriptorAlreadyWatchedIsRefused) {
  Pipe pipe;
  ASSERT_NE(loop_->AddFd(pipe.fd(), EventLoop::Priority::kDefault, [] {}), 0u);
  errno = 0;
  EXPECT_EQ(loop_->AddFd(pipe.fd(), EventLoop::Priority::kHigh, [] {}), 0u);
  EXPECT_EQ(errno, EEXIST);
  errno = 0;
  EXPECT_EQ(loop_->AddFd(-1, EventLoop::Priority::kDefault, [] {}), 0u);
  EXPECT_EQ(errno, EBADF);
}

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// A pidfd is readable once its process has exited, also when it was opened
// on a zombie; the loop never reaps.
TEST_F(EventLoopTest, ExitWatchByPidfdFiresForARunningAndForAnExitedChild) {
  for (bool exitedFirst : {false, true}) {
    SCOPED_TRACE(exitedFirst ? "zombie" : "running");
    int gate[2];
    ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      char byte;
      close(gate[1]);
      while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
      }
      _exit(9);
    }
    close(gate[0]);
    if (exitedFirst) {
      close(gate[1]);
      siginfo_t info{};
      ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    }
    int pidfd = PidfdOpen(pid);
    ASSERT_GE(pidfd, 0);
    int fired = 0;
    EventLoop::SourceId id = 0;
    id = loop_->AddFd(pidfd, EventLoop::Priority::kDefault, [&] {
      ++fired;
      loop_->Remove(id);
    });
    ASSERT_NE(id, 0u);
    if (!exitedFirst) {
      RunTicks(2);
      EXPECT_EQ(fired, 0) << "fired while the child ran";
      close(gate[1]);
    }
    ASSERT_TRUE(RunUntilOrGuard([&] { return fired > 0; }));
    RunTicks(2);
    EXPECT_EQ(fired, 1);
    close(pidfd);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, WNOHANG), pid) << "the child was reaped by the loop";
    EXPECT_EQ(WEXITSTATUS(status), 9);
  }
}

// High-priority descriptors come first, then due timers, then the others,
// whatever the order they were added in.
TEST_F(EventLoopTest, HighPriorityDescriptorsComeFirstInTheirRound) {
  Pipe plain;
  Pipe urgent;
  std::vector<std::string> order;
  loop_->AddFd(plain.fd(), EventLoop::Priority::kDefault, [&] {
    plain.Take();
    order.push_back("default");
  });
  EventLoop::SourceId timer = loop_->AddTimer(0.001, [&] { order.push_back("timer"); });
  loop_->AddFd(urgent.fd(), EventLoop::Priority::kHigh, [&] {
    urgent.Take();
    order.push_back("high");
  });
  plain.Put();
  urgent.Put();
  usleep(5000);  // the timer is due
  ASSERT_TRUE(loop_->Iterate(false));
  loop_->Remove(timer);
  EXPECT_EQ(order, (std::vector<std::string>{"high", "timer", "default"}));
}

TEST_F(EventLoopTest, FirstCallbacksRunAloneBeforeAnyOtherSource) {
  Pipe pipe;
  pipe.Put();
  std::vector<std::string> order;
  loop_->AddFd(pipe.fd(), EventLoop::Priority::kHigh, [&] {
    pipe.Take();
    order.push_back("fd");
  });
  loop_->AddFirst([&] { order.push_back("first 1"); });
  EventLoop::SourceId dropped = loop_->AddFirst([&] { order.push_back("dropped"); });
  loop_->AddFirst([&] { order.push_back("first 2"); });
  loop_->Remove(dropped);
  ASSERT_TRUE(loop_->Iterate(false));
  EXPECT_EQ(order, (std::vector<std::string>{"first 1", "first 2"}));
  ASSERT_TRUE(loop_->Iterate(false));
  EXPECT_FALSE(loop_->Iterate(false));
  EXPECT_EQ(order, (std::vector<std::string>{"first 1", "first 2", "fd"}));
}

// A source removes itself from inside its callback: it is never called
// again, and what its callback holds lives until the callback returns.
TEST_F(EventLoopTest, SourceRemovedInsideItsOwnCallback) {
  for (bool timer : {false, true}) {
    SCOPED_TRACE(timer ? "timer" : "descriptor");
    Pipe pipe;
    pipe.Put();
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    int calls = 0;
    bool aliveAfterRemove = false;
    EventLoop::SourceId id = 0;
    std::function<void()> callback = [&, held] {
      ++calls;
      loop_->Remove(id);
      aliveAfterRemove = !watch.expired() && *held == 0;
    };
    held.reset();
    id = timer ? loop_->AddTimer(0.001, callback) : loop_->AddFd(pipe.fd(), EventLoop::Priority::kDefault, callback);
    callback = nullptr;  // the loop's copy is the only one left
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(RunUntilOrGuard([&] { return calls > 0; }));
    EXPECT_TRUE(aliveAfterRemove);
    EXPECT_TRUE(watch.expired()) << "the callback's state outlived the round";
    RunTicks(3);
    EXPECT_EQ(calls, 1);
  }
}

// Two sources ready in the same round; whichever runs first removes the
// other, which must then not run.
TEST_F(EventLoopTest, SourceReadyInTheSameRoundIsNotCalledOnceRemoved) {
  struct Case {
    const char* name;
    bool firstIsTimer;
    bool secondIsTimer;
  } cases[] = {{"descriptors", false, false}, {"timers", true, true}, {"timer and descriptor", true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pipe a;
    Pipe b;
    a.Put();
    b.Put();
    EventLoop::SourceId ids[2] = {0, 0};
    int calls[2] = {0, 0};
    bool kinds[2] = {c.firstIsTimer, c.secondIsTimer};
    Pipe* pipes[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
      auto callback = [&, i] {
        ++calls[i];
        loop_->Remove(ids[1 - i]);
        loop_->Remove(ids[i]);
      };
      ids[i] = kinds[i] ? loop_->AddTimer(0.001, callback)
                        : loop_->AddFd(pipes[i]->fd(), EventLoop::Priority::kDefault, callback);
      ASSERT_NE(ids[i], 0u);
    }
    usleep(5000);  // both due or ready before the round
    ASSERT_TRUE(loop_->Iterate(false));
    EXPECT_EQ(calls[0] + calls[1], 1);
    RunTicks(2);
    EXPECT_EQ(calls[0] + calls[1], 1);
  }
}

// The controller's tick raises an alert from its own callback: the same
// timer keeps firing inside the nested run, which ends on Quit; the outer
// run goes on.
TEST_F(EventLoopTest, TimerKeepsFiringInsideANestedRunOfItsOwnCallback) {
  int outer = 0;
  int inner = 0;
  int depth = 0;
  bool nestedReturned = false;
  EventLoop::SourceId tick = loop_->AddTimer(0.01, [&] {
    if (depth > 0) {
      if (++inner == 3) loop_->Quit();
      return;
    }
    if (++outer == 1) {
      ++depth;
      loop_->Run();
      --depth;
      nestedReturned = true;
    }
    if (outer == 3) loop_->Quit();
  });
  bool expired = false;
  EventLoop::SourceId guard = loop_->AddTimer(30, [&] {
    expired = true;
    loop_->Quit();
    loop_->Quit();
  });
  loop_->Run();
  loop_->Remove(guard);
  loop_->Remove(tick);
  EXPECT_FALSE(expired);
  EXPECT_TRUE(nestedReturned);
  EXPECT_EQ(inner, 3) << "the inner run did not end at its Quit";
  EXPECT_EQ(outer, 3) << "the outer run ended with the inner one";
}

// A signal or an exit handled at high priority raises an alert while a
// timer is already due: the timer fires inside the alert's nested run,
// though the outer round had already found it due.
TEST_F(EventLoopTest, TimerDueWhenANestedRunStartsFiresInsideIt) {
  Pipe pipe;
  pipe.Put();
  int fired = 0;
  bool expired = false;
  EventLoop::SourceId guard = loop_->AddTimer(20, [&] { expired = true; });
  EventLoop::SourceId timer = loop_->AddTimer(0.001, [&] { ++fired; });
  EventLoop::SourceId fd = 0;
  fd = loop_->AddFd(pipe.fd(), EventLoop::Priority::kHigh, [&] {
    pipe.Take();
    loop_->Remove(fd);
    loop_->RunUntil([&] { return fired > 0 || expired; });
  });
  usleep(5000);  // the timer is due
  ASSERT_TRUE(loop_->Iterate(false));
  loop_->Remove(timer);
  loop_->Remove(guard);
  EXPECT_FALSE(expired) << "the due timer did not fire in the nested run";
  EXPECT_GE(fired, 1);
}

// Quit ends the innermost Run only; RunUntil is not a Run: a Quit inside it
// ends the Run around it once RunUntil is done.
TEST_F(EventLoopTest, QuitEndsTheInnermostRunOnly) {
  std::vector<std::string> trace;
  bool done = false;
  int ticks = 0;
  EventLoop::SourceId tick = loop_->AddTimer(0.01, [&] {
    ++ticks;
    if (ticks == 1) {
      trace.push_back("until");
      loop_->RunUntil([&] { return done; });
      trace.push_back("until returned");
    } else if (ticks == 2) {
      loop_->Quit();  // inside RunUntil: marks the outer Run
      trace.push_back("quit");
    } else if (ticks == 4) {
      done = true;
    }
  });
  bool expired = false;
  EventLoop::SourceId guard = loop_->AddTimer(30, [&] {
    expired = true;
    done = true;
    loop_->Quit();
  });
  loop_->Run();
  loop_->Remove(guard);
  loop_->Remove(tick);
  EXPECT_FALSE(expired);
  EXPECT_EQ(trace, (std::vector<std::string>{"until", "quit", "until returned"}));
  EXPECT_EQ(ticks, 4);
  loop_->Quit();  // no run in progress: nothing happens
}

// A callback runs a nested round that consumes what the outer round had
// found ready: the outer round must not call it again on stale news.
TEST_F(EventLoopTest, NestedRoundMakesTheOuterRoundLookAgain) {
  Pipe a;
  Pipe b;
  a.Put();
  b.Put();
  int callsA = 0;
  int callsB = 0;
  int emptyB = 0;
  loop_->AddFd(a.fd(), EventLoop::Priority::kDefault, [&] {
    ++callsA;
    a.Take();
    loop_->Iterate(false);
  });
  loop_->AddFd(b.fd(), EventLoop::Priority::kDefault, [&] {
    ++callsB;
    if (b.Take() == 0) ++emptyB;
  });
  ASSERT_TRUE(loop_->Iterate(false));
  EXPECT_FALSE(loop_->Iterate(false));
  EXPECT_EQ(callsA, 1);
  EXPECT_EQ(callsB, 1);
  EXPECT_EQ(emptyB, 0) << "called for data a nested round had already read";
}

// Without a descriptor left, Create says so.
TEST(EventLoopCreate, ReportsTheLackOfDescriptors) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int lowest = dup(0);
    close(lowest);
    struct rlimit limit = {static_cast<rlim_t>(lowest), static_cast<rlim_t>(lowest)};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(100);
    std::unique_ptr<EventLoop> loop;
    int err = EventLoop::Create(&loop);
    if (loop) _exit(101);
    if (err != EMFILE) _exit(102);
    _exit(dup(0) < 0 && errno == EMFILE ? 0 : 103);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
