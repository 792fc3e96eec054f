// Tool runs of the built agent: "--tool status" and "--tool help" never take
// the lock and change nothing.
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent_fixture.h"

namespace cvtest {
namespace {

using ::testing::HasSubstr;

using AgentToolTest = AgentFixture;

TEST_F(AgentToolTest, StatusOfAMissingFolderChangesNothing) {
  ToolResult run = RunAgentTool(tmp_.path(), {"--tool", "status"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "settings " + conf_ + "\nagent not running\n");
  struct stat st;
  EXPECT_NE(lstat(conf_.c_str(), &st), 0);
}

TEST_F(AgentToolTest, StatusListsQueuedAndClaimedStemsInOrder) {
  MakeQueue();
  ASSERT_TRUE(PutRequest(queue_, Stem(2), ReopenDoc()));
  ASSERT_TRUE(PutRequest(queue_, Stem(1), OpenDoc("/a.corva")));
  ASSERT_TRUE(WriteFile(queue_ + "/" + Stem(3) + ".claimed", ReopenDoc()));
  ASSERT_TRUE(WriteFile(queue_ + "/.0123456789abcdef0123456789abcdef.tmp", ReopenDoc()));
  ASSERT_TRUE(WriteFile(queue_ + "/readme.txt", ""));
  ToolResult run = RunAgentTool(tmp_.path(), {"--tool", "status"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "settings " + conf_ + "\nqueued " + Stem(1) + "\nqueued " + Stem(2) +
                         "\nclaimed " + Stem(3) + "\nagent not running\n");
  EXPECT_EQ(ListDir(queue_).size(), 5u);
}

TEST_F(AgentToolTest, StatusWhileTheLockIsHeldTakesNoLock) {
  MakeQueue();
  ASSERT_TRUE(WriteFile(lock_, "{\"pid\":731,\"since\":1}"));
  int fd = open(lock_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  ToolResult run = RunAgentTool(tmp_.path(), {"--tool", "status"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("\nagent running (pid 731)\n"));
  EXPECT_EQ(ReadFile(lock_), "{\"pid\":731,\"since\":1}");
  close(fd);
}

TEST_F(AgentToolTest, StatusBesideARunningAgent) {
  ScopedEnv delay("CORVANTIS_AGENT_HANDLE_DELAY", "3600");
  AgentProcess agent(tmp_.path());
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitLocked(agent)) << agent.Stderr();
  ASSERT_TRUE(PutRequest(queue_, Stem(1), OpenDoc("/a.corva")));
  ASSERT_TRUE(WaitUntil([&] { return Exists(Stem(1) + ".claimed"); }, 10)) << agent.Stderr();
  ToolResult run = RunAgentTool(tmp_.path(), {"--tool", "status"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "settings " + conf_ + "\nclaimed " + Stem(1) + "\nagent running (pid " +
                         std::to_string(agent.pid()) + ")\n");
  EXPECT_TRUE(LockHeld());
  EXPECT_FALSE(agent.Wait(0).has_value());
}

TEST_F(AgentToolTest, StatusWithoutASettingsFolderPath) {
  ScopedEnv dir("CORVANTIS_AGENT_DIR", "relative");
  ToolResult run = RunAgentTool(tmp_.path(), {"--tool", "status"});
  EXPECT_EQ(run.status, 2);
  EXPECT_THAT(run.err, HasSubstr("CorvantisAgent: no settings folder"));
}

TEST_F(AgentToolTest, HelpDocumentsTheCommandsAndEveryKnob) {
  ToolResult run = RunAgentTool(tmp_.path(), {"--tool", "help"});
  EXPECT_EQ(run.status, 0);
  for (const char* word : {"status", "CORVANTIS_AGENT_CLAIM_DELAY", "CORVANTIS_AGENT_HANDLE_DELAY",
                           "CORVANTIS_AGENT_IDLE_EXIT", "CORVANTIS_AGENT_NO_LOCK",
                           "CORVANTIS_AGENT_SWEEP_INTERVAL", "open PATH",
                           "reopen", "rejected STEM: REASON"}) {
    EXPECT_THAT(run.out, HasSubstr(word));
  }
  struct stat st;
  EXPECT_NE(lstat(conf_.c_str(), &st), 0);
}

TEST_F(AgentToolTest, UnknownOrMissingCommandIsAUsageError) {
  const std::vector<std::vector<std::string>> cases = {
      {"--tool"}, {"--tool", "frobnicate"}, {"--tool", "status", "extra"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args.size());
    ToolResult run = RunAgentTool(tmp_.path(), args);
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, HasSubstr("usage: CorvantisAgent"));
    EXPECT_EQ(run.out, "");
  }
  struct stat st;
  EXPECT_NE(lstat(conf_.c_str(), &st), 0);
}

}  // namespace
}  // namespace cvtest
