// Spawning the agent copy as a child: the output file and its fallback, the
// argument vector, and the state the child starts in.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/start.h"
#include "helpers/witness_report.h"
#include "test_support.h"
#include "util/env.h"

namespace {

using cvtest::TempDir;

const char kRetryLine[] = "spawn with agent.log failed (%s); retrying without it";

std::string RetryLine(int err) {
  char line[256];
  snprintf(line, sizeof line, kRetryLine, strerror(err));
  return line;
}

// Reaps `pid`; returns its exit code, or -1 when it did not exit normally.
int Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool NoChildLeft() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

class SpawnTest : public ::testing::Test {
 protected:
  SpawnTest()
      : confEnv_("CORVANTIS_AGENT_DIR", conf_.path()),
        reportEnv_("CV_WITNESS_REPORT", conf_.Join("report")) {}

  // Opening agent.log in this process must not leave a descriptor behind,
  // on any path.
  void SetUp() override { fdsBefore_ = cvtest::CountOpenFds(); }
  void TearDown() override { EXPECT_EQ(cvtest::CountOpenFds(), fdsBefore_) << "a descriptor was left open"; }

  std::string log() const { return conf_.Join("agent.log"); }

  // Spawns the witness, reaps it and returns its report (read from the
  // file CV_WITNESS_REPORT names, so that it exists whatever its stdout is).
  cvtest::WitnessReport SpawnAndInspect(const char* const* extraArgs = nullptr) {
    int err = 99;
    pid_t pid = CVSpawnAgent(CV_AGENT_WITNESS, extraArgs, &err);
    EXPECT_GT(pid, 0);
    EXPECT_EQ(err, 0);
    if (pid > 0) {
      EXPECT_EQ(Reap(pid), 0);
    }
    return cvtest::ParseWitnessReport(cvtest::ReadFile(conf_.Join("report")).value_or(""));
  }

  // The descriptors of a child whose output went to `out`.
  static std::map<int, std::string> Stdio(const std::string& out) {
    return {{0, "/dev/null r"}, {1, out + " w append"}, {2, out + " w append"}};
  }

  TempDir conf_;
  TempDir other_;
  cvtest::ScopedEnv confEnv_;
  cvtest::ScopedEnv reportEnv_;
  cvtest::CaptureLog capture_;
  int fdsBefore_ = 0;
};

TEST_F(SpawnTest, ChildAppendsToANewAgentLogCreated0600) {
  mode_t oldMask = umask(0);
  cvtest::WitnessReport r = SpawnAndInspect();
  umask(oldMask);
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.args, std::vector<std::string>{CV_AGENT_WITNESS});
  EXPECT_EQ(r.fds, Stdio(log()));
  EXPECT_TRUE(capture_.lines().empty());

  struct stat st;
  ASSERT_EQ(lstat(log().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(cvtest::ReadFile(log()), cvtest::ReadFile(conf_.Join("report")));
}

TEST_F(SpawnTest, ExistingAgentLogIsAppendedToAndKeepsItsMode) {
  ASSERT_TRUE(cvtest::WriteFile(log(), "earlier run\n", 0644));
  ASSERT_EQ(chmod(log().c_str(), 0644), 0);
  cvtest::WitnessReport r = SpawnAndInspect();
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.fds, Stdio(log()));

  std::string text = cvtest::ReadFile(log()).value_or("");
  EXPECT_EQ(text, "earlier run\n" + cvtest::ReadFile(conf_.Join("report")).value_or("?"));
  struct stat st;
  ASSERT_EQ(lstat(log().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_TRUE(capture_.lines().empty());
}

TEST_F(SpawnTest, ChildStartsInANewSessionWithDefaultSignalsAndOnlyStdio) {
  // State of this process that the child must not inherit.
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction oldUsr1, oldPipe, oldHup;
  sigaction(SIGUSR1, &ignore, &oldUsr1);
  sigaction(SIGPIPE, &ignore, &oldPipe);
  sigaction(SIGHUP, &ignore, &oldHup);
  sigset_t block, oldMask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGUSR2);
  sigaddset(&block, SIGRTMIN + 3);
  sigprocmask(SIG_BLOCK, &block, &oldMask);
  int leak = open("/dev/zero", O_RDONLY);  // no close-on-exec
  int leakHigh = dup2(leak, 200);

  cvtest::WitnessReport r = SpawnAndInspect();

  close(leak);
  close(leakHigh);
  sigprocmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGUSR1, &oldUsr1, nullptr);
  sigaction(SIGPIPE, &oldPipe, nullptr);
  sigaction(SIGHUP, &oldHup, nullptr);

  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.fds, Stdio(log()));
  EXPECT_EQ(r.session, "new");
  EXPECT_EQ(r.handlers, std::vector<int>{}) << "signals not at their default action";
  EXPECT_EQ(r.masked, std::vector<int>{}) << "blocked signals";
}

TEST_F(SpawnTest, ArgumentVectorHoldsAtMost14ExtraArguments) {
  std::vector<std::string> words;
  for (int i = 1; i <= 20; i++) words.push_back("x" + std::to_string(i));
  struct Case {
    const char* name;
    std::vector<const char*> extra;  // null-terminated below
    size_t passed;
  };
  std::vector<Case> cases = {
      {"empty list", {}, 0},
      {"three", {"a", "--tool", "c"}, 3},
      {"fourteen", {}, 14},
      {"twenty", {}, 14},
  };
  for (int i = 0; i < 14; i++) cases[2].extra.push_back(words[i].c_str());
  for (int i = 0; i < 20; i++) cases[3].extra.push_back(words[i].c_str());
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.extra.push_back(nullptr);
    cvtest::WitnessReport r = SpawnAndInspect(c.extra.data());
    ASSERT_EQ(r.args.size(), 1 + c.passed);
    EXPECT_EQ(r.args[0], CV_AGENT_WITNESS);
    for (size_t i = 0; i < c.passed; i++) EXPECT_EQ(r.args[1 + i], c.extra[i]);
  }
}

TEST_F(SpawnTest, AgentLogThatCannotBeUsedFallsBackToDevNull) {
  const std::string target = other_.Join("target");
  struct Case {
    const char* name;
    std::function<void()> make;
    int err;
  } cases[] = {
      {"symlink", [&] { ASSERT_EQ(symlink(target.c_str(), log().c_str()), 0); }, ELOOP},
      {"dangling symlink",
       [&] { ASSERT_EQ(symlink(other_.Join("absent").c_str(), log().c_str()), 0); }, ELOOP},
      {"fifo without reader", [&] { ASSERT_EQ(mkfifo(log().c_str(), 0600), 0); }, ENXIO},
      {"directory", [&] { ASSERT_EQ(mkdir(log().c_str(), 0700), 0); }, EISDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(cvtest::WriteFile(target, "untouched", 0600));
    c.make();
    capture_.Clear();
    cvtest::WitnessReport r = SpawnAndInspect();
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.fds, Stdio("/dev/null"));
    ASSERT_EQ(capture_.lines().size(), 1u);
    EXPECT_EQ(capture_.lines()[0].text, RetryLine(c.err));
    EXPECT_EQ(capture_.lines()[0].level, cv::LogLevel::kError);
    EXPECT_EQ(cvtest::ReadFile(target), "untouched");
    EXPECT_FALSE(cvtest::ReadFile(other_.Join("absent")));
    remove(log().c_str());
  }
}

TEST_F(SpawnTest, MissingSettingsFolderFallsBackToDevNull) {
  const std::string missing = other_.Join("missing");
  cvtest::ScopedEnv env("CORVANTIS_AGENT_DIR", missing);
  cvtest::WitnessReport r = SpawnAndInspect();
  EXPECT_EQ(r.fds, Stdio("/dev/null"));
  EXPECT_EQ(capture_.Count(RetryLine(ENOENT)), 1);
  EXPECT_EQ(access(missing.c_str(), F_OK), -1) << "the folder is not created here";
}

TEST_F(SpawnTest, NoSettingsPathLogsEinvalAndFallsBackToDevNull) {
  cvtest::ScopedEnv env("CORVANTIS_AGENT_DIR", "relative/folder");
  cvtest::WitnessReport r = SpawnAndInspect();
  EXPECT_EQ(r.fds, Stdio("/dev/null"));
  ASSERT_EQ(capture_.lines().size(), 1u);
  EXPECT_EQ(capture_.lines()[0].text, RetryLine(EINVAL));
}

TEST_F(SpawnTest, AccessFailureSpawnsNothingAndLogsNothing) {
  ASSERT_TRUE(cvtest::WriteFile(other_.Join("plain"), "#!/bin/sh\nexit 0\n", 0644));
  struct Case {
    std::string path;
    int err;
  } cases[] = {
      {other_.Join("absent"), ENOENT},
      {other_.Join("plain"), EACCES},
      {other_.Join("plain") + "/agent", ENOTDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    int err = 99;
    EXPECT_EQ(CVSpawnAgent(c.path.c_str(), nullptr, &err), -1);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(CVSpawnAgent(c.path.c_str(), nullptr, nullptr), -1);
  }
  EXPECT_TRUE(capture_.lines().empty());
  EXPECT_TRUE(NoChildLeft());
  EXPECT_FALSE(cvtest::ReadFile(log())) << "agent.log must not be created";
}

TEST_F(SpawnTest, BothAttemptsFailingReportTheSecondError) {
  // Executable by mode but not a program: exec fails with ENOEXEC.
  const std::string bogus = other_.Join("bogus");
  ASSERT_TRUE(cvtest::WriteFile(bogus, "not a program\n", 0755));
  ASSERT_EQ(symlink(other_.Join("target").c_str(), log().c_str()), 0);
  int err = 99;
  EXPECT_EQ(CVSpawnAgent(bogus.c_str(), nullptr, &err), -1);
  EXPECT_EQ(err, ENOEXEC);
  ASSERT_EQ(capture_.lines().size(), 1u);
  EXPECT_EQ(capture_.lines()[0].text, RetryLine(ELOOP));
  EXPECT_TRUE(NoChildLeft());
}

TEST_F(SpawnTest, SpawnWithStdoutFailsWithoutAChild) {
  char* argv[] = {const_cast<char*>(CV_AGENT_WITNESS), nullptr};
  ASSERT_EQ(symlink(other_.Join("target").c_str(), log().c_str()), 0);
  struct Case {
    std::string out;
    int err;
  } cases[] = {
      {log(), ELOOP},
      {other_.Join("missing/agent.log"), ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    pid_t pid = 0;
    EXPECT_EQ(CVSpawnWithStdout(CV_AGENT_WITNESS, argv, c.out.c_str(), &pid), c.err);
    EXPECT_EQ(pid, 0);
    EXPECT_TRUE(NoChildLeft());
  }
  EXPECT_FALSE(cvtest::ReadFile(other_.Join("target")));
}

TEST_F(SpawnTest, OutputReachesTheLogEvenWhenStdinIsClosedHere) {
  // With descriptor 0 free, the log would open as 0 and be replaced by
  // /dev/null in the child unless it is moved out of the way.
  int savedIn = fcntl(0, F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(savedIn, 0);
  close(0);
  char* argv[] = {const_cast<char*>(CV_AGENT_WITNESS), nullptr};
  pid_t pid = 0;
  int rc = CVSpawnWithStdout(CV_AGENT_WITNESS, argv, log().c_str(), &pid);
  dup2(savedIn, 0);
  close(savedIn);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(Reap(pid), 0);
  cvtest::WitnessReport r = cvtest::ParseWitnessReport(cvtest::ReadFile(log()).value_or(""));
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.fds, Stdio(log()));
}

// The real system with the calls of the start path failed on demand.
class SpawnFaultEnv : public cv::EnvWrapper {
 public:
  SpawnFaultEnv() : EnvWrapper(cv::Env::Default()) {}
  int accessErr = 0;
  std::vector<int> spawnErrs;  // the next spawns fail with these, in order
  int setFlagsErr = 0;         // fcntl(F_SETFL) fails with it
  int spawns = 0;

  int AccessAt(int dirFd, const char* path, int mode, int flags) override {
    if (accessErr) {
      errno = accessErr;
      return -1;
    }
    return EnvWrapper::AccessAt(dirFd, path, mode, flags);
  }
  int Spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attr,
            char* const argv[], char* const envp[]) override {
    spawns++;
    if (!spawnErrs.empty()) {
      int err = spawnErrs.front();
      spawnErrs.erase(spawnErrs.begin());
      return err;
    }
    return EnvWrapper::Spawn(pid, path, actions, attr, argv, envp);
  }
  int Fcntl(int fd, int cmd, int arg) override {
    if (cmd == F_SETFL && setFlagsErr) {
      errno = setFlagsErr;
      return -1;
    }
    return EnvWrapper::Fcntl(fd, cmd, arg);
  }
};

// Each failure of the first attempt is logged and retried with /dev/null;
// a failure of both gives the second error and no child; nothing is left
// open on any path (the fixture checks).
TEST_F(SpawnTest, FailuresOfTheStartPathThroughTheEnv) {
  struct Case {
    const char* name;
    int accessErr;
    std::vector<int> spawnErrs;
    int setFlagsErr;
    int err;           // what CVSpawnAgent reports
    int spawns;        // spawn calls made
    int lineErr;       // the error the retry line names, or 0: no line
  } cases[] = {
      {"not executable for the real user", EACCES, {}, 0, EACCES, 0, 0},
      {"spawn refused once", 0, {EAGAIN}, 0, 0, 2, EAGAIN},
      {"spawn refused twice", 0, {EAGAIN, ENOMEM}, 0, ENOMEM, 2, EAGAIN},
      {"output flags cannot be set", 0, {}, EIO, EIO, 0, EIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpawnFaultEnv env;
    env.accessErr = c.accessErr;
    env.spawnErrs = c.spawnErrs;
    env.setFlagsErr = c.setFlagsErr;
    cv::ScopedEnv guard(&env);
    capture_.Clear();
    int err = 99;
    pid_t pid = CVSpawnAgent(CV_AGENT_WITNESS, nullptr, &err);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(env.spawns, c.spawns);
    if (c.lineErr) {
      ASSERT_EQ(capture_.lines().size(), 1u);
      EXPECT_EQ(capture_.lines()[0].text, RetryLine(c.lineErr));
    } else {
      EXPECT_TRUE(capture_.lines().empty());
    }
    if (c.err == 0) {
      ASSERT_GT(pid, 0);
      EXPECT_EQ(Reap(pid), 0);
      cvtest::WitnessReport r = cvtest::ParseWitnessReport(cvtest::ReadFile(conf_.Join("report")).value_or(""));
      EXPECT_EQ(r.fds, Stdio("/dev/null"));
    } else {
      EXPECT_EQ(pid, -1);
    }
    EXPECT_TRUE(NoChildLeft());
    remove(conf_.Join("report").c_str());
  }
}

// The platform behaviour the retry rests on: a failing file action makes
// posix_spawn itself return the error, with no child left running.
TEST_F(SpawnTest, PosixSpawnReportsFileActionFailures) {
  ASSERT_EQ(symlink(other_.Join("target").c_str(), log().c_str()), 0);
  char* argv[] = {const_cast<char*>(CV_AGENT_WITNESS), nullptr};
  struct Case {
    std::string path;
    int err;
  } cases[] = {
      {log(), ELOOP},
      {other_.Join("missing/agent.log"), ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, c.path.c_str(),
                                     O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0600);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, CV_AGENT_WITNESS, &actions, nullptr, argv, environ), c.err);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_TRUE(NoChildLeft());
  }
}

}  // namespace
