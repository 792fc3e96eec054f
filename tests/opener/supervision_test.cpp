// Making sure an agent runs: probe, kickstart, scan, spawn, the child's exit
// and the plain launch.
#include <cerrno>
#include <cstring>
#include <functional>

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
  EXPECT_EQ(opener->TEST_Phase(), CVPhaseRunning);
  EXPECT_EQ(opener->TEST_AgentPid(), 4321);
  EXPECT_EQ(opener->TEST_ClaimBy(), t0 + 15);
  EXPECT_TRUE(agents.kickstarts.empty());
}

TEST_F(SupervisionTest, HeldLockWithoutPidStillRuns) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 0;
  OpenOne();
  EXPECT_EQ(opener->TEST_Phase(), CVPhaseRunning);
  EXPECT_EQ(opener->TEST_AgentPid(), 0);
}

TEST_F(SupervisionTest, KickstartStartsWindowAndSecondEnsureWaitsInIt) {
  agents.kickstartRc = 0;
  double t0 = OpenOne();
  EXPECT_EQ(agents.kickstarts, std::vector<std::string>{"corvantis.agent"});
  EXPECT_EQ(Lines("kickstart corvantis.agent -> 0"), 1);
  EXPECT_EQ(opener->TEST_Phase(), CVPhaseStarting);
  EXPECT_EQ(opener->TEST_StartingUntil(), t0 + 90);
  EXPECT_EQ(opener->TEST_ClaimBy(), t0 + 90);
  EXPECT_TRUE(agents.spawns.empty());

  platform.Advance(30);
  opener->ensureAgent();
  EXPECT_EQ(agents.probes, 1);
  EXPECT_EQ(agents.kickstarts.size(), 1u);
  EXPECT_EQ(opener->TEST_ClaimBy(), t0 + 90);

  // Window over, lock still free: probe and kickstart again.
  platform.Advance(60);
  opener->ensureAgent();
  EXPECT_EQ(agents.probes, 2);
  EXPECT_EQ(agents.kickstarts.size(), 2u);
  EXPECT_EQ(opener->TEST_StartingUntil(), platform.now + 90);
}

TEST_F(SupervisionTest, ProbeFailureWithdrawsThenRaisesA1) {
  agents.probeResult = CVAgentUnknown;
  agents.probeErr = EACCES;
  OpenOne();
  EXPECT_TRUE(opener->TEST_Reqs().empty());
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
  EXPECT_TRUE(opener->TEST_Reqs().empty());
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
  EXPECT_EQ(opener->TEST_Phase(), CVPhaseStarting);
  EXPECT_EQ(opener->TEST_StartingUntil(), t0 + 90);
  EXPECT_EQ(opener->TEST_ClaimBy(), t0 + 90);
  EXPECT_EQ(opener->TEST_AgentPid(), 0);
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
  EXPECT_EQ(opener->TEST_Child(), 0);
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
  EXPECT_EQ(opener->TEST_Child(), 4242);
  EXPECT_EQ(opener->TEST_AgentPid(), 4242);
  EXPECT_TRUE(opener->TEST_ChildWatched());
  EXPECT_TRUE(platform.Watching(4242));
  EXPECT_EQ(opener->TEST_Phase(), CVPhaseStarting);
  EXPECT_FALSE(opener->TEST_StartingUntil());
  EXPECT_EQ(opener->TEST_ClaimBy(), t0 + 90);
}

TEST_F(SupervisionTest, EnsureWithChildNeverProbes) {
  ScriptSpawn(4242);
  double t0 = OpenOne();
  int probes = agents.probes;
  platform.Advance(10);
  opener->ensureAgent();  // starting: 90 s more
  EXPECT_EQ(opener->TEST_ClaimBy(), t0 + 100);
  // The child takes the lock: the tick's probe finds the agent running.
  agents.probeResult = CVAgentRunning;
  agents.probePid = 4242;
  platform.Tick();
  ASSERT_EQ(opener->TEST_Phase(), CVPhaseRunning);
  probes = agents.probes;
  opener->ensureAgent();  // running: 15 s never shortens it
  EXPECT_EQ(opener->TEST_ClaimBy(), t0 + 100);
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
  EXPECT_EQ(opener->TEST_Child(), 4242);
}

TEST_F(ChildExitTest, PendingWithNoLockHolderWithdrawsAndRaisesA5) {
  platform.waitEintr = 2;
  int probes = agents.probes;
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_EQ(platform.waited, (std::vector<pid_t>{4242, 4242, 4242}));
  EXPECT_EQ(Lines("agent pid 4242 exited (status 256)"), 1);
  EXPECT_EQ(opener->TEST_Child(), 0);
  EXPECT_EQ(opener->TEST_AgentPid(), 0);
  EXPECT_FALSE(opener->TEST_ChildWatched());
  EXPECT_EQ(opener->TEST_Phase(), CVPhaseIdle);
  EXPECT_EQ(agents.probes, probes + 1);
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_TRUE(QueueFiles().empty());
  EXPECT_TRUE(agents.kickstarts.size() == 1u);  // nothing started again
}

TEST_F(ChildExitTest, FailedReapStillHandlesTheExitWithStatusZero) {
  platform.exitStatus.clear();  // ECHILD
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_EQ(Lines("agent pid 4242 exited (status 0)"), 1);
  EXPECT_EQ(opener->TEST_Child(), 0);
}

TEST_F(ChildExitTest, PendingWithAnotherAgentGetsExactlyFifteenSeconds) {
  platform.Advance(10);  // 80 s of the 90 s deadline left
  agents.probeResult = CVAgentRunning;
  agents.probePid = 99;
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_EQ(opener->TEST_Phase(), CVPhaseRunning);
  EXPECT_EQ(opener->TEST_AgentPid(), 99);
  EXPECT_EQ(opener->TEST_ClaimBy(), t0 + 25);
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(opener->TEST_Reqs().size(), 1u);
  // The tick withdraws after exactly 15 s, not before.
  platform.Tick(0.25, 60);
  EXPECT_TRUE(platform.alerts.empty());
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
}

// With nobody holding the lock after the exit, a request found claimed at
// the withdrawal was claimed by the child just before it went: not handled.
TEST_F(ChildExitTest, PendingFoundClaimedAtWithdrawalIsLost) {
  std::string stem = Stem(0);
  ASSERT_TRUE(Claim(stem));
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_TRUE(opener->TEST_Reqs().empty());
  EXPECT_EQ(Lines("not handled, agent gone: " + stem), 1);
  EXPECT_EQ(QueueFiles(), std::vector<std::string>{stem + ".claimed"});  // left where it is
}

struct ClaimAtExit {
  const char* name;
  bool handledBeforeExit;  // the agent removed the .claimed before it went
};
void PrintTo(const ClaimAtExit& c, std::ostream* os) { *os << c.name; }

class ClaimedAtExitTest : public ChildExitTest, public ::testing::WithParamInterface<ClaimAtExit> {};

// A claimed record is the child's; at its exit, a .claimed still there was
// not handled ("A5", the file left where it is), a gone one was.
TEST_P(ClaimedAtExitTest, StillClaimedIsLostGoneIsHandled) {
  std::string stem = Stem(0);
  ASSERT_TRUE(Claim(stem));
  platform.Tick();
  ASSERT_TRUE(opener->TEST_Reqs()[0]->claimedAt);
  if (GetParam().handledBeforeExit) {
    ASSERT_TRUE(Handle(stem));
  }
  int probes = agents.probes;
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_TRUE(opener->TEST_Reqs().empty());
  EXPECT_EQ(agents.probes, probes);  // the claims were the child's: nothing to ask
  EXPECT_EQ(opener->TEST_Phase(), CVPhaseIdle);
  if (GetParam().handledBeforeExit) {
    EXPECT_TRUE(platform.alerts.empty());
    EXPECT_EQ(Lines("handled " + stem), 1);
    EXPECT_TRUE(QueueFiles().empty());
  } else {
    EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
    EXPECT_EQ(Lines("not handled, agent gone: " + stem), 1);
    EXPECT_EQ(QueueFiles(), std::vector<std::string>{stem + ".claimed"});
  }
  EXPECT_EQ(platform.ValidTimers(), 1);
  platform.Tick();
  EXPECT_EQ(platform.terminations, 1);
  EXPECT_EQ(platform.alerts.size(), GetParam().handledBeforeExit ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, ClaimedAtExitTest,
                         ::testing::Values(ClaimAtExit{"StillClaimed", false},
                                           ClaimAtExit{"HandledBeforeExit", true}),
                         [](const auto& tp) { return std::string(tp.param.name); });

// Pending and claimed at the exit: the pending ones are withdrawn first,
// then one "A5" covers both.
TEST_F(ChildExitTest, PendingAndClaimedGiveOneA5AfterTheWithdrawal) {
  opener->openURLs({Doc("/d/b.corva"), Doc("/d/c.corva")});
  std::string a = Stem(0), b = Stem(1), c = Stem(2);
  ASSERT_TRUE(Claim(a));
  ASSERT_TRUE(Claim(b));
  ASSERT_TRUE(Handle(b));
  platform.Tick();  // a claimed, b handled, c pending
  ASSERT_EQ(opener->TEST_Reqs().size(), 2u);
  platform.onAlert = [&](size_t) { EXPECT_EQ(Lines("withdrew " + c), 1); };
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_EQ(Lines("not handled, agent gone: " + a), 1);
  EXPECT_TRUE(opener->TEST_Reqs().empty());
  EXPECT_EQ(QueueFiles(), std::vector<std::string>{a + ".claimed"});
}

// Another agent held the lock while the child lived (the child lost the
// race for it and exits): what is claimed may be that agent's and is
// followed on; when that agent goes in turn, the next tick tells.
TEST_F(ChildExitTest, ClaimsOfTheAgentHoldingTheLockAreFollowedOn) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 99;
  platform.Tick();
  ASSERT_EQ(opener->TEST_AgentPid(), 99);
  std::string stem = Stem(0);
  ASSERT_TRUE(Claim(stem));
  platform.Tick();
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_TRUE(platform.alerts.empty());
  ASSERT_EQ(opener->TEST_Reqs().size(), 1u);
  EXPECT_EQ(opener->TEST_Phase(), CVPhaseRunning);
  EXPECT_EQ(opener->TEST_AgentPid(), 99);
  platform.Tick(0.25, 4);
  EXPECT_TRUE(platform.alerts.empty());
  agents.probeResult = CVAgentAbsent;  // agent 99 dies holding it
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_EQ(Lines("not handled, agent gone: " + stem), 1);
}

// ... and when the probe at the exit cannot tell, they are followed on too:
// the child's death says nothing of that agent.
// (A request still pending is withdrawn, as with no lock holder.)
TEST_F(ChildExitTest, UndecidedProbeKeepsFollowingTheLockHoldersClaims) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 99;
  platform.Tick();
  std::string stem = Stem(0);
  ASSERT_TRUE(Claim(stem));
  platform.Tick();
  opener->openURLs({Doc("/d/b.corva")});
  agents.probeResult = CVAgentUnknown;
  agents.probeErr = EIO;
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});  // for the withdrawn one
  EXPECT_EQ(LinesStartingWith("withdrew "), 1);
  EXPECT_EQ(LinesStartingWith("not handled, agent gone: "), 0);
  platform.alerts.clear();
  ASSERT_EQ(opener->TEST_Reqs().size(), 1u);
  EXPECT_EQ(opener->TEST_AgentPid(), 99);
  platform.Tick(0.25, 4);
  EXPECT_TRUE(platform.alerts.empty());
  agents.probeResult = CVAgentAbsent;
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_EQ(QueueFiles(), std::vector<std::string>{stem + ".claimed"});
}

// The lock is held after the exit, but not by the agent seen before: the
// claims were the child's.
TEST_F(ChildExitTest, ANewLockHolderDoesNotSaveTheChildsClaims) {
  std::string stem = Stem(0);
  opener->openURLs({Doc("/d/b.corva")});
  ASSERT_TRUE(Claim(stem));
  platform.Tick();
  agents.probeResult = CVAgentRunning;
  agents.probePid = 99;
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_EQ(Lines("not handled, agent gone: " + stem), 1);
  EXPECT_EQ(LinesStartingWith("withdrew "), 1);  // the pending one, before the alert
  EXPECT_TRUE(opener->TEST_Reqs().empty());
}

// The agent seen holding the lock before the exit (99) is not the one that
// holds it after (100): the claims were the child's.
TEST_F(ChildExitTest, AnotherHolderThanTheOneSeenDoesNotSaveTheChildsClaims) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 99;
  platform.Tick();
  ASSERT_EQ(opener->TEST_AgentPid(), 99);
  std::string stem = Stem(0);
  ASSERT_TRUE(Claim(stem));
  platform.Tick();
  agents.probePid = 100;
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_EQ(Lines("not handled, agent gone: " + stem), 1);
  EXPECT_TRUE(opener->TEST_Reqs().empty());
}

// While the child lived, the lock was found held but its pid could not be
// read: the holder may be another agent, whose claims are followed on and
// whose pending requests get 15 s, without "A5" or a withdrawal. The same
// when the pid cannot be read at the exit either.
struct UnreadHolder {
  const char* name;
  int pidAtExit;  // the pid the lock names at the exit (0: unreadable)
};
void PrintTo(const UnreadHolder& c, std::ostream* os) { *os << c.name; }

class UnreadHolderTest : public ChildExitTest, public ::testing::WithParamInterface<UnreadHolder> {};

TEST_P(UnreadHolderTest, ClaimsAreFollowedOnAndPendingWait) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 0;
  platform.Tick();
  ASSERT_EQ(opener->TEST_Phase(), CVPhaseRunning);
  std::string claimed = Stem(0);
  ASSERT_TRUE(Claim(claimed));
  platform.Tick();
  ASSERT_TRUE(opener->TEST_Reqs()[0]->claimedAt);
  opener->openURLs({Doc("/d/b.corva")});
  std::string pending = Stem(1);
  agents.probePid = GetParam().pidAtExit;
  platform.Advance(1);
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(LinesStartingWith("withdrew "), 0);
  EXPECT_EQ(LinesStartingWith("not handled, agent gone: "), 0);
  ASSERT_EQ(opener->TEST_Reqs().size(), 2u);
  EXPECT_EQ(opener->TEST_Phase(), CVPhaseRunning);
  EXPECT_EQ(opener->TEST_ClaimBy(), platform.now + 15);
  EXPECT_EQ(QueueFiles(), (std::vector<std::string>{claimed + ".claimed", pending + ".json"}));
  // That agent handles both.
  ASSERT_TRUE(Handle(claimed));
  ASSERT_TRUE(Claim(pending));
  ASSERT_TRUE(Handle(pending));
  platform.Tick();
  EXPECT_TRUE(opener->TEST_Reqs().empty());
  EXPECT_TRUE(platform.alerts.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, UnreadHolderTest,
                         ::testing::Values(UnreadHolder{"ReadableAtExit", 99}, UnreadHolder{"UnreadableAtExit", 0}),
                         [](const auto& tp) { return std::string(tp.param.name); });

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
  EXPECT_EQ(opener->TEST_Child(), 4242);
  EXPECT_FALSE(opener->TEST_ChildWatched());
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
  o.openURLs({});  // an event without documents
  o.noDocumentLaunch();
  EXPECT_TRUE(o.TEST_GraceDone());
  EXPECT_EQ(agents.probes, 0);
  EXPECT_TRUE(o.TEST_Reqs().empty());
}

TEST_F(SupervisionTest, PlainLaunchWithRunningAgentPostsOneReopen) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 55;
  CVOpener& o = Launched();
  o.noDocumentLaunch();
  ASSERT_EQ(o.TEST_Reqs().size(), 1u);
  EXPECT_EQ(o.TEST_Reqs()[0]->kind, "reopen");
  EXPECT_EQ(o.TEST_ClaimBy(), platform.now + 15);
  EXPECT_EQ(o.TEST_Phase(), CVPhaseRunning);
  EXPECT_EQ(o.TEST_AgentPid(), 55);
  EXPECT_EQ(QueueFiles().size(), 1u);
}

TEST_F(SupervisionTest, PlainLaunchWithoutFolderRaisesA1) {
  ScopedEnv relative("CORVANTIS_AGENT_DIR", "relative");
  CVOpener& o = Launched();
  o.noDocumentLaunch();
  EXPECT_EQ(agents.probes, 0);
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{o.confErrorText(EINVAL)});
}


// Every alert raised because the agent cannot take the requests comes after
// their withdrawal: at the instant it is shown, no request of this process
// is queued and none is pending, so that no agent can open a tract the
// person is being told failed.
class AlertSiteTest;
struct AlertSite {
  const char* name;
  std::function<void(AlertSiteTest&)> arrange;  // before the open
  std::function<void(AlertSiteTest&)> provoke;  // after it
};
void PrintTo(const AlertSite& c, std::ostream* os) { *os << c.name; }

class AlertSiteTest : public SupervisionTest, public ::testing::WithParamInterface<AlertSite> {
 public:
  FakeAgents& Agents() { return agents; }
  FakePlatform& Platform() { return platform; }
  void OpenMore(const std::string& path) { opener->openURLs({Doc(path)}); }
  bool ClaimStem(size_t i) { return Claim(Stem(i)); }
};

TEST_P(AlertSiteTest, WithdrawalComesBeforeTheAlert) {
  std::vector<std::string> queuedAtAlert;
  bool pendingAtAlert = false;
  platform.onAlert = [&](size_t) {
    for (const std::string& name : QueueFiles()) {
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) queuedAtAlert.push_back(name);
    }
    pendingAtAlert = pendingAtAlert || opener->anyPending();
  };
  GetParam().arrange(*this);
  Launched();
  opener->openURLs({Doc("/d/a.corva"), Doc("/d/b.corva")});
  GetParam().provoke(*this);
  ASSERT_EQ(platform.alerts.size(), 1u);
  EXPECT_EQ(queuedAtAlert, std::vector<std::string>{});
  EXPECT_FALSE(pendingAtAlert);
  EXPECT_EQ(LinesStartingWith("withdrew "), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Sites, AlertSiteTest,
    ::testing::Values(
        AlertSite{"A1ProbeFails",
                  [](AlertSiteTest& s) {
                    auto& a = s.Agents();
                    a.probeResult = CVAgentUnknown;
                    a.probeErr = EACCES;
                  },
                  [](AlertSiteTest&) {}},
        AlertSite{"A2OldAgent", [](AlertSiteTest& s) { s.Agents().oldPid = 77; },
                  [](AlertSiteTest&) {}},
        AlertSite{"A3NoWayToStart", [](AlertSiteTest& s) { s.Agents().bundled.reset(); },
                  [](AlertSiteTest&) {}},
        AlertSite{"A4SpawnFails",
                  [](AlertSiteTest& s) {
                    auto& a = s.Agents();
                    a.spawnPid = -1;
                    a.spawnErr = ENOENT;
                  },
                  [](AlertSiteTest&) {}},
        AlertSite{"A5Deadline",
                  [](AlertSiteTest& s) {
                    auto& a = s.Agents();
                    a.probeResult = CVAgentRunning;
                    a.probePid = 10;
                  },
                  [](AlertSiteTest& s) { s.Platform().Tick(0.25, 61); }},
        AlertSite{"A5ChildExit",
                  [](AlertSiteTest& s) {
                    auto& a = s.Agents();
                    a.kickstartRc = 1;
                    a.spawnPid = 4242;
                  },
                  [](AlertSiteTest& s) {
                    s.Agents().probeResult = CVAgentAbsent;
                    s.Platform().DeliverExit(4242);
                  }},
        AlertSite{"A5AgentLost",
                  [](AlertSiteTest& s) {
                    auto& a = s.Agents();
                    a.probeResult = CVAgentRunning;
                    a.probePid = 77;
                  },
                  [](AlertSiteTest& s) {
                    s.OpenMore("/d/c.corva");
                    EXPECT_TRUE(s.ClaimStem(2));
                    s.Platform().Tick();
                    s.Agents().probeResult = CVAgentAbsent;
                    s.Platform().Tick();
                  }}),
    [](const auto& tp) { return std::string(tp.param.name); });

// The agent claims a pending request between the tick's sweep and the
// withdrawal that follows its lock found free: that claim was the lost
// agent's and is dropped with the others, not followed for 120 s after "A5".
TEST_F(SupervisionTest, ClaimJustBeforeTheLockIsFoundFreeIsLostToo) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 77;
  OpenOne();
  opener->openURLs({Doc("/d/b.corva")});
  std::string a = Stem(0), b = Stem(1);
  ASSERT_TRUE(Claim(a));
  platform.Tick();
  agents.probeResult = CVAgentAbsent;
  agents.onProbe = [&] { Claim(b); };
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_EQ(Lines("not handled, agent gone: " + a), 1);
  EXPECT_EQ(Lines("not handled, agent gone: " + b), 1);
  EXPECT_TRUE(opener->TEST_Reqs().empty());
  agents.onProbe = nullptr;
  platform.Tick();
  EXPECT_EQ(platform.terminations, 1);
}

// A withdrawal that cannot open the queue folder (descriptors used up) has
// withdrawn nothing: "A7" replaces "A1", and the request stays queued.
TEST_F(SupervisionTest, WithdrawalThatCannotOpenTheFolderGivesA7NotA1) {
  agents.probeResult = CVAgentUnknown;
  agents.probeErr = EMFILE;
  class NoQueueFolder : public cv::EnvWrapper {
   public:
    NoQueueFolder() : EnvWrapper(cv::Env::Default()) {}
    int OpenAt(int dirFd, const char* path, int flags, mode_t mode) override {
      if (std::string(path) == "open-requests") {
        errno = EMFILE;
        return -1;
      }
      return EnvWrapper::OpenAt(dirFd, path, flags, mode);
    }
  };
  agents.onProbe = [&] { UseEnv<NoQueueFolder>(); };
  OpenOne();
  std::string stem = QueueFiles().at(0);
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{A7(strerror(EMFILE))});
  EXPECT_EQ(LinesStartingWith("not withdrawn "), 1);
  EXPECT_TRUE(opener->TEST_Reqs().empty());
  EXPECT_EQ(stem.substr(stem.size() - 5), ".json");
  EXPECT_EQ(opener->TEST_Unwithdrawn(), 0u);
}

// An agent this process did not spawn, found running at the open (pid 77).
class LostAgentTest : public SupervisionTest {
 protected:
  double t0 = 0;
  void SetUp() override {
    agents.probeResult = CVAgentRunning;
    agents.probePid = 77;
    t0 = OpenOne();
  }
  // The agent claims the first request and the tick sees it.
  std::string ClaimFirst() {
    std::string stem = Stem(0);
    EXPECT_TRUE(Claim(stem));
    platform.Tick();
    EXPECT_TRUE(opener->TEST_Reqs()[0]->claimedAt);
    return stem;
  }
};

// While requests are followed every tick watches the lock: one probe, no
// pid read. The tick after the agent went says "A5"; the .claimed stays.
TEST_F(LostAgentTest, DeathAfterClaimingRaisesA5AtTheNextTick) {
  std::string stem = ClaimFirst();
  int probes = agents.probes, pidProbes = agents.pidProbes;
  platform.Tick(0.25, 8);
  EXPECT_EQ(agents.probes, probes + 8);
  EXPECT_EQ(agents.pidProbes, pidProbes);
  EXPECT_TRUE(platform.alerts.empty());

  agents.probeResult = CVAgentAbsent;
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_EQ(Lines("agent lock free: agent pid 77 gone"), 1);
  EXPECT_EQ(Lines("not handled, agent gone: " + stem), 1);
  EXPECT_TRUE(opener->TEST_Reqs().empty());
  EXPECT_EQ(QueueFiles(), std::vector<std::string>{stem + ".claimed"});
  EXPECT_TRUE(agents.kickstarts.empty());  // nothing to start for
  platform.Tick();
  EXPECT_EQ(platform.terminations, 1);
  EXPECT_EQ(platform.alerts.size(), 1u);
}

// A probe that cannot tell is no proof of a death.
TEST_F(LostAgentTest, UnknownProbeRaisesNothing) {
  ClaimFirst();
  agents.probeResult = CVAgentUnknown;
  agents.probeErr = EIO;
  platform.Tick(0.25, 20);
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(opener->TEST_Reqs().size(), 1u);
  EXPECT_EQ(opener->TEST_Phase(), CVPhaseRunning);
}

// The agent removes the .claimed right after the probe found its lock free
// (it handled the request and exited): handled, no alert.
TEST_F(LostAgentTest, ClaimHandledRightAfterTheProbeIsHandled) {
  std::string stem = ClaimFirst();
  agents.probeResult = CVAgentAbsent;
  agents.onProbe = [&] { Handle(stem); };
  platform.Tick();
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(Lines("handled " + stem), 1);
  EXPECT_EQ(Lines("not handled, agent gone: " + stem), 0);
  EXPECT_TRUE(opener->TEST_Reqs().empty());
  platform.Tick();
  EXPECT_EQ(platform.terminations, 1);
}

// The agent handles the last request and exits normally: the sweep sees it
// handled; no probe is needed and nothing is said.
TEST_F(LostAgentTest, AgentHandlingTheLastRequestAndExitingIsQuiet) {
  std::string stem = ClaimFirst();
  ASSERT_TRUE(Handle(stem));
  agents.probeResult = CVAgentAbsent;
  int probes = agents.probes;
  platform.Tick();
  EXPECT_EQ(agents.probes, probes);
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(platform.terminations, 1);
}

// Claimed and pending when the agent goes: the pending ones are withdrawn,
// then one "A5"; the agent is not started again for them.
TEST_F(LostAgentTest, PendingAndClaimedAreWithdrawnThenOneA5) {
  opener->openURLs({Doc("/d/b.corva")});
  std::string a = ClaimFirst(), b = Stem(1);
  agents.probeResult = CVAgentAbsent;
  platform.onAlert = [&](size_t) { EXPECT_EQ(Lines("withdrew " + b), 1); };
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_TRUE(opener->TEST_Reqs().empty());
  EXPECT_EQ(QueueFiles(), std::vector<std::string>{a + ".claimed"});
  EXPECT_TRUE(agents.kickstarts.empty());
}

// The agent held its lock at the probe and goes before claiming: the tick
// that finds the lock free starts it again at once, not after 15 s.
TEST_F(LostAgentTest, PendingWhenTheAgentGoesStartsItAgainOnce) {
  platform.Tick(0.25, 4);
  int probes = agents.probes;
  agents.probeResult = CVAgentAbsent;
  agents.kickstartRc = 0;
  platform.Tick();
  EXPECT_EQ(agents.probes, probes + 1);
  EXPECT_EQ(Lines("starting the agent again"), 1);
  EXPECT_EQ(agents.kickstarts.size(), 1u);
  EXPECT_EQ(opener->TEST_Phase(), CVPhaseStarting);
  EXPECT_EQ(opener->TEST_ClaimBy(), platform.now + 90);
  EXPECT_TRUE(platform.alerts.empty());
  ASSERT_EQ(opener->TEST_Reqs().size(), 1u);
  EXPECT_EQ(QueueFiles().size(), 1u);

  // The new agent takes its lock, then goes too: no third start; the
  // claim deadline ends it with "A5".
  agents.probeResult = CVAgentRunning;
  agents.probePid = 78;
  platform.Tick();
  ASSERT_EQ(opener->TEST_Phase(), CVPhaseRunning);
  double claimBy = *opener->TEST_ClaimBy();
  agents.probeResult = CVAgentAbsent;
  platform.Tick();
  EXPECT_EQ(agents.kickstarts.size(), 1u);
  EXPECT_TRUE(platform.alerts.empty());
  while (platform.now < claimBy) platform.Tick();
  EXPECT_TRUE(platform.alerts.empty());
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_EQ(agents.kickstarts.size(), 1u);
  EXPECT_TRUE(QueueFiles().empty());
}

// The start again goes the whole way: kickstart, then the scan (leaving
// out the agent that just went) and the spawn.
TEST_F(LostAgentTest, StartingAgainScansWithoutTheLostAgentAndSpawns) {
  agents.probeResult = CVAgentAbsent;
  agents.spawnPid = 4242;
  platform.Tick();
  EXPECT_EQ(agents.kickstarts.size(), 1u);
  EXPECT_EQ(agents.scans, std::vector<pid_t>{77});
  EXPECT_EQ(opener->TEST_Child(), 4242);
  EXPECT_TRUE(platform.Watching(4242));
  EXPECT_TRUE(platform.alerts.empty());
}

// ... with its own alerts when it cannot: here no agent copy was found
// (the running agent needed none until it went).
class LostAgentWithoutCopyTest : public LostAgentTest {
 protected:
  void SetUp() override {
    agents.bundled.reset();
    LostAgentTest::SetUp();
  }
};

TEST_F(LostAgentWithoutCopyTest, StartingAgainWithoutAnyWayRaisesA3AfterWithdrawal) {
  ASSERT_FALSE(opener->TEST_BundledAgent());
  agents.probeResult = CVAgentAbsent;
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA3});
  EXPECT_TRUE(QueueFiles().empty());
  EXPECT_TRUE(opener->TEST_Reqs().empty());
}

// An agent that is being started has no lock yet: a free lock then is no
// loss.
TEST_F(SupervisionTest, FreeLockWhileStartingIsNoLoss) {
  agents.kickstartRc = 0;
  OpenOne();
  platform.Tick(0.25, 20);
  EXPECT_EQ(agents.kickstarts.size(), 1u);
  EXPECT_EQ(Lines("starting the agent again"), 0);
  EXPECT_TRUE(platform.alerts.empty());
}

}  // namespace
}  // namespace cvtest
