// The built agent as a real process: its lock, the requests it claims,
// handles and leaves alone, its knobs and how it ends.
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <thread>

#include "agent_fixture.h"

namespace cvtest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

using AgentLockTest = AgentFixture;

TEST_F(AgentLockTest, TakesTheLockAndWritesItsPid) {
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitLocked(agent)) << agent.Stderr();
  EXPECT_EQ(ReadFile(lock_), "{\"pid\":" + std::to_string(agent.pid()) + "}");
  struct stat st;
  ASSERT_EQ(lstat(lock_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(lstat(queue_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.Wait(10), 0);
  EXPECT_FALSE(LockHeld());
}

TEST_F(AgentLockTest, ReplacesALongerStaleContent) {
  mkdir(conf_.c_str(), 0700);
  ASSERT_TRUE(WriteFile(lock_, "{\"pid\":999999999, \"note\":\"left by an agent that exited\"}"));
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitLocked(agent)) << agent.Stderr();
  EXPECT_EQ(ReadFile(lock_), "{\"pid\":" + std::to_string(agent.pid()) + "}");
}

TEST_F(AgentLockTest, SecondAgentExitsWithStatusThreeAndLeavesTheFile) {
  AgentProcess first(tmp_.path());
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(WaitLocked(first)) << first.Stderr();
  AgentProcess second(tmp_.path());
  ASSERT_TRUE(second.Start());
  EXPECT_EQ(second.Wait(10), 3);
  EXPECT_THAT(second.Stderr(), HasSubstr("CorvantisAgent: another agent holds agent.lock (pid " +
                                         std::to_string(first.pid()) + ")"));
  EXPECT_TRUE(LockHeld());
  EXPECT_EQ(LockPid(), first.pid());
  EXPECT_FALSE(first.Wait(0).has_value());
}

TEST_F(AgentLockTest, ABriefSharedLockDoesNotStopIt) {
  mkdir(conf_.c_str(), 0700);
  ASSERT_TRUE(WriteFile(lock_, ""));
  int fd = open(lock_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_SH | LOCK_NB), 0);
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  // Holds the probe's lock while the agent starts; far less than its patience.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  flock(fd, LOCK_UN);
  close(fd);
  ASSERT_TRUE(WaitLocked(agent)) << agent.Stderr();
  EXPECT_FALSE(agent.Wait(0).has_value());
}

TEST_F(AgentLockTest, ASymlinkInPlaceOfTheLockIsRefused) {
  mkdir(conf_.c_str(), 0700);
  std::string target = tmp_.Join("elsewhere");
  ASSERT_TRUE(WriteFile(target, "keep"));
  ASSERT_EQ(symlink(target.c_str(), lock_.c_str()), 0);
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  EXPECT_EQ(agent.Wait(10), 1);
  EXPECT_THAT(agent.Stderr(), HasSubstr("CorvantisAgent: cannot lock agent.lock"));
  EXPECT_EQ(ReadFile(target), "keep");
}

TEST_F(AgentLockTest, NoLockModeNeverTakesIt) {
  ScopedEnv noLock("CORVANTIS_AGENT_NO_LOCK", "1");
  MakeQueue();
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitRunning(agent)) << agent.Stderr();
  ASSERT_TRUE(PutRequest(queue_, Stem(1), OpenDoc("/srv/a.corva")));
  ASSERT_TRUE(WaitUntil([&] { return agent.Lines().size() == 1; }, 10)) << agent.Stderr();
  EXPECT_THAT(agent.Lines(), ElementsAre("open /srv/a.corva"));
  struct stat st;
  EXPECT_NE(lstat(lock_.c_str(), &st), 0);
  EXPECT_FALSE(LockHeld());
}

using AgentRequestTest = AgentFixture;

TEST_F(AgentRequestTest, HandlesQueuedRequestsInStemOrderAndLeavesOtherNames) {
  MakeQueue();
  ASSERT_TRUE(PutRequest(queue_, Stem(3), OpenDoc("/home/u/third plan.corva")));
  ASSERT_TRUE(PutRequest(queue_, Stem(1), OpenDoc("/home/u/plan.corva")));
  ASSERT_TRUE(PutRequest(queue_, Stem(2), ReopenDoc()));
  const std::vector<std::string> others = {
      ".0123456789abcdef0123456789abcdef.tmp", ".hidden.json", "notes.txt",
      Stem(4) + ".json.tmp", Stem(5) + ".claimed"};
  for (const std::string& name : others) ASSERT_TRUE(WriteFile(queue_ + "/" + name, OpenDoc("/x")));
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Lines().size() >= 3; }, 10)) << agent.Stderr();
  EXPECT_THAT(agent.Lines(),
              ElementsAre("open /home/u/plan.corva", "reopen", "open /home/u/third plan.corva"));
  ASSERT_TRUE(WaitUntil([&] { return ListDir(queue_).size() == others.size(); }, 10));
  std::vector<std::string> sorted = others;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(ListDir(queue_), sorted);
  EXPECT_EQ(agent.Lines().size(), 3u);
}

// Dates `path` (a link itself) `age` seconds back.
void Age(const std::string& path, double age) {
  struct timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= static_cast<time_t>(age);
  times[1] = times[0];
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

constexpr double kStale = 36 * 3600 + 60, kYoung = 36 * 3600 - 60;

TEST_F(AgentRequestTest, RemovesStaleTemporariesAtStartAndNothingElse) {
  MakeQueue();
  const std::string stale = ".0123456789abcdef0123456789abcdef.tmp";
  const std::string young = ".fedcba9876543210fedcba9876543210.tmp";
  const std::vector<std::string> oldOthers = {Stem(5) + ".claimed", ".hidden.json", "notes.tmp",
                                              ".0123.tmp", Stem(6) + ".json.tmp"};
  ASSERT_TRUE(WriteFile(queue_ + "/" + stale, "{\"format\":"));
  Age(queue_ + "/" + stale, kStale);
  ASSERT_TRUE(WriteFile(queue_ + "/" + young, "{\"format\":"));
  Age(queue_ + "/" + young, kYoung);
  for (const std::string& name : oldOthers) {
    ASSERT_TRUE(WriteFile(queue_ + "/" + name, OpenDoc("/x")));
    Age(queue_ + "/" + name, kStale);
  }
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return !Exists(stale); }, 10)) << agent.Stderr();
  EXPECT_THAT(agent.Stderr(), HasSubstr("removed " + stale + ", a temporary file older than 36 hours"));
  std::vector<std::string> kept = oldOthers;
  kept.push_back(young);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(ListDir(queue_), kept);
  EXPECT_TRUE(agent.Lines().empty());
}

TEST_F(AgentRequestTest, NoticesARequestWrittenLater) {
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitLocked(agent)) << agent.Stderr();
  ASSERT_TRUE(PutRequest(queue_, Stem(7), OpenDoc("/later.corva")));
  ASSERT_TRUE(WaitUntil([&] { return !agent.Lines().empty(); }, 10)) << agent.Stderr();
  EXPECT_THAT(agent.Lines(), ElementsAre("open /later.corva"));
  EXPECT_TRUE(WaitUntil([&] { return ListDir(queue_).empty(); }, 10));
}

TEST_F(AgentRequestTest, BadRequestsAreReportedAndRemovedWithoutStoppingIt) {
  MakeQueue();
  ASSERT_TRUE(PutRequest(queue_, Stem(1), "not json"));
  ASSERT_TRUE(PutRequest(queue_, Stem(2), R"({"format":"corvantis.open/9","kind":"open"})"));
  ASSERT_TRUE(PutRequest(queue_, Stem(3), std::string(65537, ' ')));
  // A FIFO must not hang the agent; a symlink must not be followed.
  ASSERT_EQ(mkfifo((queue_ + "/" + Stem(4) + ".json").c_str(), 0600), 0);
  std::string target = tmp_.Join("target");
  ASSERT_TRUE(WriteFile(target, OpenDoc("/via/link.corva")));
  ASSERT_EQ(symlink(target.c_str(), (queue_ + "/" + Stem(5) + ".json").c_str()), 0);
  ASSERT_TRUE(PutRequest(queue_, Stem(6), OpenDoc("/fine.corva")));
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Lines().size() >= 6; }, 10)) << agent.Stderr();
  std::vector<std::string> lines = agent.Lines();
  EXPECT_EQ(lines[0], "rejected " + Stem(1) + ": not JSON");
  EXPECT_EQ(lines[1], "rejected " + Stem(2) + ": unknown format \"corvantis.open/9\"");
  EXPECT_EQ(lines[2], "rejected " + Stem(3) + ": larger than 65536 bytes");
  EXPECT_EQ(lines[3], "rejected " + Stem(4) + ": not a regular file");
  EXPECT_THAT(lines[4], HasSubstr("rejected " + Stem(5) + ": unreadable ("));
  EXPECT_EQ(lines[5], "open /fine.corva");
  EXPECT_TRUE(WaitUntil([&] { return ListDir(queue_).empty(); }, 10));
  EXPECT_EQ(ReadFile(target), OpenDoc("/via/link.corva"));
}

TEST_F(AgentRequestTest, KeepsListeningWhenTheQueueFolderIsReplaced) {
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitLocked(agent)) << agent.Stderr();
  ASSERT_EQ(rename(queue_.c_str(), tmp_.Join("old-requests").c_str()), 0);
  // The agent may make the folder again itself before this does.
  ASSERT_TRUE(mkdir(queue_.c_str(), 0700) == 0 || errno == EEXIST) << strerror(errno);
  ASSERT_TRUE(PutRequest(queue_, Stem(1), OpenDoc("/after.corva")));
  ASSERT_TRUE(WaitUntil([&] { return !agent.Lines().empty(); }, 10)) << agent.Stderr();
  EXPECT_THAT(agent.Lines(), ElementsAre("open /after.corva"));
}

using AgentKnobTest = AgentFixture;

TEST_F(AgentKnobTest, ClaimDelayLeavesTheRequestQueued) {
  ScopedEnv delay("CORVANTIS_AGENT_CLAIM_DELAY", "3600");
  MakeQueue();
  ASSERT_TRUE(PutRequest(queue_, Stem(1), OpenDoc("/a.corva")));
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitLocked(agent)) << agent.Stderr();
  // Longer than a rescan: the agent has seen the request by now.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(Exists(Stem(1) + ".json"));
  EXPECT_FALSE(Exists(Stem(1) + ".claimed"));
  EXPECT_TRUE(agent.Lines().empty());
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.Wait(10), 0);
  EXPECT_TRUE(Exists(Stem(1) + ".json"));
}

TEST_F(AgentKnobTest, HandleDelayKeepsItClaimedAndSigtermLeavesItSo) {
  ScopedEnv delay("CORVANTIS_AGENT_HANDLE_DELAY", "3600");
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitLocked(agent)) << agent.Stderr();
  ASSERT_TRUE(PutRequest(queue_, Stem(1), OpenDoc("/a.corva")));
  ASSERT_TRUE(WaitUntil([&] { return Exists(Stem(1) + ".claimed"); }, 10)) << agent.Stderr();
  EXPECT_FALSE(Exists(Stem(1) + ".json"));
  EXPECT_TRUE(agent.Lines().empty());
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.Wait(10), 0);
  EXPECT_TRUE(Exists(Stem(1) + ".claimed"));
  EXPECT_THAT(agent.Stderr(), HasSubstr("1 claimed request(s) left unhandled"));
  EXPECT_FALSE(LockHeld());
}

TEST_F(AgentKnobTest, HandleDelayEndsInHandling) {
  ScopedEnv delay("CORVANTIS_AGENT_HANDLE_DELAY", "0.3");
  MakeQueue();
  ASSERT_TRUE(PutRequest(queue_, Stem(1), OpenDoc("/a.corva")));
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return !agent.Lines().empty(); }, 10)) << agent.Stderr();
  EXPECT_THAT(agent.Lines(), ElementsAre("open /a.corva"));
  EXPECT_TRUE(WaitUntil([&] { return ListDir(queue_).empty(); }, 10));
}

TEST_F(AgentKnobTest, IdleExitEndsWithStatusZeroAfterTheWork) {
  ScopedEnv idle("CORVANTIS_AGENT_IDLE_EXIT", "0.5");
  MakeQueue();
  ASSERT_TRUE(PutRequest(queue_, Stem(1), ReopenDoc()));
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  EXPECT_EQ(agent.Wait(10), 0) << agent.Stderr();
  EXPECT_THAT(agent.Lines(), ElementsAre("reopen"));
  EXPECT_TRUE(ListDir(queue_).empty());
  EXPECT_FALSE(LockHeld());
}

TEST_F(AgentKnobTest, SigintAlsoExitsZero) {
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitLocked(agent)) << agent.Stderr();
  agent.Signal(SIGINT);
  EXPECT_EQ(agent.Wait(10), 0);
}

TEST_F(AgentKnobTest, BadKnobOrNoSettingsFolderExitsTwo) {
  struct Case {
    const char* name;
    const char* value;
    const char* said;
  };
  const Case cases[] = {
      {"CORVANTIS_AGENT_CLAIM_DELAY", "soon", "CORVANTIS_AGENT_CLAIM_DELAY"},
      {"CORVANTIS_AGENT_HANDLE_DELAY", "-1", "CORVANTIS_AGENT_HANDLE_DELAY"},
      {"CORVANTIS_AGENT_IDLE_EXIT", "1e3", "CORVANTIS_AGENT_IDLE_EXIT"},
      {"CORVANTIS_AGENT_NO_LOCK", "yes", "CORVANTIS_AGENT_NO_LOCK"},
      {"CORVANTIS_AGENT_DIR", "relative/dir", "no settings folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv env(c.name, c.value);
    ToolResult run = RunAgentTool(tmp_.path(), {});
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, HasSubstr("CorvantisAgent: "));
    EXPECT_THAT(run.err, HasSubstr(c.said));
  }
  struct stat st;
  EXPECT_NE(lstat(lock_.c_str(), &st), 0);
}

TEST_F(AgentKnobTest, SweepIntervalRemovesTemporariesThatAgeLater) {
  ScopedEnv sweep("CORVANTIS_AGENT_SWEEP_INTERVAL", "0.2");
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitLocked(agent)) << agent.Stderr();
  const std::string name = ".abcdefabcdefabcdefabcdefabcdefab.tmp";
  ASSERT_TRUE(WriteFile(queue_ + "/" + name, "{"));
  Age(queue_ + "/" + name, kYoung);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  ASSERT_TRUE(Exists(name));
  Age(queue_ + "/" + name, kStale);
  EXPECT_TRUE(WaitUntil([&] { return !Exists(name); }, 10)) << agent.Stderr();
}

}  // namespace
}  // namespace cvtest
