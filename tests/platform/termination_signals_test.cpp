// The Linux platform's termination signals: SIGTERM, SIGINT and SIGHUP read
// on the main loop (also inside an alert), and the end of the process as
// the signal would have ended it, alert windows first.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "loop_util.h"
#include "platform/event_loop_linux.h"
#include "platform/loop_platform_linux.h"
#include "test_support.h"

namespace {

using cvtest::RunLoopUntil;

// Completes only when told to, from inside the alert loop.
class HeldPresenter : public cv::AlertPresenter {
 public:
  void Show(const std::string&, const std::string&, std::function<void()> dismissed) override {
    dismissed_ = std::move(dismissed);
  }
  void Dismiss() {
    auto done = std::move(dismissed_);
    dismissed_ = nullptr;
    if (done) done();
  }

 private:
  std::function<void()> dismissed_;
};

// The real system, with a display and nothing else of the environment
// that names one or a launch.
struct DisplayEnv : cv::EnvWrapper {
  DisplayEnv() : EnvWrapper(cv::Env::Default()) {}
  std::optional<std::string> GetEnv(const char* name) override {
    if (std::strcmp(name, "DISPLAY") == 0) return std::string(":97");
    return std::nullopt;
  }
};

bool Blocked(int sig) {
  sigset_t now;
  sigprocmask(SIG_BLOCK, nullptr, &now);
  return sigismember(&now, sig) == 1;
}

TEST(TerminationSignals, EachSignalReachesTheLoopAndTheMaskIsGivenBack) {
  ASSERT_FALSE(Blocked(SIGTERM));
  {
    cv::LinuxPlatform platform(std::make_unique<HeldPresenter>());
    std::vector<int> got;
    ASSERT_TRUE(platform.WatchTerminationSignals([&](int signo) { got.push_back(signo); }));
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
      EXPECT_TRUE(Blocked(sig));
      // Without the watch each of these would end the test binary.
      ASSERT_EQ(raise(sig), 0);
      ASSERT_TRUE(RunLoopUntil([&] { return !got.empty() && got.back() == sig; })) << strsignal(sig);
    }
    EXPECT_EQ(got, (std::vector<int>{SIGTERM, SIGINT, SIGHUP}));
    errno = 0;
    EXPECT_FALSE(platform.WatchTerminationSignals([](int) {}));
    EXPECT_EQ(errno, EBUSY);
  }
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) EXPECT_FALSE(Blocked(sig)) << strsignal(sig);
}

TEST(TerminationSignals, SignalIsDeliveredInsideAnAlert) {
  auto presenterOwned = std::make_unique<HeldPresenter>();
  HeldPresenter* presenter = presenterOwned.get();
  cv::LinuxPlatform platform(std::move(presenterOwned));
  int got = 0;
  ASSERT_TRUE(platform.WatchTerminationSignals([&](int signo) {
    got = signo;
    presenter->Dismiss();
  }));
  // Raised once the alert's nested run is under way.
  cv::EventLoop& loop = cv::MainLoop();
  cv::EventLoop::SourceId raiser = 0;
  raiser = loop.AddTimer(0.01, [&] {
    raise(SIGHUP);
    loop.Remove(raiser);
  });
  bool guardFired = false;
  cv::EventLoop::SourceId guard = loop.AddTimer(20, [&] {
    guardFired = true;
    presenter->Dismiss();
  });
  platform.RunModalAlert("Corvantis Agent", "Held.");
  loop.Remove(guard);
  loop.Remove(raiser);
  EXPECT_FALSE(guardFired);
  EXPECT_EQ(got, SIGHUP);
}

TEST(TerminationSignals, DescriptorThatCannotBeMadeLeavesTheSignalsAlone) {
  struct NoSignalFd : cv::EnvWrapper {
    NoSignalFd() : EnvWrapper(cv::Env::Default()) {}
    int SignalFd(const sigset_t*) override {
      errno = EMFILE;
      return -1;
    }
  } env;
  cv::LinuxPlatform platform(std::make_unique<HeldPresenter>(), &env);
  errno = 0;
  EXPECT_FALSE(platform.WatchTerminationSignals([](int) {}));
  EXPECT_EQ(errno, EMFILE);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) EXPECT_FALSE(Blocked(sig)) << strsignal(sig);
}

// The opener ignores SIGPIPE and blocks the termination signals; the alert
// window's program must start with neither.
TEST(TerminationSignals, AlertWindowProgramStartsWithDefaultSignals) {
  cvtest::TempDir dir;
  std::string report = dir.Join("report");
  std::string program = dir.Join("corvantis-alert");
  ASSERT_TRUE(cvtest::WriteFile(program, "#!/bin/sh\nexec grep -E '^Sig(Blk|Ign):' /proc/self/status > '" + report + "'\n",
                                0755));
  DisplayEnv env;
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction oldPipe;
  sigaction(SIGPIPE, &ignore, &oldPipe);
  {
    cv::LinuxPlatform platform(std::make_unique<cv::WindowAlertPresenter>(program, &env));
    ASSERT_TRUE(platform.WatchTerminationSignals([](int) {}));
    platform.RunModalAlert("Corvantis Agent", "Shown.");
  }
  sigaction(SIGPIPE, &oldPipe, nullptr);
  // Signals 1 to 31 (glibc keeps its own real-time ones as they are).
  std::string text = cvtest::ReadFile(report).value_or("");
  for (const char* field : {"SigBlk:\t", "SigIgn:\t"}) {
    size_t at = text.find(field);
    ASSERT_NE(at, std::string::npos) << text;
    unsigned long long bits = std::stoull(text.substr(at + std::strlen(field), 16), nullptr, 16);
    EXPECT_EQ(bits & 0x7fffffffull, 0u) << field << text;
  }
}

// In a child: an alert window (a script that stays) is up when the signal
// comes; the handler ends the process by the signal. The window goes first.
TEST(TerminationSignals, TerminateBySignalEndsTheWindowAndThenTheProcessAsTheSignal) {
  cvtest::TempDir dir;
  std::string pidFile = dir.Join("window.pid");
  std::string program = dir.Join("corvantis-alert");
  ASSERT_TRUE(cvtest::WriteFile(program, "#!/bin/sh\necho $$ > '" + pidFile + "'\nexec sleep 600\n", 0755));
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    unlink(pidFile.c_str());
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      static DisplayEnv env;
      auto* platform = new cv::LinuxPlatform(std::make_unique<cv::WindowAlertPresenter>(program, &env));
      platform->WatchTerminationSignals([platform](int signo) { platform->TerminateBySignal(signo); });
      platform->RunModalAlert("Corvantis Agent", "Held.");
      _exit(3);  // the window ended some other way
    }
    ASSERT_TRUE(cvtest::WaitUntil(
        [&] { return cvtest::ReadFile(pidFile).value_or("").find('\n') != std::string::npos; }, 20));
    pid_t window = std::stoi(*cvtest::ReadFile(pidFile));
    ASSERT_EQ(kill(pid, sig), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_EQ(kill(window, 0), -1) << "the window's program still runs";
    EXPECT_EQ(errno, ESRCH);
    if (kill(window, 0) == 0) kill(window, SIGKILL);
  }
}

}  // namespace
