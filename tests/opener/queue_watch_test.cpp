// The watch on the queue folder: a claim or removal of one of the opener's
// requests runs a tick at once; everything else waits for the timer, and
// without the watch the timer alone does the work.
#include <sys/stat.h>

#include "opener_fixture.h"

namespace cvtest {
namespace {

class QueueWatchTest : public OpenerTest {
 protected:
  QueueWatchTest() {
    agents.probeResult = CVAgentRunning;
    agents.probePid = 10;
  }
  // The agent's claim and removal, each reported by the watch as the kernel
  // would: the name that went away.
  void ClaimAndReport(const std::string& stem) {
    ASSERT_TRUE(Claim(stem));
    platform.DeliverDirectoryChange({stem + ".json"});
  }
  void HandleAndReport(const std::string& stem) {
    ASSERT_TRUE(Handle(stem));
    platform.DeliverDirectoryChange({stem + ".claimed"});
  }
};

TEST_F(QueueWatchTest, SetUpOnceAfterTheFirstRequestOnTheQueueFolder) {
  CVOpener& o = Launched();
  EXPECT_EQ(platform.directoryWatchesCreated, 0) << "nothing to watch before a request";
  o.openURLs(Docs(3));
  EXPECT_EQ(platform.directoryWatchesCreated, 1);
  EXPECT_EQ(platform.watchedDirFd, o.TEST_Cfd());
  EXPECT_EQ(platform.watchedDirName, "open-requests");
  o.openURLs(Docs(2, "/docs/u"));
  EXPECT_EQ(platform.directoryWatchesCreated, 1);
  EXPECT_EQ(platform.LiveDirectoryWatches(), 1);
}

// The agent may claim a request the moment it appears: when the queue
// folder exists, the watch is in place before the first request is written.
TEST_F(QueueWatchTest, WatchExistsBeforeTheFirstRequestIsVisible) {
  ASSERT_EQ(mkdir(settings.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(Queue().c_str(), 0700), 0);
  std::vector<size_t> filesAtWatch;
  platform.onDirectoryWatch = [&] { filesAtWatch.push_back(QueueFiles().size()); };
  CVOpener& o = Launched();
  o.openURLs(Docs(2));
  EXPECT_EQ(filesAtWatch, std::vector<size_t>{0});
}

TEST_F(QueueWatchTest, ClaimAndRemovalAreNoticedAtOnceAndTheOpenerQuits) {
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  std::string stem = Stem(0);
  platform.Advance(0.01);
  ClaimAndReport(stem);
  EXPECT_EQ(o.TEST_Reqs()[0]->claimedAt, platform.now) << "stamped by the watch's tick, not the timer's";
  EXPECT_EQ(Lines("claimed " + stem), 1);
  platform.Advance(0.01);
  HandleAndReport(stem);
  EXPECT_EQ(Lines("handled " + stem), 1);
  EXPECT_EQ(platform.terminations, 1);
  EXPECT_EQ(Lines("done"), 1);
}

TEST_F(QueueWatchTest, OnlyEntriesOfOwnRequestsOrALostTrackRunATick) {
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  std::string stem = Stem(0);
  ASSERT_TRUE(Claim(stem));
  const std::vector<std::vector<std::string>> foreign = {
      {"1796873372279-00000000000000000000000000000000.json"},
      {"." + stem.substr(14) + ".tmp"},
      {stem.substr(0, 20) + ".json"},
      {"agent.lock"},
  };
  for (const auto& names : foreign) {
    platform.DeliverDirectoryChange(names);
    EXPECT_FALSE(o.TEST_Reqs()[0]->claimedAt) << names[0];
  }
  platform.DeliverDirectoryChange({"other.json", ""});
  EXPECT_EQ(o.TEST_Reqs()[0]->claimedAt, platform.now) << "an empty name: the watch lost track";
}

TEST_F(QueueWatchTest, NoTickBeforeTheEndOfLaunchingOrWhileAnAlertIsUp) {
  CVOpener& o = Make();
  o.openURLs({Doc("/d/plan.corva")});
  std::string stem = Stem(0);
  ClaimAndReport(stem);
  EXPECT_FALSE(o.TEST_Reqs()[0]->claimedAt) << "the tick loop does not run before launching";
  o.applicationDidFinishLaunching();

  bool stampedInAlert = true;
  platform.onAlert = [&](size_t) {
    HandleAndReport(stem);
    stampedInAlert = o.TEST_Reqs().size() != 1 || o.TEST_Reqs()[0]->claimedAt.has_value();
  };
  o.alert("message", "A5");
  EXPECT_FALSE(stampedInAlert) << "a tick from the watch inside an alert returns at once";
  EXPECT_EQ(platform.terminations, 0);
  platform.Tick();
  EXPECT_EQ(Lines("handled " + stem), 1);
  EXPECT_EQ(platform.terminations, 1);
}

TEST_F(QueueWatchTest, NoTickWhileTheTimerIsStoppedForASpawnedChild) {
  ScriptSpawn(4242);
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  std::string stem = Stem(0);
  ASSERT_TRUE(Claim(stem));
  ASSERT_TRUE(Handle(stem));
  platform.Tick(0.25, 3);
  ASSERT_TRUE(o.TEST_Reqs().empty());
  ASSERT_EQ(platform.ValidTimers(), 0) << "waiting for the child";
  int lines = static_cast<int>(log.lines().size());
  platform.DeliverDirectoryChange({""});
  EXPECT_EQ(static_cast<int>(log.lines().size()), lines);
  EXPECT_EQ(platform.terminations, 0);
}

TEST_F(QueueWatchTest, WithoutTheWatchTheTimerAloneFinishesTheWork) {
  platform.failDirectoryWatch = true;
  CVOpener& o = Launched();
  o.openURLs(Docs(2));
  // The fake answers ENOENT: tried before and after the first write (which
  // may have created the folder), then never again.
  EXPECT_EQ(platform.directoryWatchesCreated, 2);
  EXPECT_FALSE(o.TEST_QueueWatched());
  std::string first = Stem(0);
  std::string second = Stem(1);
  ASSERT_TRUE(Claim(first));
  ASSERT_TRUE(Claim(second));
  platform.Tick();
  EXPECT_EQ(Lines("claimed " + first), 1);
  ASSERT_TRUE(Handle(first));
  ASSERT_TRUE(Handle(second));
  platform.Tick();
  EXPECT_EQ(Lines("handled " + second), 1);
  EXPECT_EQ(platform.terminations, 1);
  EXPECT_EQ(platform.directoryWatchesCreated, 2);
}

TEST_F(QueueWatchTest, NoWatchWithoutASettingsFolder) {
  ScopedEnv relative("CORVANTIS_AGENT_DIR", "relative");
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  EXPECT_EQ(platform.directoryWatchesCreated, 0);
}

}  // namespace
}  // namespace cvtest
