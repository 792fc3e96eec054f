// Making sure an agent runs: probe, kickstart, scan, spawn, the child's exit
// and the plain launch.
#include <cerrno>
#include <cstring>

#include "opener_fixture.h"

namespace cvtest {
namespace {

const char* kA3 =
    "The Corvantis agent isn't running, and its user service (corvantis.agent) isn't installed. "
    "Start it with:\n\nsystemctl --user enable --now corvantis.agent.service\n\nthen open the "
    "tract again.";

std::string A2(const std::string& noun) {
  return "An older Corvantis Agent is still running. Quit it (menu bar icon \u2192 Quit Corvantis "
         "Agent), then open " + noun + " again.";
}

std::string A4(int err) {
  return std::string("Corvantis Agent couldn't be started (") + strerror(err) +
         "). Reinstall the Corvantis package, then open the tract again.";
}

class SupervisionTest : public OpenerTest {
 protected:
  // Launches and opens one document; returns the instant of the open.
  double OpenOne() {
    Launched();
    double at = platform.now;
    opener->openURLs({Doc("/d/plan.corva")});
    return at;
  }
};

TEST_F(SupervisionTest, RunningAgentGetsFifteenSeconds) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 4321;
  double t0 = OpenOne();
  EXPECT_EQ(opener->_phase, CVPhaseRunning);
  EXPECT_EQ(opener->_agentPid, 4321);
  EXPECT_EQ(opener->_claimBy, t0 + 15);
  EXPECT_TRUE(agents.kickstarts.empty());
}

TEST_F(SupervisionTest, HeldLockWithoutPidStillRuns) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 0;
  OpenOne();
  EXPECT_EQ(opener->_phase, CVPhaseRunning);
  EXPECT_EQ(opener->_agentPid, 0);
}

TEST_F(SupervisionTest, KickstartStartsWindowAndSecondEnsureWaitsInIt) {
  agents.kickstartRc = 0;
  double t0 = OpenOne();
  EXPECT_EQ(agents.kickstarts, std::vector<std::string>{"corvantis.agent"});
  EXPECT_EQ(Lines("kickstart corvantis.agent -> 0"), 1);
  EXPECT_EQ(opener->_phase, CVPhaseStarting);
  EXPECT_EQ(opener->_startingUntil, t0 + 90);
  EXPECT_EQ(opener->_claimBy, t0 + 90);
  EXPECT_TRUE(agents.spawns.empty());

  platform.Advance(30);
  opener->ensureAgent();
  EXPECT_EQ(agents.probes, 1);
  EXPECT_EQ(agents.kickstarts.size(), 1u);
  EXPECT_EQ(opener->_claimBy, t0 + 90);

  // Window over, lock still free: probe and kickstart again.
  platform.Advance(60);
  opener->ensureAgent();
  EXPECT_EQ(agents.probes, 2);
  EXPECT_EQ(agents.kickstarts.size(), 2u);
  EXPECT_EQ(opener->_startingUntil, platform.now + 90);
}

TEST_F(SupervisionTest, ProbeFailureWithdrawsThenRaisesA1) {
  agents.probeResult = CVAgentUnknown;
  agents.probeErr = EACCES;
  OpenOne();
  EXPECT_TRUE(opener->_reqs.empty());
  EXPECT_TRUE(QueueFiles().empty());
  EXPECT_EQ(LinesStartingWith("withdrew "), 1);
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{opener->confErrorText(EACCES)});
}

TEST_F(SupervisionTest, NoServiceNoCopyGivesA3WithoutScan) {
  agents.bundled.reset();
  agents.oldPid = 77;  // would be found, but no scan is made
  OpenOne();
  EXPECT_TRUE(agents.scans.empty());
  EXPECT_TRUE(agents.spawns.empty());
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA3});
  EXPECT_TRUE(QueueFiles().empty());  // withdrawn first
  EXPECT_EQ(LinesStartingWith("withdrew "), 1);
}

TEST_F(SupervisionTest, OldAgentDuringOpenGivesA2WithTheTract) {
  agents.oldPid = 77;
  OpenOne();
  EXPECT_EQ(agents.scans, std::vector<pid_t>{0});
  EXPECT_EQ(Lines("pre-lock agent running: pid 77"), 1);
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{A2("the tract")});
  EXPECT_TRUE(opener->_reqs.empty());
  EXPECT_TRUE(QueueFiles().empty());
  EXPECT_TRUE(agents.spawns.empty());
}

TEST_F(SupervisionTest, OldAgentDuringPlainLaunchGivesA2WithAgentName) {
  agents.oldPid = 77;
  Launched();
  opener->noDocumentLaunch();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{A2("Corvantis Agent")});
}

TEST_F(SupervisionTest, YoungAgentMeansStartingWithoutSpawn) {
  agents.youngPid = 321;
  double t0 = OpenOne();
  EXPECT_EQ(Lines("agent pid 321 is starting"), 1);
  EXPECT_EQ(opener->_phase, CVPhaseStarting);
  EXPECT_EQ(opener->_startingUntil, t0 + 90);
  EXPECT_EQ(opener->_claimBy, t0 + 90);
  EXPECT_EQ(opener->_agentPid, 0);
  EXPECT_TRUE(agents.spawns.empty());
  EXPECT_TRUE(platform.alerts.empty());
}

struct SpawnFailure {
  const char* name;
  int err;
  int worded;
};
void PrintTo(const SpawnFailure& c, std::ostream* os) { *os << c.name; }


class SpawnFailureTest : public SupervisionTest, public ::testing::WithParamInterface<SpawnFailure> {};

TEST_P(SpawnFailureTest, GivesA4AfterWithdrawal) {
  agents.spawnPid = -1;
  agents.spawnErr = GetParam().err;
  OpenOne();
  EXPECT_EQ(agents.spawns, std::vector<std::string>{*agents.bundled});
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{A4(GetParam().worded)});
  EXPECT_TRUE(QueueFiles().empty());
  EXPECT_EQ(opener->_child, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, SpawnFailureTest,
                         ::testing::Values(SpawnFailure{"Enoent", ENOENT, ENOENT},
                                           SpawnFailure{"ZeroIsEio", 0, EIO}),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(SupervisionTest, SpawnMakesUsTheParent) {
  ScriptSpawn(4242);
  platform.Advance(1);
  double t0 = OpenOne();
  EXPECT_EQ(Lines("spawned agent pid 4242"), 1);
  EXPECT_EQ(opener->_child, 4242);
  EXPECT_EQ(opener->_agentPid, 4242);
  EXPECT_NE(opener->_childWatch, nullptr);
  EXPECT_TRUE(platform.Watching(4242));
  EXPECT_EQ(opener->_phase, CVPhaseStarting);
  EXPECT_FALSE(opener->_startingUntil);
  EXPECT_EQ(opener->_claimBy, t0 + 90);
}

TEST_F(SupervisionTest, EnsureWithChildNeverProbes) {
  ScriptSpawn(4242);
  double t0 = OpenOne();
  int probes = agents.probes;
  platform.Advance(10);
  opener->ensureAgent();  // starting: 90 s more
  EXPECT_EQ(opener->_claimBy, t0 + 100);
  opener->_phase = CVPhaseRunning;
  opener->ensureAgent();  // running: 15 s never shortens it
  EXPECT_EQ(opener->_claimBy, t0 + 100);
  EXPECT_EQ(agents.probes, probes);
}

class ChildExitTest : public SupervisionTest {
 protected:
  double t0 = 0;
  void SetUp() override {
    ScriptSpawn(4242);
    t0 = OpenOne();
    agents.probeResult = CVAgentAbsent;
    platform.exitStatus[4242] = 256;
  }
};

TEST_F(ChildExitTest, OtherPidIsIgnored) {
  opener->childExited(999);
  opener->childExited(0);
  EXPECT_TRUE(platform.waited.empty());
  EXPECT_EQ(LinesStartingWith("agent pid"), 0);
  EXPECT_EQ(opener->_child, 4242);
}

TEST_F(ChildExitTest, PendingWithNoLockHolderWithdrawsAndRaisesA5) {
  platform.waitEintr = 2;
  int probes = agents.probes;
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_EQ(platform.waited, (std::vector<pid_t>{4242, 4242, 4242}));
  EXPECT_EQ(Lines("agent pid 4242 exited (status 256)"), 1);
  EXPECT_EQ(opener->_child, 0);
  EXPECT_EQ(opener->_agentPid, 0);
  EXPECT_EQ(opener->_childWatch, nullptr);
  EXPECT_EQ(opener->_phase, CVPhaseIdle);
  EXPECT_EQ(agents.probes, probes + 1);
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_TRUE(QueueFiles().empty());
  EXPECT_TRUE(agents.kickstarts.size() == 1u);  // nothing started again
}

TEST_F(ChildExitTest, FailedReapStillHandlesTheExitWithStatusZero) {
  platform.exitStatus.clear();  // ECHILD
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_EQ(Lines("agent pid 4242 exited (status 0)"), 1);
  EXPECT_EQ(opener->_child, 0);
}

TEST_F(ChildExitTest, PendingWithAnotherAgentGetsExactlyFifteenSeconds) {
  platform.Advance(10);  // 80 s of the 90 s deadline left
  agents.probeResult = CVAgentRunning;
  agents.probePid = 99;
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_EQ(opener->_phase, CVPhaseRunning);
  EXPECT_EQ(opener->_agentPid, 99);
  EXPECT_EQ(opener->_claimBy, t0 + 25);
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(opener->_reqs.size(), 1u);
  // The tick withdraws after exactly 15 s, not before.
  platform.Tick(0.25, 60);
  EXPECT_TRUE(platform.alerts.empty());
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
}

TEST_F(ChildExitTest, PendingFoundClaimedAtWithdrawalRaisesNothing) {
  ASSERT_TRUE(Claim(Stem(0)));
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_TRUE(platform.alerts.empty());
  ASSERT_EQ(opener->_reqs.size(), 1u);
  EXPECT_EQ(opener->_reqs[0]->claimedAt, platform.now);
}

TEST_F(ChildExitTest, ClaimedRecordsAreDroppedWithoutProbe) {
  ASSERT_TRUE(Claim(Stem(0)));
  platform.Tick();
  ASSERT_TRUE(opener->_reqs[0]->claimedAt);
  int probes = agents.probes;
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_TRUE(opener->_reqs.empty());
  EXPECT_EQ(agents.probes, probes);
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(opener->_phase, CVPhaseIdle);
}

TEST_F(ChildExitTest, ExitDuringAlertQueuesA5BehindIt) {
  platform.onAlert = [&](size_t i) {
    if (i == 0) platform.DeliverExit(4242);
  };
  opener->alert("showing", "A6");
  EXPECT_EQ(AlertTexts(), (std::vector<std::string>{"showing", kA5}));
}

TEST_F(SupervisionTest, UnwatchableChildIsRecordedButNotWaitedFor) {
  ScriptSpawn(4242);
  platform.failWatch = true;
  OpenOne();
  EXPECT_EQ(opener->_child, 4242);
  EXPECT_EQ(opener->_childWatch, nullptr);
  ASSERT_TRUE(Claim(Stem(0)));
  ASSERT_TRUE(Handle(Stem(0)));
  platform.Tick();
  // Nothing left: the opener quits instead of waiting for an exit it
  // would never see.
  EXPECT_EQ(platform.terminations, 1);
}

TEST_F(SupervisionTest, PlainLaunchAfterAnEventOnlyEndsGrace) {
  agents.probeResult = CVAgentRunning;
  CVOpener& o = Launched();
  o._sawEvent = true;
  o.noDocumentLaunch();
  EXPECT_TRUE(o._graceDone);
  EXPECT_EQ(agents.probes, 0);
  EXPECT_TRUE(o._reqs.empty());
}

TEST_F(SupervisionTest, PlainLaunchWithRunningAgentPostsOneReopen) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 55;
  CVOpener& o = Launched();
  o.noDocumentLaunch();
  ASSERT_EQ(o._reqs.size(), 1u);
  EXPECT_EQ(o._reqs[0]->kind, "reopen");
  EXPECT_EQ(o._claimBy, platform.now + 15);
  EXPECT_EQ(o._phase, CVPhaseRunning);
  EXPECT_EQ(o._agentPid, 55);
  EXPECT_EQ(QueueFiles().size(), 1u);
}

TEST_F(SupervisionTest, PlainLaunchWithoutFolderRaisesA1) {
  ScopedEnv relative("CORVANTIS_AGENT_DIR", "relative");
  CVOpener& o = Launched();
  o.noDocumentLaunch();
  EXPECT_EQ(agents.probes, 0);
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{o.confErrorText(EINVAL)});
}

}  // namespace
}  // namespace cvtest
