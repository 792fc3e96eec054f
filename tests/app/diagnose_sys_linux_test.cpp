// The real system table of --diagnose: the query runner (captured output,
// exit status, time-out, descriptors, environment) and the folder listing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "app/diagnose_sys.h"
#include "helpers/witness_report.h"
#include "test_support.h"

namespace {

cv::CommandResult Sh(const std::string& script, double timeout = 10) {
  return cv::RunCommand({"/bin/sh", "-c", script}, timeout);
}

TEST(RunCommand, OutputAndStatus) {
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

TEST(RunCommand, MissingProgramDoesNotStart) {
  int fds = cvtest::CountOpenFds();
  cv::CommandResult r = cv::RunCommand({"/nonexistent/systemctl", "--user"}, 5);
  EXPECT_EQ(r.spawnErr, ENOENT);
  EXPECT_EQ(cvtest::CountOpenFds(), fds);
  EXPECT_EQ(cv::RunCommand({}, 5).spawnErr, EINVAL);
}

TEST(RunCommand, SlowProgramIsKilledAtTheTimeOut) {
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

TEST(RunCommand, ExitCountsEvenWhenALeftoverKeepsTheOutputOpen) {
  cv::CommandResult r = Sh("sleep 30 & echo $!; exit 4", 0.5);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 4);
  ASSERT_FALSE(r.out.empty());
  kill(std::stoi(r.out), SIGKILL);
}

TEST(RunCommand, OutputIsCutNotWaitedOn) {
  cv::CommandResult r = Sh("head -c 300000 /dev/zero; echo done >&2");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), cv::kCommandOutputMax);
  EXPECT_EQ(r.err, "done\n");
}

TEST(RunCommand, ChildHasOnlyItsStandardDescriptorsAndOurEnvironment) {
  int stray = open("/dev/null", O_RDONLY);  // not close-on-exec
  ASSERT_GE(stray, 3);
  cvtest::ScopedEnv var("CV_DIAGNOSE_TEST_VAR", "passed on");
  cv::CommandResult r = cv::RunCommand({CV_AGENT_WITNESS, "show", "x y"}, 10);
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

  EXPECT_EQ(Sh("echo \"$CV_DIAGNOSE_TEST_VAR\"").out, "passed on\n");
}

TEST(RunCommand, ChildStartsWithDefaultSignalActionsAndNoneBlocked) {
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
  cv::CommandResult r = cv::RunCommand({CV_AGENT_WITNESS}, 10);
  sigprocmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGPIPE, &oldPipe, nullptr);
  ASSERT_EQ(r.status, 0) << r.err;
  cvtest::WitnessReport w = cvtest::ParseWitnessReport(r.out);
  ASSERT_TRUE(w.complete) << r.out;
  EXPECT_EQ(w.handlers, std::vector<int>{}) << "signals not at their default action";
  EXPECT_EQ(w.masked, std::vector<int>{}) << "blocked signals";
}

TEST(RealDiagnoseSys, ListDirLeavesTheCallersDescriptorAlone) {
  cvtest::TempDir dir;
  for (const char* n : {"b.json", ".a.tmp", "c"}) ASSERT_TRUE(cvtest::WriteFile(dir.Join(n), ""));
  int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int fds = cvtest::CountOpenFds();
  const cv::DiagnoseSys& sys = cv::RealDiagnoseSys();
  for (int round = 0; round < 2; ++round) {
    std::vector<std::string> names;
    ASSERT_EQ(sys.listDir(fd, &names), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".a.tmp", "b.json", "c"}));
  }
  EXPECT_EQ(cvtest::CountOpenFds(), fds);
  std::vector<std::string> none;
  EXPECT_EQ(sys.listDir(-1, &none), EBADF);
  close(fd);
}

}  // namespace
