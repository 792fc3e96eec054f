// The Linux platform on the real main loop with real child processes.
#include "platform/loop_platform_linux.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "loop_util.h"
#include "test_support.h"

namespace {

using cvtest::RunLoopUntil;

// Completes only when the test calls Dismiss, from inside the alert loop.
class LaterPresenter : public cv::AlertPresenter {
 public:
  void Show(const std::string& message, const std::string& informative,
            std::function<void()> dismissed) override {
    shown.emplace_back(message, informative);
    dismissed_ = std::move(dismissed);
  }
  bool Showing() const { return static_cast<bool>(dismissed_); }
  void Dismiss() {
    auto done = std::move(dismissed_);
    dismissed_ = nullptr;
    if (done) done();
  }
  std::vector<std::pair<std::string, std::string>> shown;

 private:
  std::function<void()> dismissed_;
};

// A child that exits with `status` once the returned pipe end is closed.
struct Child {
  pid_t pid = -1;
  int release = -1;  // close to let the child exit

  static Child Start(int status) {
    Child c;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return c;
    c.pid = fork();
    if (c.pid == 0) {
      close(fds[1]);
      char byte;
      while (read(fds[0], &byte, 1) < 0 && errno == EINTR) {
      }
      _exit(status);
    }
    close(fds[0]);
    c.release = fds[1];
    return c;
  }
  void Release() {
    if (release >= 0) close(release);
    release = -1;
  }
  ~Child() { Release(); }
};

// Runs the loop through `n` firings of a fresh 10 ms timer: long enough for
// any other ready or expired source to have been dispatched.
void RunTicks(cv::Platform& p, int n) {
  int count = 0;
  auto probe = p.ScheduleRepeating(0.01, [&] { ++count; });
  ASSERT_TRUE(RunLoopUntil([&] { return count >= n; }));
}

class LinuxPlatformTest : public ::testing::Test {
 protected:
  LinuxPlatformTest() : presenter_(new LaterPresenter), platform_(std::unique_ptr<cv::AlertPresenter>(presenter_)) {}
  LaterPresenter* presenter_;
  cv::LinuxPlatform platform_;
};

double ClockSeconds(clockid_t id) {
  struct timespec ts;
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Now() reads CLOCK_MONOTONIC: bracketed by two readings of it (to the
// microsecond it is kept in), never going back, and no date: a wall clock
// stepped by an hour could not move it.
TEST_F(LinuxPlatformTest, NowIsTheMonotonicClock) {
  for (int i = 0; i < 1000; ++i) {
    double before = ClockSeconds(CLOCK_MONOTONIC);
    double now = platform_.Now();
    double after = ClockSeconds(CLOCK_MONOTONIC);
    ASSERT_GE(now, before - 1e-6);
    ASSERT_LE(now, after + 1e-6);
  }
  double last = platform_.Now();
  for (int i = 0; i < 10000; ++i) {
    double now = platform_.Now();
    ASSERT_GE(now, last);
    last = now;
  }
  double wallGap = ClockSeconds(CLOCK_REALTIME) - platform_.Now();
  double monoGap = ClockSeconds(CLOCK_REALTIME) - ClockSeconds(CLOCK_MONOTONIC);
  EXPECT_NEAR(wallGap, monoGap, 0.5);
  EXPECT_GT(wallGap, 3600.0);  // the monotonic origin is the boot, not 1970
}

TEST_F(LinuxPlatformTest, TimerFiresRepeatedlyUntilInvalidated) {
  int count = 0;
  auto timer = platform_.ScheduleRepeating(0.01, [&] { ++count; });
  EXPECT_TRUE(timer->IsValid());
  ASSERT_TRUE(RunLoopUntil([&] { return count >= 3; }));
  timer->Invalidate();
  EXPECT_FALSE(timer->IsValid());
  int fired = count;
  RunTicks(platform_, 5);
  EXPECT_EQ(count, fired);
}

TEST_F(LinuxPlatformTest, TimerStopsWhenDestroyedInsideItsOwnCallback) {
  int count = 0;
  std::unique_ptr<cv::Timer> timer;
  timer = platform_.ScheduleRepeating(0.01, [&] {
    if (++count == 2) timer.reset();
  });
  ASSERT_TRUE(RunLoopUntil([&] { return count >= 2; }));
  RunTicks(platform_, 5);
  EXPECT_EQ(count, 2);
}

TEST_F(LinuxPlatformTest, ExitWatchFiresOnceAndLeavesTheChildUnreaped) {
  Child child = Child::Start(7);
  ASSERT_GT(child.pid, 0);
  int fired = 0;
  auto watch = platform_.WatchExit(child.pid, [&] { ++fired; });
  ASSERT_NE(watch, nullptr);
  RunTicks(platform_, 2);
  EXPECT_EQ(fired, 0) << "fired before the child exited";

  child.Release();
  ASSERT_TRUE(RunLoopUntil([&] { return fired > 0; }));
  RunTicks(platform_, 5);
  EXPECT_EQ(fired, 1);

  int status = 0;
  EXPECT_EQ(platform_.WaitPid(child.pid, &status), child.pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST_F(LinuxPlatformTest, ExitWatchOnAChildThatAlreadyExitedFires) {
  Child child = Child::Start(3);
  ASSERT_GT(child.pid, 0);
  child.Release();
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOWAIT), 0);

  int fired = 0;
  auto watch = platform_.WatchExit(child.pid, [&] { ++fired; });
  ASSERT_NE(watch, nullptr);
  ASSERT_TRUE(RunLoopUntil([&] { return fired > 0; }));
  int status = 0;
  EXPECT_EQ(platform_.WaitPid(child.pid, &status), child.pid);
  EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST_F(LinuxPlatformTest, CancelledOrDestroyedWatchNeverFires) {
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "cancelled");
    Child child = Child::Start(0);
    ASSERT_GT(child.pid, 0);
    int stopped = 0;
    int other = 0;
    auto watch = platform_.WatchExit(child.pid, [&] { ++stopped; });
    auto witness = platform_.WatchExit(child.pid, [&] { ++other; });
    ASSERT_NE(watch, nullptr);
    ASSERT_NE(witness, nullptr);
    if (destroy) watch.reset();
    else watch->Cancel();
    child.Release();
    ASSERT_TRUE(RunLoopUntil([&] { return other > 0; }));
    RunTicks(platform_, 3);
    EXPECT_EQ(stopped, 0);
    int status = 0;
    EXPECT_EQ(platform_.WaitPid(child.pid, &status), child.pid);
  }
}

// What the controller does when its spawned agent exits: inside the watch's
// handler it cancels and drops the watch, then starts a new tick timer.
TEST_F(LinuxPlatformTest, ExitWatchDestroyedInsideItsOwnCallback) {
  RunTicks(platform_, 1);  // the main loop and its descriptors exist
  int fdsBefore = cvtest::CountOpenFds();
  Child child = Child::Start(5);
  ASSERT_GT(child.pid, 0);
  int fired = 0;
  int ticks = 0;
  std::unique_ptr<cv::ExitWatch> watch;
  std::unique_ptr<cv::Timer> timer;
  watch = platform_.WatchExit(child.pid, [&] {
    ++fired;
    watch->Cancel();
    watch.reset();
    timer = platform_.ScheduleRepeating(0.01, [&] { ++ticks; });
  });
  ASSERT_NE(watch, nullptr);
  child.Release();
  ASSERT_TRUE(RunLoopUntil([&] { return ticks >= 3; }));
  RunTicks(platform_, 5);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(watch, nullptr);
  EXPECT_TRUE(timer->IsValid());

  int status = 0;
  EXPECT_EQ(platform_.WaitPid(child.pid, &status), child.pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 5);
  timer.reset();
  EXPECT_EQ(cvtest::CountOpenFds(), fdsBefore) << "the pidfd was not closed";
}

TEST_F(LinuxPlatformTest, WatchOfAReapedProcessIsRefused) {
  Child child = Child::Start(0);
  ASSERT_GT(child.pid, 0);
  child.Release();
  int status = 0;
  ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
  errno = 0;
  EXPECT_EQ(platform_.WatchExit(child.pid, [] {}), nullptr);
  EXPECT_EQ(errno, ESRCH);
}

TEST(LinuxPlatformFaults, WatchIsRefusedWhenPidfdOpenFails) {
  struct NoPidfd : cv::EnvWrapper {
    NoPidfd() : EnvWrapper(cv::Env::Default()) {}
    int PidfdOpen(pid_t) override {
      errno = ENOSYS;
      return -1;
    }
  } env;
  cv::LinuxPlatform platform(std::make_unique<cv::StderrAlertPresenter>(), &env);
  errno = 0;
  EXPECT_EQ(platform.WatchExit(getpid(), [] {}), nullptr);
  EXPECT_EQ(errno, ENOSYS);
}

// A directory watch on "q" below an open folder, recording every call.
class DirectoryWatchTest : public LinuxPlatformTest {
 protected:
  DirectoryWatchTest() {
    mkdir(dir_.Join("q").c_str(), 0700);
    dirfd_ = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  ~DirectoryWatchTest() override { close(dirfd_); }
  std::unique_ptr<cv::DirectoryWatch> Watch(const std::string& name = "q") {
    return platform_.WatchDirectory(dirfd_, name, [this](const std::vector<std::string>& names) {
      calls_.push_back(names);
    });
  }
  std::string Q(const std::string& name) const { return dir_.Join("q/" + name); }
  // Every name reported so far, in order.
  std::vector<std::string> Names() const {
    std::vector<std::string> all;
    for (const auto& c : calls_) all.insert(all.end(), c.begin(), c.end());
    return all;
  }

  cvtest::TempDir dir_;
  int dirfd_ = -1;
  std::vector<std::vector<std::string>> calls_;
};

TEST_F(DirectoryWatchTest, ReportsRemovalsAndRenamesAwayOnly) {
  ASSERT_TRUE(cvtest::WriteFile(Q("a.json"), "{}"));
  cv::MainLoop();  // its descriptors are not the watch's
  int before = cvtest::CountOpenFds();
  auto watch = Watch();
  ASSERT_NE(watch, nullptr);
  EXPECT_EQ(cvtest::CountOpenFds(), before + 1);
  // A new file and a write are not reported; the claim (a rename away) and
  // the removal are.
  ASSERT_TRUE(cvtest::WriteFile(Q(".t.tmp"), "{}"));
  ASSERT_EQ(rename(Q(".t.tmp").c_str(), Q("b.json").c_str()), 0);
  ASSERT_EQ(rename(Q("a.json").c_str(), Q("a.claimed").c_str()), 0);
  ASSERT_EQ(unlink(Q("a.claimed").c_str()), 0);
  ASSERT_TRUE(RunLoopUntil([&] { return Names().size() >= 3; }));
  RunTicks(platform_, 3);
  EXPECT_EQ(Names(), (std::vector<std::string>{".t.tmp", "a.json", "a.claimed"}));
  watch.reset();
  EXPECT_EQ(cvtest::CountOpenFds(), before);
  ASSERT_EQ(unlink(Q("b.json").c_str()), 0);
  RunTicks(platform_, 3);
  EXPECT_EQ(Names().size(), 3u) << "nothing after the watch is gone";
}

TEST_F(DirectoryWatchTest, TheDirectoryGoingAwayIsALostTrackReportedOnce) {
  auto watch = Watch();
  ASSERT_NE(watch, nullptr);
  ASSERT_EQ(rename(dir_.Join("q").c_str(), dir_.Join("q2").c_str()), 0);
  ASSERT_TRUE(RunLoopUntil([&] { return !calls_.empty(); }));
  ASSERT_EQ(unlink(dir_.Join("q2").c_str()) == 0 || rmdir(dir_.Join("q2").c_str()) == 0, true);
  RunTicks(platform_, 3);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0], (std::vector<std::string>{""}));
}

TEST_F(DirectoryWatchTest, WatchDestroyedInsideItsOwnCallback) {
  std::unique_ptr<cv::DirectoryWatch> watch;
  int calls = 0;
  watch = platform_.WatchDirectory(dirfd_, "q", [&](const std::vector<std::string>&) {
    ++calls;
    watch.reset();
  });
  ASSERT_NE(watch, nullptr);
  ASSERT_TRUE(cvtest::WriteFile(Q("x"), ""));
  ASSERT_EQ(unlink(Q("x").c_str()), 0);
  ASSERT_TRUE(RunLoopUntil([&] { return calls > 0; }));
  ASSERT_TRUE(cvtest::WriteFile(Q("y"), ""));
  ASSERT_EQ(unlink(Q("y").c_str()), 0);
  RunTicks(platform_, 3);
  EXPECT_EQ(calls, 1);
}

TEST_F(DirectoryWatchTest, WhatCannotBeWatchedIsRefusedWithItsError) {
  ASSERT_TRUE(cvtest::WriteFile(dir_.Join("file"), ""));
  ASSERT_EQ(symlink("q", dir_.Join("link").c_str()), 0);
  struct Case {
    const char* name;
    int err;
  } cases[] = {{"missing", ENOENT}, {"file", ENOTDIR}, {"link", ENOTDIR}};
  int before = cvtest::CountOpenFds();
  for (const Case& c : cases) {
    errno = 0;
    EXPECT_EQ(Watch(c.name), nullptr) << c.name;
    EXPECT_EQ(errno, c.err) << c.name;
  }
  EXPECT_EQ(cvtest::CountOpenFds(), before);
}

TEST(LinuxPlatformFaults, DirectoryWatchIsRefusedWhenInotifyFails) {
  struct NoInotify : cv::EnvWrapper {
    NoInotify() : EnvWrapper(cv::Env::Default()) {}
    int InotifyInit(int) override {
      errno = EMFILE;
      return -1;
    }
  } env;
  cv::LinuxPlatform platform(std::make_unique<cv::StderrAlertPresenter>(), &env);
  cvtest::TempDir dir;
  int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  errno = 0;
  EXPECT_EQ(platform.WatchDirectory(fd, ".", [](const std::vector<std::string>&) {}), nullptr);
  EXPECT_EQ(errno, EMFILE);
  close(fd);
}

TEST_F(DirectoryWatchTest, FiresInsideAnAlert) {
  bool inAlert = false;
  bool firedInAlert = false;
  bool returned = false;
  auto watch = platform_.WatchDirectory(dirfd_, "q", [&](const std::vector<std::string>&) {
    if (!inAlert) return;
    firedInAlert = true;
    presenter_->Dismiss();
  });
  ASSERT_NE(watch, nullptr);
  int ticks = 0;
  auto timer = platform_.ScheduleRepeating(0.01, [&] {
    if (++ticks != 1) return;
    inAlert = true;
    cvtest::WriteFile(Q("z"), "");
    unlink(Q("z").c_str());
    platform_.RunModalAlert("m", "i");
    inAlert = false;
    returned = true;
  });
  // Should nothing fire inside the alert, dismiss it anyway so that the
  // test fails instead of hanging.
  cv::EventLoop::SourceId guard = cv::MainLoop().AddTimer(30, [&] { presenter_->Dismiss(); });
  ASSERT_TRUE(RunLoopUntil([&] { return returned; }));
  cv::MainLoop().Remove(guard);
  EXPECT_TRUE(firedInAlert);
}

// The tick timer raises an alert from its own callback, as the controller's
// tick does; the same timer and an exit watch must keep firing inside it.
TEST_F(LinuxPlatformTest, TimerAndExitWatchFireInsideAnAlert) {
  Child child = Child::Start(0);
  ASSERT_GT(child.pid, 0);
  bool inAlert = false;
  bool alertReturned = false;
  int ticksInAlert = 0;
  int exitsInAlert = 0;
  int ticks = 0;
  auto watch = platform_.WatchExit(child.pid, [&] {
    if (inAlert) ++exitsInAlert;
  });
  ASSERT_NE(watch, nullptr);
  auto timer = platform_.ScheduleRepeating(0.01, [&] {
    ++ticks;
    if (inAlert) {
      ++ticksInAlert;
      if (ticksInAlert >= 2 && exitsInAlert > 0) presenter_->Dismiss();
      return;
    }
    if (ticks != 1) return;
    inAlert = true;
    child.Release();
    platform_.RunModalAlert("Corvantis Agent isn't responding", "Try again.");
    inAlert = false;
    alertReturned = true;
  });
  // Safety net: should nothing fire inside the alert, dismiss it anyway so
  // that the test fails instead of hanging.
  bool guardFired = false;
  cv::EventLoop::SourceId guard = cv::MainLoop().AddTimer(30, [&] {
    guardFired = true;
    presenter_->Dismiss();
  });
  ASSERT_TRUE(RunLoopUntil([&] { return alertReturned; }));
  cv::MainLoop().Remove(guard);
  EXPECT_FALSE(guardFired);
  EXPECT_GE(ticksInAlert, 2);
  EXPECT_EQ(exitsInAlert, 1);
  ASSERT_EQ(presenter_->shown.size(), 1u);
  EXPECT_EQ(presenter_->shown[0].second, "Try again.");
  int status = 0;
  EXPECT_EQ(platform_.WaitPid(child.pid, &status), child.pid);
}

TEST(LinuxPlatformTerminate, FlushesStdioAndExitsWithZero) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    std::fputs("unflushed", stdout);
    cv::LinuxPlatform(std::make_unique<cv::StderrAlertPresenter>()).Terminate();
  }
  close(fds[1]);
  std::string out;
  char buf[64];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(out, "unflushed");
}

TEST(StderrAlert, WritesOneLineAndReturnsAtOnce) {
  cv::LinuxPlatform platform(std::make_unique<cv::StderrAlertPresenter>());
  struct Case {
    const char* informative;
    const char* expected;
  } cases[] = {
      {"Try again.", "Corvantis Agent: Try again.\n"},
      {"Line one.\n\nLine two: 100%", "Corvantis Agent: Line one.\n\nLine two: 100%\n"},
      {"", "Corvantis Agent: \n"},
  };
  for (const Case& c : cases) {
    cvtest::CaptureStderr capture;
    platform.RunModalAlert("The message text", c.informative);
    EXPECT_EQ(capture.Text(), c.expected);
  }
}

}  // namespace
