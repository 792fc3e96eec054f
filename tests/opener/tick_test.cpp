// The tick loop: following requests, deadlines, the handoff window, the
// no-document grace and quitting, with exact instants.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "opener_fixture.h"

namespace cvtest {
namespace {

using TickTest = OpenerTest;

TEST_F(TickTest, RequestGoesQueuedClaimedGoneThenQuit) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  std::string stem = Stem(0);
  EXPECT_EQ(platform.ValidTimers(), 1);
  EXPECT_EQ(platform.LastTimerInterval(), 0.25);

  platform.Tick();
  EXPECT_FALSE(o.TEST_Reqs()[0]->claimedAt);

  ASSERT_TRUE(Claim(stem));
  platform.Tick();
  double claimedAt = platform.now;
  EXPECT_EQ(o.TEST_Reqs()[0]->claimedAt, claimedAt);
  platform.Tick(0.25, 3);
  EXPECT_EQ(o.TEST_Reqs()[0]->claimedAt, claimedAt);  // stamped once
  EXPECT_EQ(Lines("claimed " + stem), 1);

  ASSERT_TRUE(Handle(stem));
  platform.Tick();
  EXPECT_EQ(Lines("handled " + stem), 1);
  EXPECT_TRUE(o.TEST_Reqs().empty());
  // No handover: quits in the very tick the table empties, yielding nothing.
  EXPECT_EQ(platform.terminations, 1);
  EXPECT_EQ(Lines("done"), 1);
  EXPECT_EQ(platform.ValidTimers(), 0);
  EXPECT_TRUE(platform.yieldedToBundle.empty());
  EXPECT_TRUE(platform.alerts.empty());
  platform.Tick();
  EXPECT_EQ(platform.terminations, 1);
}

TEST_F(TickTest, RunningAgentDeadlineIsFifteenSecondsExactly) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  double t0 = platform.now;
  o.openURLs({Doc("/d/plan.corva")});
  std::string stem = Stem(0);
  platform.Tick(0.25, 60);  // now == t0 + 15: not yet past
  EXPECT_EQ(platform.now, t0 + 15);
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(o.TEST_Reqs().size(), 1u);
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_EQ(Lines("withdrew " + stem), 1);
  EXPECT_TRUE(QueueFiles().empty());
  EXPECT_FALSE(o.TEST_ClaimBy());
  EXPECT_EQ(platform.terminations, 0);  // the withdrawing tick ends there
  platform.Tick();
  EXPECT_EQ(platform.terminations, 1);
}

TEST_F(TickTest, StartingAgentDeadlineIsNinetySecondsExactly) {
  agents.kickstartRc = 0;
  CVOpener& o = Launched();
  double t0 = platform.now;
  o.openURLs({Doc("/d/plan.corva")});
  platform.Tick(0.25, 360);
  EXPECT_EQ(platform.now, t0 + 90);
  EXPECT_TRUE(platform.alerts.empty());
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
}

struct LockCase {
  const char* name;
  int ticksBeforeLock;  // the agent takes its lock after this many ticks
  double claimBy;       // seconds after the open
};
void PrintTo(const LockCase& c, std::ostream* os) { *os << c.name; }


class DeadlineRaceTest : public OpenerTest, public ::testing::WithParamInterface<LockCase> {};

// Started agent (90 s) that takes its lock later (15 s from then): the
// later of the two wins.
TEST_P(DeadlineRaceTest, LaterDeadlineWins) {
  agents.kickstartRc = 0;
  CVOpener& o = Launched();
  double t0 = platform.now;
  o.openURLs({Doc("/d/plan.corva")});
  platform.Tick(0.25, GetParam().ticksBeforeLock);
  EXPECT_EQ(o.TEST_Phase(), CVPhaseStarting);
  agents.probeResult = CVAgentRunning;
  agents.probePid = 31;
  platform.Tick();
  EXPECT_EQ(o.TEST_Phase(), CVPhaseRunning);
  EXPECT_EQ(o.TEST_AgentPid(), 31);
  EXPECT_EQ(o.TEST_ClaimBy(), t0 + GetParam().claimBy);
  // Once the pid is known the tick stops reading it; it only watches the
  // lock (one probe a tick) while the request is pending.
  int probes = agents.probes;
  int pidProbes = agents.pidProbes;
  platform.Tick(0.25, 4);
  EXPECT_EQ(agents.pidProbes, pidProbes);
  EXPECT_EQ(agents.probes, probes + 4);
}

INSTANTIATE_TEST_SUITE_P(Cases, DeadlineRaceTest,
                         ::testing::Values(LockCase{"EarlyLockKeepsNinety", 39, 90},
                                           LockCase{"LockAtSeventyFiveKeepsNinety", 299, 90},
                                           LockCase{"LateLockGetsFifteenMore", 319, 95}),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(TickTest, RunningWithoutPidProbesUntilOneIsRead) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 0;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  int probes = agents.pidProbes;
  platform.Tick(0.25, 3);
  EXPECT_EQ(agents.pidProbes, probes + 3);
  agents.probePid = 808;
  platform.Tick();
  EXPECT_EQ(o.TEST_AgentPid(), 808);
  platform.Tick();
  EXPECT_EQ(agents.pidProbes, probes + 4);
}

TEST_F(TickTest, ClaimAgeOf120sStaysAnd120_25sIsDropped) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  std::string stem = Stem(0);
  ASSERT_TRUE(Claim(stem));
  platform.Tick();
  double claimedAt = platform.now;
  ASSERT_EQ(o.TEST_Reqs()[0]->claimedAt, claimedAt);
  platform.Tick(0.25, 480);
  EXPECT_EQ(platform.now, claimedAt + 120);
  EXPECT_EQ(o.TEST_Reqs().size(), 1u);
  EXPECT_EQ(platform.terminations, 0);
  platform.Tick();
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_EQ(Lines("still being handled, stop waiting: " + stem), 1);
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(QueueFiles(), std::vector<std::string>{stem + ".claimed"});  // left alone
  EXPECT_EQ(platform.terminations, 1);
}

struct LateClaimCase {
  const char* name;
  bool agentHandles;  // else the requests stay claimed until dropped
};
void PrintTo(const LateClaimCase& c, std::ostream* os) { *os << c.name; }

// The probe's hook runs between the sweep and the claim-deadline test: the
// probe is the one call the tick makes there.
class ClaimedAtDeadlineTest : public OpenerTest, public ::testing::WithParamInterface<LateClaimCase> {
 protected:
  FakeAgents hooked;
};

// The agent claims every pending request after the deadline tick's sweep
// read them queued and before the withdrawal: nothing is withdrawn, so no
// "A5"; the records are then followed as claimed from the withdrawal's stamp.
TEST_P(ClaimedAtDeadlineTest, NoAlertAndTheRecordsAreFollowedAsClaimed) {
  // A running agent whose lock gives no pid: every busy tick probes.
  hooked.probeResult = CVAgentRunning;
  hooked.probePid = 0;
  opener = std::make_unique<CVOpener>(platform, hooked);
  opener->applicationDidFinishLaunching();
  CVOpener& o = *opener;
  double t0 = platform.now;
  o.openURLs({Doc("/d/a.corva"), Doc("/d/b.corva")});
  ASSERT_EQ(o.TEST_Reqs().size(), 2u);
  ASSERT_EQ(o.TEST_ClaimBy(), t0 + 15);
  std::vector<std::string> stems = {Stem(0), Stem(1)};
  platform.Tick(0.25, 60);
  ASSERT_TRUE(platform.alerts.empty());

  int sweptQueued = 0;
  hooked.onProbe = [&] {
    for (size_t i = 0; i < o.TEST_Reqs().size(); ++i) {
      sweptQueued += !o.TEST_Reqs()[i]->claimedAt;
      EXPECT_TRUE(Claim(Stem(i)));
    }
  };
  platform.Tick();  // t0 + 15.25: the deadline has passed
  hooked.onProbe = nullptr;
  double deadlineTick = platform.now;
  ASSERT_EQ(sweptQueued, 2);
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(LinesStartingWith("withdrew "), 0);
  ASSERT_EQ(o.TEST_Reqs().size(), 2u);
  for (const auto& r : o.TEST_Reqs()) EXPECT_EQ(r->claimedAt, deadlineTick);
  EXPECT_FALSE(o.TEST_ClaimBy());
  EXPECT_FALSE(o.TEST_HandoffUntil());
  EXPECT_EQ(platform.terminations, 0);
  EXPECT_EQ(QueueFiles(), (std::vector<std::string>{stems[0] + ".claimed", stems[1] + ".claimed"}));

  platform.Tick(0.25, 4);
  for (const auto& r : o.TEST_Reqs()) EXPECT_EQ(r->claimedAt, deadlineTick);  // not stamped again
  EXPECT_TRUE(platform.alerts.empty());

  if (GetParam().agentHandles) {
    ASSERT_TRUE(Handle(stems[0]));
    ASSERT_TRUE(Handle(stems[1]));
    platform.Tick();
    EXPECT_EQ(Lines("handled " + stems[0]), 1);
    EXPECT_EQ(Lines("handled " + stems[1]), 1);
  } else {
    platform.Tick(0.25, 480 - 4);
    EXPECT_EQ(platform.now, deadlineTick + 120);
    EXPECT_EQ(o.TEST_Reqs().size(), 2u);
    platform.Tick();
    EXPECT_EQ(Lines("still being handled, stop waiting: " + stems[0]), 1);
    EXPECT_EQ(Lines("still being handled, stop waiting: " + stems[1]), 1);
    EXPECT_EQ(QueueFiles().size(), 2u);  // left alone
  }
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(platform.terminations, 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, ClaimedAtDeadlineTest,
                         ::testing::Values(LateClaimCase{"ThenHandled", true},
                                           LateClaimCase{"ThenDroppedAfter120s", false}),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(TickTest, TicksDuringAlertDoNothing) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  std::string stem = Stem(0);
  ASSERT_TRUE(Claim(stem));
  platform.handover = true;
  int probes = agents.probes;
  platform.onAlert = [&](size_t) {
    platform.Tick(0.25, 100);  // past the deadline, too
  };
  o.alert("busy", "A6");
  EXPECT_FALSE(o.TEST_Reqs()[0]->claimedAt);
  EXPECT_EQ(Lines("claimed " + stem), 0);
  EXPECT_EQ(agents.probes, probes);
  EXPECT_EQ(platform.alerts.size(), 1u);
  EXPECT_TRUE(platform.yieldedToBundle.empty());
  // The first tick after it catches up.
  platform.Tick();
  EXPECT_EQ(o.TEST_Reqs()[0]->claimedAt, platform.now);
}

class GraceTest : public OpenerTest {};

TEST_F(GraceTest, PlainLaunchRunsOnceAfterHalfASecond) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  double t0 = platform.now;
  EXPECT_EQ(o.TEST_LaunchedAt(), t0);
  platform.Tick();
  EXPECT_FALSE(o.TEST_GraceDone());
  EXPECT_EQ(agents.probes, 0);
  EXPECT_TRUE(o.TEST_Reqs().empty());
  platform.Tick();  // t0 + 0.5
  EXPECT_TRUE(o.TEST_GraceDone());
  EXPECT_EQ(agents.probes, 1);
  ASSERT_EQ(o.TEST_Reqs().size(), 1u);
  EXPECT_EQ(o.TEST_Reqs()[0]->kind, "reopen");
  platform.Tick(0.25, 8);
  EXPECT_EQ(LinesStartingWith("request "), 1);
  EXPECT_EQ(agents.pidProbes, 1);  // later ticks only watch the lock
}

TEST_F(GraceTest, EventBeforeGraceMeansNoPlainLaunch) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  o.openURLs({Web("https://example.com/x")});  // rejected, but an event
  ASSERT_EQ(platform.alerts.size(), 1u);
  platform.Tick();
  EXPECT_TRUE(o.TEST_GraceDone());
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_EQ(agents.probes, 0);
  EXPECT_EQ(platform.terminations, 1);  // nothing to do
}

TEST_F(GraceTest, PlainLaunchStartingAnAgentWaitsForIt) {
  ScriptSpawn(600);
  CVOpener& o = Launched();
  platform.Tick(0.25, 2);
  EXPECT_EQ(o.TEST_Child(), 600);
  EXPECT_TRUE(o.TEST_Reqs().empty());
  // Nothing posted and a child alive: the timer stops, the opener stays.
  platform.Tick();
  EXPECT_EQ(platform.ValidTimers(), 0);
  EXPECT_EQ(platform.terminations, 0);
}

struct HandoffCase {
  const char* name;
  bool handover;
  int ticksToQuit;  // after the tick in which the table empties
};
void PrintTo(const HandoffCase& c, std::ostream* os) { *os << c.name; }


class HandoffTest : public OpenerTest, public ::testing::WithParamInterface<HandoffCase> {};

TEST_P(HandoffTest, StaysForTheWindowYieldingEachTick) {
  platform.handover = GetParam().handover;
  platform.runningApps = {10};
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  ASSERT_TRUE(Claim(Stem(0)));
  ASSERT_TRUE(Handle(Stem(0)));
  platform.Tick();  // the table empties here
  double emptiedAt = platform.now;
  EXPECT_EQ(o.TEST_HandoffUntil().value_or(0), GetParam().handover ? emptiedAt + 5 : 0);
  size_t yields = platform.yieldedToBundle.size();
  EXPECT_EQ(yields, 0u);  // the tick that empties the table was not busy
  int n = 0;
  while (platform.terminations == 0 && n < 100) {
    platform.Tick();
    ++n;
  }
  EXPECT_EQ(n, GetParam().ticksToQuit);
  EXPECT_EQ(platform.terminations, 1);
  // Yielded on every busy tick: to the agent and to the browser.
  EXPECT_EQ(platform.yieldedToBundle.size(), yields + (GetParam().handover ? 19 : 0));
  for (const auto& b : platform.yieldedToBundle) EXPECT_EQ(b, "com.google.Chrome");
  EXPECT_EQ(platform.yieldedToPid.size(), platform.yieldedToBundle.size());
}

INSTANTIATE_TEST_SUITE_P(Cases, HandoffTest,
                         ::testing::Values(HandoffCase{"Available", true, 20},
                                           HandoffCase{"Unavailable", false, 0}),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(TickTest, NewRequestDuringHandoffClosesIt) {
  platform.handover = true;
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/a.corva")});
  ASSERT_TRUE(Claim(Stem(0)));
  ASSERT_TRUE(Handle(Stem(0)));
  platform.Tick();
  ASSERT_TRUE(o.TEST_HandoffUntil());
  o.openURLs({Doc("/d/b.corva")});
  platform.Tick();
  EXPECT_FALSE(o.TEST_HandoffUntil());
}

TEST_F(TickTest, RequestPostedDuringHandoffGetsAWindowOfItsOwn) {
  platform.handover = true;
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/a.corva")});
  ASSERT_TRUE(Claim(Stem(0)));
  ASSERT_TRUE(Handle(Stem(0)));
  platform.Tick();
  ASSERT_EQ(o.TEST_HandoffUntil(), platform.now + 5);
  platform.Tick(0.25, 4);
  o.openURLs({Doc("/d/b.corva")});
  std::string stem = Stem(0);
  platform.Tick();
  EXPECT_FALSE(o.TEST_HandoffUntil());
  ASSERT_TRUE(Claim(stem));
  ASSERT_TRUE(Handle(stem));
  platform.Tick();  // b leaves here
  EXPECT_EQ(o.TEST_HandoffUntil(), platform.now + 5);
  EXPECT_EQ(platform.terminations, 0);
  int n = 0;
  while (platform.terminations == 0 && n < 100) {
    platform.Tick();
    ++n;
  }
  EXPECT_EQ(n, 20);
  EXPECT_EQ(platform.terminations, 1);
  EXPECT_TRUE(platform.alerts.empty());
}

// A started agent's 90 s deadline must not outlive its requests: a request
// posted after the table emptied gets the running agent's 15 s.
TEST_F(TickTest, EmptyTableClearsTheClaimDeadline) {
  platform.handover = true;
  agents.kickstartRc = 0;
  CVOpener& o = Launched();
  double t0 = platform.now;
  o.openURLs({Doc("/d/a.corva")});
  ASSERT_EQ(o.TEST_ClaimBy(), t0 + 90);
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  platform.Tick();
  ASSERT_EQ(o.TEST_Phase(), CVPhaseRunning);
  ASSERT_TRUE(Claim(Stem(0)));
  ASSERT_TRUE(Handle(Stem(0)));
  platform.Tick();
  ASSERT_TRUE(o.TEST_Reqs().empty());
  EXPECT_FALSE(o.TEST_ClaimBy());

  platform.Tick();  // inside the handoff window
  double posted = platform.now;
  o.openURLs({Doc("/d/b.corva")});
  EXPECT_EQ(o.TEST_ClaimBy(), posted + 15);
  platform.Tick(0.25, 60);
  EXPECT_TRUE(platform.alerts.empty());
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
}

TEST_F(TickTest, TimerStopsWhileChildLivesAndItsExitQuits) {
  ScriptSpawn(4242);
  platform.exitStatus[4242] = 0;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  ASSERT_TRUE(Claim(Stem(0)));
  ASSERT_TRUE(Handle(Stem(0)));
  platform.Tick();
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_FALSE(o.TEST_Ticking());
  EXPECT_EQ(platform.ValidTimers(), 0);
  platform.Tick(0.25, 40);
  EXPECT_EQ(platform.terminations, 0);

  int timers = platform.TimersCreated();
  ASSERT_TRUE(platform.DeliverExit(4242));
  EXPECT_EQ(Lines("agent pid 4242 exited (status 0)"), 1);
  EXPECT_EQ(platform.TimersCreated(), timers + 1);
  EXPECT_EQ(platform.ValidTimers(), 1);
  EXPECT_EQ(platform.terminations, 0);
  platform.Tick();
  EXPECT_EQ(platform.terminations, 1);
}

// The desktop's startup feedback ends once, when the launch's requests are
// handled and its alerts dismissed: before quitting, before the handoff
// window is over never, and while the opener stays as its agent's parent.
TEST_F(TickTest, StartupFeedbackEndsOnceWhenNothingIsLeftToFollow) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  platform.Tick();
  ASSERT_TRUE(Claim(Stem(0)));
  platform.Tick();
  EXPECT_TRUE(platform.startupEnds.empty()) << "a request is still followed";
  ASSERT_TRUE(Handle(Stem(0)));
  platform.Tick();
  EXPECT_EQ(platform.startupEnds, std::vector<int>{0}) << "once, before terminating";
  EXPECT_EQ(platform.terminations, 1);
}

TEST_F(TickTest, StartupFeedbackEndsAfterTheHandoffWindow) {
  platform.handover = true;
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/a.corva")});
  ASSERT_TRUE(Claim(Stem(0)));
  ASSERT_TRUE(Handle(Stem(0)));
  platform.Tick();
  platform.Tick(0.25, 19);
  EXPECT_TRUE(platform.startupEnds.empty());
  platform.Tick();
  EXPECT_EQ(platform.startupEnds, std::vector<int>{0});
  EXPECT_EQ(platform.terminations, 1);
}

TEST_F(TickTest, StartupFeedbackEndsWhileTheOpenerWaitsForItsAgent) {
  ScriptSpawn(4242);
  platform.exitStatus[4242] = 0;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  ASSERT_TRUE(Claim(Stem(0)));
  platform.Tick();
  EXPECT_TRUE(platform.startupEnds.empty());
  ASSERT_TRUE(Handle(Stem(0)));
  platform.Tick();
  EXPECT_FALSE(o.TEST_Ticking());
  EXPECT_EQ(platform.startupEnds, std::vector<int>{0});
  ASSERT_TRUE(platform.DeliverExit(4242));
  platform.Tick();
  EXPECT_EQ(platform.terminations, 1);
  EXPECT_EQ(platform.startupEnds, std::vector<int>{0}) << "not a second time";
}

TEST_F(TickTest, QuitHappensOnce) {
  CVOpener& o = Launched();
  o.quit();
  o.quit();
  EXPECT_EQ(Lines("done"), 1);
  EXPECT_EQ(platform.terminations, 1);
  EXPECT_FALSE(o.TEST_Ticking());
  EXPECT_EQ(platform.ValidTimers(), 0);
  o.startTick();
  EXPECT_EQ(platform.ValidTimers(), 0);
  o.tick();
  EXPECT_EQ(platform.terminations, 1);
}

TEST_F(TickTest, StartTickKeepsOneTimer) {
  CVOpener& o = Launched();
  o.startTick();
  o.startTick();
  EXPECT_EQ(platform.TimersCreated(), 1);
}

TEST_F(TickTest, UnusableFolderDropsRecordsAsHandled) {
  CVOpener& o = Launched();
  o.openURLs({});  // an event without documents: no plain launch
  ASSERT_TRUE(o.post("open", std::string("/d/a.corva")));
  std::string stem = Stem(0);
  o.TEST_SetCfd(-1);
  platform.Tick();
  EXPECT_EQ(Lines("handled " + stem), 1);
  EXPECT_EQ(agents.probes, 0);
  EXPECT_EQ(platform.terminations, 1);
}


// The queue folder is moved away, or replaced, under a pending request:
// nothing says the request was handled. It is followed on (one line says
// why its state cannot be read), and at the claim deadline the withdrawal
// cannot reach it: "A7" instead of "A5", whose advice to open the tract
// again would open it twice once the folder is back; the file stays.
struct LostFolder {
  const char* name;
  std::function<void(const std::string& queue, const std::string& moved)> replace;
  std::string reason;
};
void PrintTo(const LostFolder& c, std::ostream* os) { *os << c.name; }

class LostFolderTest : public OpenerTest, public ::testing::WithParamInterface<LostFolder> {};

TEST_P(LostFolderTest, PendingRequestIsNeverHandledAndA7AtTheDeadline) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  std::string stem = Stem(0);
  std::string moved = settings + "/open-requests.old";
  ASSERT_EQ(std::rename(Queue().c_str(), moved.c_str()), 0);
  GetParam().replace(Queue(), moved);
  platform.Tick(0.25, 60);
  EXPECT_EQ(Lines("handled " + stem), 0);
  EXPECT_EQ(LinesStartingWith("cannot read the state of " + stem), 1);
  ASSERT_EQ(o.TEST_Reqs().size(), 1u);
  EXPECT_TRUE(platform.alerts.empty());
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{A7(GetParam().reason)});
  EXPECT_EQ(LinesStartingWith("not withdrawn " + stem), 1);
  EXPECT_EQ(LinesStartingWith("withdrew "), 0);
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_EQ(ListDir(moved), std::vector<std::string>{stem + ".json"});
  platform.Tick();
  EXPECT_EQ(platform.terminations, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LostFolderTest,
    ::testing::Values(LostFolder{"Moved", [](const std::string&, const std::string&) {}, kMoved},
                      LostFolder{"NewFolder", [](const std::string& q, const std::string&) { mkdir(q.c_str(), 0700); },
                                 kMoved},
                      LostFolder{"File", [](const std::string& q, const std::string&) { WriteFile(q, ""); },
                                 strerror(ENOTDIR)},
                      LostFolder{"Link",
                                 [](const std::string& q, const std::string& m) { symlink(m.c_str(), q.c_str()); },
                                 strerror(ENOTDIR)}),
    [](const auto& tp) { return std::string(tp.param.name); });

// The folder comes back before the deadline: the request reads queued again
// and is withdrawn as usual ("A5"); a claimed request whose folder cannot
// be read is followed on, not taken for handled.
TEST_F(TickTest, FolderBackInPlaceIsFollowedAsBefore) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/a.corva"), Doc("/d/b.corva")});
  std::string a = Stem(0), b = Stem(1);
  ASSERT_TRUE(Claim(a));
  platform.Tick();
  std::string moved = settings + "/open-requests.old";
  ASSERT_EQ(std::rename(Queue().c_str(), moved.c_str()), 0);
  platform.Tick(0.25, 8);
  EXPECT_EQ(LinesStartingWith("handled "), 0);
  ASSERT_EQ(o.TEST_Reqs().size(), 2u);
  ASSERT_EQ(std::rename(moved.c_str(), Queue().c_str()), 0);
  platform.Tick(0.25, 51);  // 15 s since the open
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_FALSE(o.TEST_Reqs()[1]->unreadable);
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_EQ(Lines("withdrew " + b), 1);
  EXPECT_EQ(QueueFiles(), std::vector<std::string>{a + ".claimed"});
}

struct WallJump {
  const char* name;
  double seconds;  // the wall clock is stepped by this, twice
};
void PrintTo(const WallJump& c, std::ostream* os) { *os << c.name; }

class WallClockTest : public OpenerTest, public ::testing::WithParamInterface<WallJump> {};

// The controller's instants come from the monotonic clock: a wall clock
// stepped an hour back or forward moves neither the no-document grace nor
// the claim deadline. Only the request's "created" shows the wall clock.
TEST_P(WallClockTest, StepsOfTheWallClockChangeNothing) {
  // The request's "created" reads the platform's wall clock.
  class PlatformWall : public cv::EnvWrapper {
   public:
    explicit PlatformWall(const FakePlatform* platform) : EnvWrapper(cv::Env::Default()), platform_(platform) {}
    double WallClock() override { return platform_->wall; }

   private:
    const FakePlatform* platform_;
  };
  UseEnv<PlatformWall>(&platform);
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  platform.Tick();
  platform.JumpWall(GetParam().seconds);
  EXPECT_TRUE(o.TEST_Reqs().empty());
  platform.Tick();  // 0.5 s after launching: the plain launch, exactly now
  ASSERT_EQ(o.TEST_Reqs().size(), 1u);
  double posted = platform.now;
  EXPECT_EQ(o.TEST_ClaimBy(), posted + 15);
  std::string stem = Stem(0);
  auto doc = ReadFile(Queue() + "/" + stem + ".json");
  ASSERT_TRUE(doc);
  size_t at = doc->find("\"created\":");
  ASSERT_NE(at, std::string::npos);
  EXPECT_NEAR(std::strtod(doc->c_str() + at + 10, nullptr), platform.wall, 1e-3);

  platform.Tick(0.25, 30);
  platform.JumpWall(GetParam().seconds);
  platform.Tick(0.25, 30);
  EXPECT_EQ(platform.now, posted + 15);
  EXPECT_TRUE(platform.alerts.empty());
  platform.Tick();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kA5});
  EXPECT_EQ(Lines("withdrew " + stem), 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, WallClockTest,
                         ::testing::Values(WallJump{"Steady", 0}, WallJump{"HourBack", -3600},
                                           WallJump{"HourForward", 3600}),
                         [](const auto& tp) { return std::string(tp.param.name); });

}  // namespace
}  // namespace cvtest
