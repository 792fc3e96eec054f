// The process helper on real children: the state a child starts in (its
// descriptors, session, signal actions and mask, environment), the wait
// repeated after a signal, the exit status decoded, and the query runner
// (captured output, exit status, time-out, descriptors, environment).
#include "util/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "helpers/witness_report.h"
#include "test_support.h"

namespace {

// Reads `fd` to its end.
std::string ReadAll(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

// Runs the witness with `options`, its stdout on a pipe unless the options
// say otherwise; returns its report and exit.
struct Witnessed {
  int rc = -1;
  cvtest::WitnessReport report;
  CVProcessExit exit;
};

Witnessed RunWitness(CVSpawnOptions options, bool stdoutOnPipe = true) {
  Witnessed w;
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return w;
  if (stdoutOnPipe) options.stdio[1] = p[1];
  char* argv[] = {const_cast<char*>(CV_AGENT_WITNESS), const_cast<char*>("one"), nullptr};
  pid_t pid = -1;
  w.rc = CVSpawnProcess(CV_AGENT_WITNESS, argv, options, &pid);
  close(p[1]);
  std::string text = ReadAll(p[0]);
  close(p[0]);
  if (w.rc != 0) return w;
  int status = 0;
  if (CVWaitProcess(pid, &status, 0) != pid) return w;
  w.exit = CVDecodeWaitStatus(status);
  w.report = cvtest::ParseWitnessReport(text);
  return w;
}

TEST(SpawnProcessTest, ChildStartsWithDefaultSignalsNoMaskAndOnlyItsStdio) {
  // State of this process that no child may inherit.
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction oldUsr1, oldPipe;
  sigaction(SIGUSR1, &ignore, &oldUsr1);
  sigaction(SIGPIPE, &ignore, &oldPipe);
  sigset_t block, oldMask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGRTMIN + 3);
  sigprocmask(SIG_BLOCK, &block, &oldMask);
  int leak = open("/dev/zero", O_RDONLY);  // no close-on-exec
  int leakHigh = dup2(leak, 200);

  struct Case {
    const char* name;
    bool newSession;
  };
  for (const Case& c : {Case{"same session", false}, Case{"new session", true}}) {
    SCOPED_TRACE(c.name);
    CVSpawnOptions options;
    options.newSession = c.newSession;
    Witnessed w = RunWitness(options);
    ASSERT_EQ(w.rc, 0);
    ASSERT_TRUE(w.report.complete);
    EXPECT_EQ(w.exit.code, 0);
    EXPECT_EQ(w.report.fds.size(), 3u) << "descriptors other than 0, 1 and 2 reached the child";
    EXPECT_EQ(w.report.fds[0], "/dev/null r");
    EXPECT_EQ(w.report.fds[1].rfind("pipe:[", 0), 0u) << w.report.fds[1];
    EXPECT_EQ(w.report.fds[2], "/dev/null w");
    EXPECT_EQ(w.report.session, c.newSession ? "new" : "inherited");
    EXPECT_EQ(w.report.handlers, std::vector<int>{}) << "signals not at their default action";
    EXPECT_EQ(w.report.masked, std::vector<int>{}) << "blocked signals";
    EXPECT_EQ(w.report.args, (std::vector<std::string>{CV_AGENT_WITNESS, "one"}));
  }

  close(leak);
  close(leakHigh);
  sigprocmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGUSR1, &oldUsr1, nullptr);
  sigaction(SIGPIPE, &oldPipe, nullptr);
}

TEST(SpawnProcessTest, StandardDescriptorsFollowTheOptions) {
  cvtest::TempDir dir;
  std::string out = dir.Join("out");
  int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 3);
  std::string report = dir.Join("report");
  std::string reportEnv = "CV_WITNESS_REPORT=" + report;
  char* envp[] = {const_cast<char*>(reportEnv.c_str()), nullptr};

  struct Case {
    const char* name;
    int stdio[3];
    std::map<int, std::string> fds;
  };
  const Case cases[] = {
      {"all null", {kCVStdioNull, kCVStdioNull, kCVStdioNull},
       {{0, "/dev/null r"}, {1, "/dev/null w"}, {2, "/dev/null w"}}},
      {"file on 1, 2 as 1", {kCVStdioNull, fd, 1}, {{0, "/dev/null r"}, {1, out + " w append"}, {2, out + " w append"}}},
      {"file on 2 only", {kCVStdioNull, kCVStdioNull, fd}, {{0, "/dev/null r"}, {1, "/dev/null w"}, {2, out + " w append"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CVSpawnOptions options;
    for (int i = 0; i < 3; ++i) options.stdio[i] = c.stdio[i];
    options.envp = envp;
    Witnessed w = RunWitness(options, false);
    ASSERT_EQ(w.rc, 0);
    EXPECT_EQ(w.exit.code, 0);
    cvtest::WitnessReport r = cvtest::ParseWitnessReport(cvtest::ReadFile(report).value_or(""));
    ASSERT_TRUE(r.complete) << "the environment given did not reach the child";
    EXPECT_EQ(r.fds, c.fds);
  }
  close(fd);
}

TEST(SpawnProcessTest, InheritedDescriptorsStayAsTheyAre) {
  // The child's 0 and 1 are this process's; only 2 is set.
  CVSpawnOptions options;
  options.stdio[0] = kCVStdioInherit;
  options.stdio[1] = kCVStdioInherit;
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  int savedOut = dup(1);
  ASSERT_GE(savedOut, 0);
  ASSERT_EQ(dup2(p[1], 1), 1);
  char* argv[] = {const_cast<char*>(CV_AGENT_WITNESS), nullptr};
  pid_t pid = -1;
  int rc = CVSpawnProcess(CV_AGENT_WITNESS, argv, options, &pid);
  dup2(savedOut, 1);
  close(savedOut);
  close(p[1]);
  ASSERT_EQ(rc, 0);
  std::string text = ReadAll(p[0]);
  close(p[0]);
  int status = 0;
  ASSERT_EQ(CVWaitProcess(pid, &status, 0), pid);
  cvtest::WitnessReport r = cvtest::ParseWitnessReport(text);
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.fds[1].rfind("pipe:[", 0), 0u) << r.fds[1];
  EXPECT_EQ(r.fds[2], "/dev/null w");
  EXPECT_EQ(r.fds.size(), 3u);
}

TEST(SpawnProcessTest, FailureLeavesNoChildAndReportsTheError) {
  cvtest::TempDir dir;
  std::string missing = dir.Join("missing");
  char* argv[] = {const_cast<char*>(missing.c_str()), nullptr};
  pid_t pid = 1234;
  EXPECT_EQ(CVSpawnProcess(missing.c_str(), argv, CVSpawnOptions{}, &pid), ENOENT);
  EXPECT_EQ(pid, 1234) << "pid set on failure";
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  // The spawn goes through the Env given (else the current one), and its
  // error is passed on.
  struct RefusingEnv : cv::EnvWrapper {
    RefusingEnv() : EnvWrapper(cv::Env::Default()) {}
    int Spawn(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*, char* const[],
              char* const[]) override {
      ++calls;
      return EAGAIN;
    }
    int calls = 0;
  };
  RefusingEnv given;
  CVSpawnOptions options;
  options.env = &given;
  char* witness[] = {const_cast<char*>(CV_AGENT_WITNESS), nullptr};
  EXPECT_EQ(CVSpawnProcess(CV_AGENT_WITNESS, witness, options, nullptr), EAGAIN);
  EXPECT_EQ(given.calls, 1);
  RefusingEnv current;
  cv::ScopedEnv guard(&current);
  EXPECT_EQ(CVSpawnProcess(CV_AGENT_WITNESS, witness, CVSpawnOptions{}, nullptr), EAGAIN);
  EXPECT_EQ(current.calls, 1);
}

TEST(WaitProcessTest, ExitStatusAndSignalAreDecoded) {
  struct Case {
    const char* script;
    int code;
    int signal;
  };
  const Case cases[] = {
      {"exit 0", 0, 0},
      {"exit 3", 3, 0},
      {"exit 255", 255, 0},
      {"kill -TERM $$", -1, SIGTERM},
      {"kill -KILL $$", -1, SIGKILL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>(c.script), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(CVSpawnProcess("/bin/sh", argv, CVSpawnOptions{}, &pid), 0);
    int status = 0;
    ASSERT_EQ(CVWaitProcess(pid, &status, 0), pid);
    CVProcessExit exit = CVDecodeWaitStatus(status);
    EXPECT_EQ(exit.code, c.code);
    EXPECT_EQ(exit.signal, c.signal);
  }
}

void OnAlarm(int) {}

TEST(WaitProcessTest, WaitInterruptedBySignalsIsRepeated) {
  // A handler without SA_RESTART: every alarm interrupts waitpid with EINTR.
  struct sigaction sa{}, old{};
  sa.sa_handler = OnAlarm;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, &old);
  struct CountingEnv : cv::EnvWrapper {
    CountingEnv() : EnvWrapper(cv::Env::Default()) {}
    pid_t WaitPid(pid_t pid, int* status, int options) override {
      pid_t r = target()->WaitPid(pid, status, options);
      if (r < 0 && errno == EINTR) ++interrupted;
      return r;
    }
    int interrupted = 0;
  } counting;
  struct itimerval every{{0, 20000}, {0, 20000}};
  struct itimerval off{};

  char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>("sleep 0.3; exit 7"),
                  nullptr};
  pid_t pid = -1;
  ASSERT_EQ(CVSpawnProcess("/bin/sh", argv, CVSpawnOptions{}, &pid), 0);
  setitimer(ITIMER_REAL, &every, nullptr);
  int status = 0;
  pid_t r = CVWaitProcess(pid, &status, 0, &counting);
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  ASSERT_EQ(r, pid);
  EXPECT_GT(counting.interrupted, 0) << "the wait was never interrupted: the case proves nothing";
  EXPECT_EQ(CVDecodeWaitStatus(status).code, 7);

  // Under WNOHANG a running child gives 0, and a failure stays a failure.
  ASSERT_EQ(CVSpawnProcess("/bin/sh", argv, CVSpawnOptions{}, &pid), 0);
  EXPECT_EQ(CVWaitProcess(pid, &status, WNOHANG), 0);
  ASSERT_EQ(CVWaitProcess(pid, &status, 0), pid);
  EXPECT_EQ(CVWaitProcess(pid, &status, 0), -1);
  EXPECT_EQ(errno, ECHILD);
}

// Runs `script` with /bin/sh through the query runner.
cv::CommandResult Sh(const std::string& script, double timeout = 10) {
  return CVRunCommand({"/bin/sh", "-c", script}, timeout);
}

TEST(RunCommandTest, OutputAndStatus) {
  struct Case {
    const char* script;
    int status;
    const char* out;
    const char* err;
  } cases[] = {
      {"echo LoadState=loaded; echo oops >&2; exit 3", 3, "LoadState=loaded\n", "oops\n"},
      {"printf 'a'; printf 'b' >&2", 0, "a", "b"},
      {"exit 255", 255, "", ""},
      {"kill -TERM $$", -1, "", ""},
      {"cat; echo end", 0, "end\n", ""},  // stdin is /dev/null: cat ends at once
  };
  for (const Case& c : cases) {
    cv::CommandResult r = Sh(c.script);
    EXPECT_EQ(r.spawnErr, 0) << c.script;
    EXPECT_FALSE(r.timedOut) << c.script;
    EXPECT_EQ(r.status, c.status) << c.script;
    EXPECT_EQ(r.out, c.out) << c.script;
    EXPECT_EQ(r.err, c.err) << c.script;
  }
}

TEST(RunCommandTest, MissingProgramDoesNotStart) {
  int fds = cvtest::CountOpenFds();
  cv::CommandResult r = CVRunCommand({"/nonexistent/systemctl", "--user"}, 5);
  EXPECT_EQ(r.spawnErr, ENOENT);
  EXPECT_EQ(cvtest::CountOpenFds(), fds);
  EXPECT_EQ(CVRunCommand({}, 5).spawnErr, EINVAL);
}

TEST(RunCommandTest, SlowProgramIsKilledAtTheTimeOut) {
  cvtest::TempDir dir;
  std::string pidFile = dir.Join("pid");
  int fds = cvtest::CountOpenFds();
  cv::CommandResult r = Sh("echo $$ > " + pidFile + "; echo started; exec sleep 30", 0.5);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.out, "started\n");
  EXPECT_EQ(cvtest::CountOpenFds(), fds);
  // Killed and reaped: the pid no longer names our child.
  auto pid = cvtest::ReadFile(pidFile);
  ASSERT_TRUE(pid);
  EXPECT_NE(kill(std::stoi(*pid), 0), 0);
}

TEST(RunCommandTest, ExitCountsEvenWhenALeftoverKeepsTheOutputOpen) {
  cv::CommandResult r = Sh("sleep 30 & echo $!; exit 4", 0.5);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 4);
  ASSERT_FALSE(r.out.empty());
  kill(std::stoi(r.out), SIGKILL);
}

TEST(RunCommandTest, OutputIsCutNotWaitedOn) {
  cv::CommandResult r = Sh("head -c 300000 /dev/zero; echo done >&2");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), cv::kCommandOutputMax);
  EXPECT_EQ(r.err, "done\n");
}

TEST(RunCommandTest, ChildHasOnlyItsStandardDescriptorsAndOurEnvironment) {
  int stray = open("/dev/null", O_RDONLY);  // not close-on-exec
  ASSERT_GE(stray, 3);
  cvtest::ScopedEnv var("CV_RUN_COMMAND_TEST_VAR", "passed on");
  cv::CommandResult r = CVRunCommand({CV_AGENT_WITNESS, "show", "x y"}, 10);
  close(stray);
  ASSERT_EQ(r.status, 0) << r.err;
  cvtest::WitnessReport w = cvtest::ParseWitnessReport(r.out);
  ASSERT_TRUE(w.complete) << r.out;
  EXPECT_EQ(w.args, (std::vector<std::string>{CV_AGENT_WITNESS, "show", "x y"}));
  ASSERT_EQ(w.fds.size(), 3u) << r.out;
  EXPECT_EQ(w.fds[0], "/dev/null r");
  EXPECT_EQ(w.fds[1].rfind("pipe:", 0), 0u) << w.fds[1];
  EXPECT_EQ(w.fds[2].rfind("pipe:", 0), 0u) << w.fds[2];
  EXPECT_NE(w.fds[1], w.fds[2]);

  EXPECT_EQ(Sh("echo \"$CV_RUN_COMMAND_TEST_VAR\"").out, "passed on\n");
}

TEST(RunCommandTest, ChildStartsWithDefaultSignalActionsAndNoneBlocked) {
  // What the opener may have set before: SIGPIPE ignored, termination
  // signals blocked.
  struct sigaction ignore{}, oldPipe{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &oldPipe);
  sigset_t block, oldMask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGHUP);
  sigprocmask(SIG_BLOCK, &block, &oldMask);
  cv::CommandResult r = CVRunCommand({CV_AGENT_WITNESS}, 10);
  sigprocmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGPIPE, &oldPipe, nullptr);
  ASSERT_EQ(r.status, 0) << r.err;
  cvtest::WitnessReport w = cvtest::ParseWitnessReport(r.out);
  ASSERT_TRUE(w.complete) << r.out;
  EXPECT_EQ(w.handlers, std::vector<int>{}) << "signals not at their default action";
  EXPECT_EQ(w.masked, std::vector<int>{}) << "blocked signals";
}

}  // namespace
