// The windowed presenter with real children: small shell programs stand in
// for corvantis-alert and report what they were given.
#include "platform/alert_presenter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loop_util.h"
#include "platform/loop_platform_linux.h"
#include "test_support.h"

namespace {

using cvtest::CaptureStderr;
using cvtest::RunLoopUntil;

constexpr char kText[] = "Corvantis opens .corva files only.";
constexpr char kLine[] = "Corvantis Agent: Corvantis opens .corva files only.\n";

// The real system with a display, plus knobs for the faults a test injects.
struct FakeEnv : cv::EnvWrapper {
  static inline const char* display = ":99";
  static inline int spawns = 0;
  static inline bool noPidfd = false;
  static inline int eintrLeft = 0;
  static inline bool lose = false;  // reap, then answer ECHILD
  static inline std::vector<pid_t> waited;

  FakeEnv() : EnvWrapper(cv::Env::Default()) {}
  static void Reset() {
    display = ":99";
    spawns = 0;
    noPidfd = false;
    eintrLeft = 0;
    lose = false;
    waited.clear();
  }
  int Spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attr,
            char* const argv[], char* const envp[]) override {
    ++spawns;
    return target()->Spawn(pid, path, actions, attr, argv, envp);
  }
  int PidfdOpen(pid_t pid) override {
    if (noPidfd) {
      errno = ENOSYS;
      return -1;
    }
    return target()->PidfdOpen(pid);
  }
  pid_t WaitPid(pid_t pid, int* status, int options) override {
    waited.push_back(pid);
    if (eintrLeft > 0) {
      --eintrLeft;
      errno = EINTR;
      return -1;
    }
    pid_t r = target()->WaitPid(pid, status, options);
    if (r > 0 && lose) {
      errno = ECHILD;
      return -1;
    }
    return r;
  }
  // DISPLAY from the knob, no WAYLAND_DISPLAY; the launch's identifiers
  // as this process has them.
  std::optional<std::string> GetEnv(const char* name) override {
    if (std::string(name) == "DISPLAY") return display ? std::optional<std::string>(display) : std::nullopt;
    if (std::string(name) == "WAYLAND_DISPLAY") return std::nullopt;
    return target()->GetEnv(name);
  }
};

FakeEnv gFakeEnv;

class WindowAlertPresenterTest : public ::testing::Test {
 protected:
  void SetUp() override { FakeEnv::Reset(); }
  void TearDown() override { FakeEnv::Reset(); }

  // A stand-in alert program: a shell script with `body`.
  std::string Program(const std::string& body) {
    std::string path = dir_.Join("corvantis-alert");
    EXPECT_TRUE(cvtest::WriteFile(path, "#!/bin/sh\n" + body + "\n", 0755));
    return path;
  }
  std::string Out() const { return cvtest::ReadFile(dir_.Join("out")).value_or("<none>"); }

  // Shows one alert and runs the loop until it is dismissed. Returns what
  // went to stderr meanwhile.
  std::string ShowAndWait(const std::string& program, const std::string& text = kText) {
    cv::WindowAlertPresenter presenter(program, &gFakeEnv);
    CaptureStderr err;
    int dismissed = 0;
    presenter.Show("Corvantis Agent", text, [&] { ++dismissed; });
    EXPECT_TRUE(RunLoopUntil([&] { return dismissed > 0; }));
    cvtest::DrainLoop();
    EXPECT_EQ(dismissed, 1);
    return err.Text();
  }

  cvtest::TempDir dir_;
  cvtest::CaptureLog log_;
};

TEST_F(WindowAlertPresenterTest, WhatTheChildDoesDecidesTheStderrLine) {
  struct Case {
    const char* name;
    const char* body;  // empty: no program at all
    const char* stderrText;
    const char* logPart;
  };
  const Case cases[] = {
      {"dismissed", "exit 0", "", ""},
      {"fails", "exit 1", kLine, "failed (status 1)"},
      {"no display", "exit 3", kLine, "failed (status 3)"},
      {"killed", "kill -KILL $$", kLine, "killed by signal 9"},
      {"terminated", "kill -TERM $$", kLine, "killed by signal 15"},
      {"missing", nullptr, kLine, "not started (No such file or directory)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    std::string program = c.body ? Program(c.body) : dir_.Join("absent/corvantis-alert");
    EXPECT_EQ(ShowAndWait(program), c.stderrText);
    if (*c.logPart == '\0') EXPECT_TRUE(log_.lines().empty());
    else EXPECT_TRUE(log_.Contains(c.logPart)) << (log_.lines().empty() ? "" : log_.lines()[0].text);
  }
}

TEST_F(WindowAlertPresenterTest, ProgramThatCannotRunGivesTheLineAtOnce) {
  // Not executable, and no program path at all (the exe link unreadable).
  std::string notExecutable = dir_.Join("plain");
  ASSERT_TRUE(cvtest::WriteFile(notExecutable, "#!/bin/sh\nexit 0\n", 0644));
  for (const std::string& program : {notExecutable, std::string()}) {
    SCOPED_TRACE(program);
    cv::WindowAlertPresenter presenter(program, &gFakeEnv);
    CaptureStderr err;
    int dismissed = 0;
    presenter.Show("Corvantis Agent", kText, [&] { ++dismissed; });
    EXPECT_EQ(dismissed, 1) << "dismissed before Show returned";
    EXPECT_EQ(err.Text(), kLine);
  }
}

TEST_F(WindowAlertPresenterTest, WithoutADisplayNothingIsStarted) {
  for (const char* display : {static_cast<const char*>(nullptr), ""}) {
    FakeEnv::display = display;
    std::string program = Program("touch \"$(dirname \"$0\")/ran\"; exit 0");
    cv::WindowAlertPresenter presenter(program, &gFakeEnv);
    CaptureStderr err;
    int dismissed = 0;
    presenter.Show("Corvantis Agent", kText, [&] { ++dismissed; });
    EXPECT_EQ(dismissed, 1);
    EXPECT_EQ(err.Text(), kLine);
    EXPECT_EQ(FakeEnv::spawns, 0);
  }
  EXPECT_FALSE(cvtest::ReadFile(dir_.Join("ran")));
}

TEST_F(WindowAlertPresenterTest, WaylandAloneCountsAsADisplay) {
  struct WaylandEnv : FakeEnv {
    std::optional<std::string> GetEnv(const char* name) override {
      if (std::string(name) == "WAYLAND_DISPLAY") return std::string("wayland-0");
      if (std::string(name) == "DISPLAY") return std::nullopt;
      return FakeEnv::GetEnv(name);
    }
  } env;
  cv::WindowAlertPresenter presenter(Program("exit 0"), &env);
  CaptureStderr err;
  int dismissed = 0;
  presenter.Show("Corvantis Agent", kText, [&] { ++dismissed; });
  ASSERT_TRUE(RunLoopUntil([&] { return dismissed > 0; }));
  EXPECT_EQ(err.Text(), "");
  EXPECT_EQ(FakeEnv::spawns, 1);
}

TEST_F(WindowAlertPresenterTest, ArgumentsReachTheChildVerbatim) {
  std::string program = Program("printf '%s\\0' \"$@\" > \"$(dirname \"$0\")/out\"");
  const std::string texts[] = {
      "Start it with:\n\nsystemctl --user enable --now corvantis.agent.service\n\nthen open the tract again.",
      "--primary",
      "-",
      "--",
      "'single' \"double\" $(touch pwned) `id` ; | & * ~",
      "",
      "An older Corvantis Agent is still running. Quit it (menu bar icon \xe2\x86\x92 Quit Corvantis Agent)",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ShowAndWait(program, text), "");
    EXPECT_EQ(Out(), std::string("--primary\0Corvantis Agent\0--\0", 29) + text + std::string(1, '\0'));
  }
  EXPECT_FALSE(cvtest::ReadFile(dir_.Join("pwned")));
}

TEST_F(WindowAlertPresenterTest, ChildHasDevNullInputAndNoOtherDescriptors) {
  // A descriptor without close-on-exec, which a careless spawn would pass on.
  int leaky = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 3);
  std::string program =
      Program("d=$(dirname \"$0\"); readlink /proc/self/fd/0 > \"$d/in\"; exec ls /proc/self/fd > \"$d/out\"");
  EXPECT_EQ(ShowAndWait(program), "");
  close(leaky);
  EXPECT_EQ(cvtest::ReadFile(dir_.Join("in")).value_or(""), "/dev/null\n");
  // 0 to 2, and the listing's own descriptor of /proc/self/fd.
  EXPECT_EQ(Out(), "0\n1\n2\n3\n");
}

TEST_F(WindowAlertPresenterTest, ChildGetsTheEnvironmentAndDefaultSignals) {
  cvtest::ScopedEnv token("DESKTOP_STARTUP_ID", "opener-1_TIME42");
  sigset_t block;
  sigset_t old;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old), 0);
  struct sigaction ignore {};
  struct sigaction oldInt {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGINT, &ignore, &oldInt), 0);

  std::string program = Program(
      "d=$(dirname \"$0\"); echo \"$DESKTOP_STARTUP_ID\" > \"$d/out\"; "
      "grep -E '^Sig(Blk|Ign):' /proc/self/status > \"$d/sig\"");
  std::string err = ShowAndWait(program);
  sigaction(SIGINT, &oldInt, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);

  EXPECT_EQ(err, "");
  EXPECT_EQ(Out(), "opener-1_TIME42\n");
  // The masks of the standard signals (1 to 31); the C library keeps some
  // of the real-time ones for itself.
  std::string sig = cvtest::ReadFile(dir_.Join("sig")).value_or("");
  unsigned long long blocked = 1;
  unsigned long long ignored = 1;
  ASSERT_EQ(std::sscanf(sig.c_str(), "SigBlk:\t%llx\nSigIgn:\t%llx", &blocked, &ignored), 2) << sig;
  EXPECT_EQ(blocked & 0x7fffffffULL, 0u) << sig;
  EXPECT_EQ(ignored & 0x7fffffffULL, 0u) << sig;
}

// The launch's identifier goes to the first window under both names and to
// no later one; a window that failed passes it on.
TEST_F(WindowAlertPresenterTest, FirstWindowTakesTheStartupIdentifierUnderBothNames) {
  struct Case {
    const char* name;
    std::optional<std::string> x11;
    std::optional<std::string> wayland;
    const char* given;  // what the first window gets, as "X11|WAYLAND"
  };
  const Case cases[] = {
      {"X11 launch", "opener-1_TIME42", std::nullopt, "opener-1_TIME42|opener-1_TIME42"},
      {"Wayland launch", std::nullopt, "token-7", "token-7|token-7"},
      {"both", "opener-1_TIME42", "token-7", "opener-1_TIME42|opener-1_TIME42"},
      {"neither", std::nullopt, std::nullopt, "|"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cvtest::ScopedEnv x11("DESKTOP_STARTUP_ID", c.x11);
    cvtest::ScopedEnv wayland("XDG_ACTIVATION_TOKEN", c.wayland);
    std::remove(dir_.Join("out").c_str());
    // The first window fails: the second gets the identifier instead.
    std::string program = Program(
        "d=$(dirname \"$0\"); echo \"$DESKTOP_STARTUP_ID|$XDG_ACTIVATION_TOKEN\" >> \"$d/out\"; "
        "n=$(wc -l < \"$d/out\"); [ \"$n\" != 1 ]");
    cv::WindowAlertPresenter presenter(program, &gFakeEnv);
    CaptureStderr err;
    for (int i = 0; i < 4; ++i) {
      bool dismissed = false;
      presenter.Show("Corvantis Agent", kText, [&] { dismissed = true; });
      ASSERT_TRUE(RunLoopUntil([&] { return dismissed; }));
    }
    std::string given = c.given;
    EXPECT_EQ(Out(), given + "\n" + given + "\n|\n|\n");
    // Nothing is left to end once a window took it.
    int spawns = FakeEnv::spawns;
    presenter.EndStartupFeedback();
    EXPECT_EQ(FakeEnv::spawns, spawns);
  }
}

// With no window shown, the X11 identifier is ended by the alert program in
// its own mode, once; a Wayland token is left to expire; without a display
// nothing is run.
TEST_F(WindowAlertPresenterTest, EndStartupFeedbackRunsTheProgramOnceForAnX11Launch) {
  struct Case {
    const char* name;
    std::optional<std::string> x11;
    std::optional<std::string> wayland;
    const char* display;
    const char* out;  // what the program was given; "<none>" when not run
  };
  const Case cases[] = {
      {"X11", "opener-1_TIME42", "token-7", ":99", "--end-startup|opener-1_TIME42|\n"},
      {"Wayland only", std::nullopt, "token-7", ":99", "<none>"},
      {"no identifier", std::nullopt, std::nullopt, ":99", "<none>"},
      {"no display", "opener-1_TIME42", std::nullopt, nullptr, "<none>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cvtest::ScopedEnv x11("DESKTOP_STARTUP_ID", c.x11);
    cvtest::ScopedEnv wayland("XDG_ACTIVATION_TOKEN", c.wayland);
    FakeEnv::display = c.display;
    FakeEnv::waited.clear();
    std::remove(dir_.Join("out").c_str());
    std::string program =
        Program("d=$(dirname \"$0\"); echo \"$*|$DESKTOP_STARTUP_ID|$XDG_ACTIVATION_TOKEN\" >> \"$d/out\"");
    {
      cv::WindowAlertPresenter presenter(program, &gFakeEnv);
      presenter.EndStartupFeedback();
      presenter.EndStartupFeedback();
      if (std::string(c.out) != "<none>") {
        // The child is reaped from the loop; nothing waits for it.
        ASSERT_TRUE(RunLoopUntil([&] { return !FakeEnv::waited.empty(); }));
      }
      cvtest::DrainLoop();
    }
    EXPECT_EQ(Out(), c.out);
  }
}

TEST_F(WindowAlertPresenterTest, ExitIsPolledWithoutPidfdAndWaitRetriesEintr) {
  FakeEnv::noPidfd = true;
  FakeEnv::eintrLeft = 2;
  EXPECT_EQ(ShowAndWait(Program("sleep 0.2; exit 0")), "");
  EXPECT_GE(FakeEnv::waited.size(), 3u);
}

TEST_F(WindowAlertPresenterTest, LostChildStillShowsTheMessage) {
  FakeEnv::lose = true;
  EXPECT_EQ(ShowAndWait(Program("exit 0")), kLine);
  EXPECT_TRUE(log_.Contains("lost (No child processes)"));
}

TEST_F(WindowAlertPresenterTest, OnlyTheAlertChildIsReapedAndNoDescriptorLeaks) {
  cvtest::DrainLoop();
  int fdsBefore = cvtest::CountOpenFds();
  pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) _exit(4);
  // The other child exits long before the alert's does.
  EXPECT_EQ(ShowAndWait(Program("sleep 0.3; exit 0")), "");
  for (pid_t pid : FakeEnv::waited) EXPECT_NE(pid, other);
  EXPECT_GT(FakeEnv::waited.front(), 0);
  int status = 0;
  EXPECT_EQ(waitpid(other, &status, 0), other);
  EXPECT_EQ(WEXITSTATUS(status), 4);
  EXPECT_EQ(cvtest::CountOpenFds(), fdsBefore);
}

// The platform's alert loop with a window up: timers keep firing, and an
// exit watch on the caller's own child fires and leaves it to be reaped.
TEST_F(WindowAlertPresenterTest, NestedLoopRunsTimersAndWatchesWhileTheWindowIsUp) {
  std::string release = dir_.Join("release");
  // Gives up (and fails the test) after about 20 s.
  std::string program = Program("i=0; while [ ! -e '" + release +
                                "' ]; do i=$((i+1)); [ $i -gt 1000 ] && exit 5; sleep 0.02; done; exit 0");
  cv::LinuxPlatform platform(std::make_unique<cv::WindowAlertPresenter>(program, &gFakeEnv));

  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  pid_t agent = fork();
  ASSERT_GE(agent, 0);
  if (agent == 0) {
    close(fds[1]);
    char byte;
    while (read(fds[0], &byte, 1) < 0 && errno == EINTR) {
    }
    _exit(6);
  }
  close(fds[0]);
  bool agentExited = false;
  auto watch = platform.WatchExit(agent, [&] { agentExited = true; });
  ASSERT_NE(watch, nullptr);

  int ticks = 0;
  auto timer = platform.ScheduleRepeating(0.01, [&] {
    ++ticks;
    if (ticks == 3) close(fds[1]);  // the agent exits while the window is up
    if (ticks >= 10 && agentExited) cvtest::WriteFile(release, "");
  });
  CaptureStderr err;
  platform.RunModalAlert("Corvantis Agent", kText);
  EXPECT_EQ(err.Text(), "");
  EXPECT_TRUE(agentExited);
  EXPECT_GE(ticks, 10);
  int status = 0;
  EXPECT_EQ(platform.WaitPid(agent, &status), agent);
  EXPECT_EQ(WEXITSTATUS(status), 6);
}

TEST(AlertProgramPathTest, IsBesideThisProgram) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  std::string exe(self, static_cast<size_t>(n));
  EXPECT_EQ(cv::AlertProgramPath(), exe.substr(0, exe.rfind('/')) + "/corvantis-alert");
}

}  // namespace
