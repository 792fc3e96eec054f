// The service-manager request, run against fake launch programs.
#include "agent/kickstart.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "agent/start.h"
#include "helpers/witness_report.h"
#include "test_support.h"
#include "util/env.h"

namespace {

using cvtest::TempDir;

class KickstartTest : public ::testing::Test {
 protected:
  // Writes an executable shell script and returns its path.
  std::string Script(const std::string& name, const std::string& body) {
    std::string path = dir_.Join(name);
    EXPECT_TRUE(cvtest::WriteFile(path, "#!/bin/sh\n" + body + "\n", 0755));
    return path;
  }
  // A launch program that hands its arguments on to the witness, whose
  // report lands in report().
  std::string Recorder() {
    return Script("record", std::string("exec '") + CV_AGENT_WITNESS + "' \"$0\" \"$@\"");
  }
  std::string report() const { return dir_.Join("report"); }

  TempDir dir_;
};

TEST_F(KickstartTest, ResultIsTheExitStatusOrMinusOneForASignal) {
  struct Case {
    const char* body;
    int result;
  } cases[] = {
      {"exit 0", 0},
      {"exit 5", 5},
      {"exit 255", 255},
      {"kill -KILL $$", -1},
      {"kill -TERM $$", -1},
      {"kill -SEGV $$", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(CVKickstartProgram(Script("launch", c.body).c_str(), "corvantis.agent"), c.result);
  }
}

TEST_F(KickstartTest, ProgramThatDoesNotStartIsMinusOne) {
  EXPECT_EQ(CVKickstartProgram(dir_.Join("missing").c_str(), "corvantis.agent"), -1);
  ASSERT_TRUE(cvtest::WriteFile(dir_.Join("plain"), "#!/bin/sh\nexit 0\n", 0644));
  EXPECT_EQ(CVKickstartProgram(dir_.Join("plain").c_str(), "corvantis.agent"), -1);
  ASSERT_TRUE(cvtest::WriteFile(dir_.Join("garbage"), "not a program\n", 0755));
  EXPECT_EQ(CVKickstartProgram(dir_.Join("garbage").c_str(), "corvantis.agent"), -1);
  // No child is left behind by the failed starts.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(KickstartTest, ChildGetsUnitArgumentsNullStdioAndNothingElse) {
  cvtest::ScopedEnv env("CV_WITNESS_REPORT", report());
  // A descriptor without close-on-exec must still not reach the child.
  int leak = open("/dev/zero", O_RDONLY);
  ASSERT_GE(leak, 3);
  std::string program = Recorder();
  int rc = CVKickstartProgram(program.c_str(), "corvantis.agent");
  close(leak);
  ASSERT_EQ(rc, 0);

  auto text = cvtest::ReadFile(report());
  ASSERT_TRUE(text) << "the child did not get this process's environment";
  cvtest::WitnessReport r = cvtest::ParseWitnessReport(*text);
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.args, (std::vector<std::string>{CV_AGENT_WITNESS, program, "--user", "start",
                                              "corvantis.agent.service"}));
  EXPECT_EQ(r.fds, (std::map<int, std::string>{
                       {0, "/dev/null r"}, {1, "/dev/null w"}, {2, "/dev/null w"}}));
  EXPECT_EQ(r.session, "inherited");
}

// The opener ignores SIGPIPE and blocks its termination signals (it reads
// them from a descriptor); the service manager's client must not inherit
// either.
TEST_F(KickstartTest, ChildStartsWithDefaultSignalActionsAndNoneBlocked) {
  cvtest::ScopedEnv env("CV_WITNESS_REPORT", report());
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction oldPipe, oldHup;
  sigaction(SIGPIPE, &ignore, &oldPipe);
  sigaction(SIGHUP, &ignore, &oldHup);
  sigset_t block, oldMask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGHUP);
  sigprocmask(SIG_BLOCK, &block, &oldMask);

  int rc = CVKickstartProgram(Recorder().c_str(), "corvantis.agent");

  sigprocmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGPIPE, &oldPipe, nullptr);
  sigaction(SIGHUP, &oldHup, nullptr);
  ASSERT_EQ(rc, 0);
  cvtest::WitnessReport r = cvtest::ParseWitnessReport(cvtest::ReadFile(report()).value_or(""));
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.handlers, std::vector<int>{}) << "signals not at their default action";
  EXPECT_EQ(r.masked, std::vector<int>{}) << "signals blocked";
}

TEST_F(KickstartTest, LongLabelIsCutTo319Characters) {
  cvtest::ScopedEnv env("CV_WITNESS_REPORT", report());
  struct Case {
    size_t labelLength;
    std::string unit;
  } cases[] = {
      {311, std::string(311, 'a') + ".service"},
      {312, std::string(312, 'a') + ".servic"},
      {400, std::string(319, 'a')},
  };
  std::string program = Recorder();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.labelLength);
    std::string label(c.labelLength, 'a');
    ASSERT_EQ(CVKickstartProgram(program.c_str(), label.c_str()), 0);
    cvtest::WitnessReport r = cvtest::ParseWitnessReport(cvtest::ReadFile(report()).value_or(""));
    ASSERT_EQ(r.args.size(), 5u);
    EXPECT_EQ(r.args[4], c.unit);
    EXPECT_EQ(r.args[4].size(), std::min<size_t>(319, c.labelLength + 8));
  }
}

volatile sig_atomic_t g_usr1 = 0;

TEST_F(KickstartTest, WaitInterruptedByARealSignalIsRepeated) {
  struct sigaction sa{};
  sa.sa_handler = [](int) { g_usr1 = 1; };
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: the wait fails with EINTR
  struct sigaction old;
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  g_usr1 = 0;
  int rc = CVKickstartProgram(Script("launch", "kill -USR1 $PPID\nsleep 0.2\nexit 5").c_str(),
                              "corvantis.agent");
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(g_usr1, 1);
  EXPECT_EQ(rc, 5);
}

struct WaitFault {
  int eintrLeft = 0;
  int failWith = 0;
  int calls = 0;
};

// The real system with waitpid interrupted or failed on demand.
class WaitFaultEnv : public cv::EnvWrapper {
 public:
  WaitFaultEnv() : EnvWrapper(cv::Env::Default()) {}
  WaitFault fault;

  pid_t WaitPid(pid_t pid, int* status, int options) override {
    fault.calls++;
    if (fault.eintrLeft > 0) {
      fault.eintrLeft--;
      errno = EINTR;
      return -1;
    }
    pid_t got = EnvWrapper::WaitPid(pid, status, options);
    if (fault.failWith) {
      errno = fault.failWith;
      return -1;
    }
    return got;
  }
};

class KickstartFaultTest : public KickstartTest {
 protected:
  WaitFaultEnv env_;
  WaitFault& wait_ = env_.fault;
  cv::ScopedEnv guard_{&env_};
};

TEST_F(KickstartFaultTest, EintrIsWaitedForAgainWithTheSameResult) {
  wait_.eintrLeft = 3;
  EXPECT_EQ(CVKickstartProgram(Script("launch", "exit 5").c_str(), "corvantis.agent"), 5);
  EXPECT_EQ(wait_.calls, 4);
}

TEST_F(KickstartFaultTest, OtherWaitFailureIsMinusOne) {
  wait_.failWith = ECHILD;
  EXPECT_EQ(CVKickstartProgram(Script("launch", "exit 0").c_str(), "corvantis.agent"), -1);
  EXPECT_EQ(wait_.calls, 1);
}

// The real service manager, asked for a unit that does not exist, answers
// with a failure (or does not run at all): never 0.
TEST(KickstartSystemTest, UnknownUnitIsNotStarted) {
  EXPECT_NE(CVKickstart("corvantis-test-no-such-unit"), 0);
}

}  // namespace
