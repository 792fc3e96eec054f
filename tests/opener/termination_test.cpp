// Termination signals: what the controller withdraws, keeps and asks of the
// platform when SIGTERM, SIGINT or SIGHUP arrives, also inside an alert.
#include <signal.h>

#include "opener_fixture.h"

namespace cvtest {
namespace {

using TerminationTest = OpenerTest;

TEST_F(TerminationTest, ControllerWatchesTheSignalsFromItsCreation) {
  Make();
  EXPECT_EQ(platform.signalWatches, 1);
  // A platform that cannot watch them changes nothing else.
  FakePlatform other;
  other.failSignalWatch = true;
  CVOpener o(other, agents);
  EXPECT_EQ(other.signalWatches, 1);
  EXPECT_GE(o.TEST_Cfd(), 0);
}

TEST_F(TerminationTest, PendingAreWithdrawnClaimedAreLeftAndTheSignalEndsTheProcess) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    std::string name = sig == SIGTERM ? "SIGTERM" : sig == SIGINT ? "SIGINT" : "SIGHUP";
    SCOPED_TRACE(name);
    platform = FakePlatform();
    log.Clear();
    agents.probeResult = CVAgentRunning;
    agents.probePid = 10;
    CVOpener& o = Launched();
    o.openURLs(Docs(4));
    std::vector<std::string> stems = {Stem(0), Stem(1), Stem(2), Stem(3)};
    // One claimed and seen by a tick, one claimed that no tick saw yet.
    ASSERT_TRUE(Claim(stems[1]));
    platform.Tick();
    ASSERT_TRUE(o.TEST_Reqs()[1]->claimedAt);
    ASSERT_TRUE(Claim(stems[3]));

    ASSERT_TRUE(platform.DeliverTerminationSignal(sig));

    EXPECT_EQ(platform.terminatedBySignal, std::vector<int>{sig});
    EXPECT_EQ(platform.terminations, 0);
    EXPECT_EQ(Lines("received " + name + "; ending"), 1);
    for (size_t i : {0u, 2u}) {
      EXPECT_EQ(Lines("withdrew " + stems[i] + " (received " + name + ")"), 1);
    }
    EXPECT_EQ(LinesStartingWith("withdrew "), 2);
    EXPECT_EQ(Lines("left to the agent: " + stems[1]), 1);
    EXPECT_EQ(Lines("left to the agent: " + stems[3]), 1);
    EXPECT_EQ(QueueFiles(), (std::vector<std::string>{stems[1] + ".claimed", stems[3] + ".claimed"}));
    EXPECT_TRUE(platform.alerts.empty());
    EXPECT_EQ(platform.ValidTimers(), 0);
    EXPECT_EQ(Lines("done"), 0);

    // Nothing runs afterwards: no tick, no second ending, no alert.
    ASSERT_TRUE(Handle(stems[1]));
    platform.Tick(20, 2);
    EXPECT_TRUE(platform.DeliverTerminationSignal(SIGTERM));
    EXPECT_EQ(platform.terminatedBySignal, std::vector<int>{sig});
    EXPECT_EQ(Lines("handled " + stems[1]), 0);
    EXPECT_TRUE(platform.alerts.empty());
    ASSERT_TRUE(Handle(stems[3]));
    opener.reset();
  }
}

TEST_F(TerminationTest, SignalDuringAnAlertWithdrawsBeforeTheAlertEnds) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  std::vector<std::string> atAlert;
  platform.onAlert = [&](size_t) {
    platform.DeliverTerminationSignal(SIGHUP);
    atAlert = QueueFiles();
  };
  // "not-corva" is shown before anything of the event is posted; the deadline's
  // "A5" while the request is pending is the case that matters.
  o.openURLs({Doc("/d/plan.corva")});
  std::string stem = Stem(0);
  platform.Tick(0.25, 61);
  ASSERT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_EQ(platform.terminatedBySignal, std::vector<int>{SIGHUP});
  EXPECT_TRUE(atAlert.empty());
  EXPECT_EQ(Lines("withdrew " + stem), 1);  // the deadline withdrew it first
  EXPECT_TRUE(o.TEST_Reqs().empty());

  // With the alert raised while requests wait (a rejected document before
  // two tracts are posted by a later event), the signal withdraws them.
  platform = FakePlatform();
  log.Clear();
  agents.probeResult = CVAgentRunning;
  platform.onAlert = [&](size_t) {
    platform.DeliverTerminationSignal(SIGINT);
    atAlert = QueueFiles();
  };
  CVOpener& p = Make();
  p.openURLs({Doc("/d/a.corva"), Doc("/d/b.corva"), Web("https://x/y.corva")});
  ASSERT_EQ(QueueFiles().size(), 2u);
  std::vector<std::string> stems = {Stem(0), Stem(1)};
  p.applicationDidFinishLaunching();
  ASSERT_EQ(platform.alerts.size(), 1u);
  EXPECT_EQ(platform.terminatedBySignal, std::vector<int>{SIGINT});
  EXPECT_TRUE(atAlert.empty());
  for (const auto& s : stems) EXPECT_EQ(Lines("withdrew " + s + " (received SIGINT)"), 1);
}

TEST_F(TerminationTest, SignalBeforeTheEndOfLaunchingWithdrawsWhatTheOpenEventPosted) {
  CVOpener& o = Make();
  o.openURLs(Docs(2));
  ASSERT_EQ(QueueFiles().size(), 2u);
  ASSERT_TRUE(platform.DeliverTerminationSignal(SIGTERM));
  EXPECT_TRUE(QueueFiles().empty());
  EXPECT_EQ(LinesStartingWith("withdrew "), 2);
  EXPECT_EQ(platform.terminatedBySignal, std::vector<int>{SIGTERM});
  // The end of launching that the loop would still deliver starts nothing.
  o.applicationDidFinishLaunching();
  EXPECT_EQ(platform.ValidTimers(), 0);
}

TEST_F(TerminationTest, WithdrawalWithoutAReasonKeepsItsLine) {
  agents.probeResult = CVAgentRunning;
  CVOpener& o = Launched();
  o.openURLs(Docs(1));
  std::string stem = Stem(0);
  EXPECT_EQ(o.withdrawPending(), 1u);
  EXPECT_EQ(log.lines().back().text, "withdrew " + stem);
}

}  // namespace
}  // namespace cvtest
