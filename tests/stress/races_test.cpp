// Races between real processes on the same files: a withdrawal against a
// claim of the same request, many openers against one agent, and an agent
// taking its lock while probes keep arriving.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "agent/probe.h"
#include "queue/request.h"
#include "stress_rig.h"

namespace {

using cvstress::Rig;

// Busy-waits about `spins` rounds: a jitter that moves one side of a race
// by a few microseconds.
void Spin(int spins) {
  for (int i = 0; i < spins; ++i) asm volatile("");
}

// Waits until `round` reaches `i`: spins briefly, then yields, so that two
// sides on one busy core still take turns.
void AwaitRound(const std::atomic<int>& round, int i) {
  for (int spins = 0; round.load() != i; ++spins) {
    if (spins > 2000) sched_yield();
  }
}

// The state the race's two processes share.
struct RaceBoard {
  std::atomic<int> posted{0};    // iteration whose request is in `stem`
  std::atomic<int> ready{0};     // iteration the claimer is waiting to start
  std::atomic<int> go{0};        // iteration both sides start now
  std::atomic<int> done{0};      // iteration the claimer finished
  std::atomic<int> claimErr{0};  // 0: claimed; else the errno of renameat2
  std::atomic<int> jitter{0};    // spins the claimer waits after `go`
  char stem[64];
};

// The claimer child: the agent's claim, a rename that never replaces.
[[noreturn]] void Claimer(RaceBoard* board, const std::string& queueDir, int iterations) {
  int dir = open(queueDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) _exit(2);
  for (int i = 1; i <= iterations; ++i) {
    AwaitRound(board->posted, i);
    std::string stem = board->stem;
    std::string from = stem + ".json", to = stem + ".claimed";
    board->ready.store(i);
    AwaitRound(board->go, i);
    Spin(board->jitter.load());
    int rc = renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE);
    board->claimErr.store(rc == 0 ? 0 : errno);
    board->done.store(i);
  }
  _exit(0);
}

TEST(Races, WithdrawalAgainstClaimHasExactlyOneWinner) {
  auto rnd = cvstress::SeededRandom("withdraw vs claim");
  Rig rig;
  int conf = open(rig.Settings().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(conf, 0);
  ASSERT_TRUE(CVWriteRequest(conf, "reopen", std::nullopt)) << strerror(errno);  // creates the queue folder
  for (const std::string& n : rig.Queue()) unlink((rig.QueueDir() + "/" + n).c_str());
  const int iterations = cvstress::Scaled(3000);

  void* mem = mmap(nullptr, sizeof(RaceBoard), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  auto* board = new (mem) RaceBoard;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) Claimer(board, rig.QueueDir(), iterations);

  // Each side waits a random number of spins before its move. Where one
  // side's call is much slower (a sanitizer build, a loaded machine) the
  // other would always win: every 200 rounds without a win for a side, the
  // other side's waits may grow twice as long.
  int withdrawSpan = 3000, claimSpan = 3000;
  std::string tract = rig.Tract("race.corva");
  int withdrawals = 0, claims = 0, faults = 0;
  for (int i = 1; i <= iterations && faults < 10; ++i) {
    if (i % 200 == 0 && withdrawals == 0 && claimSpan < (1 << 24)) claimSpan *= 2;
    if (i % 200 == 0 && claims == 0 && withdrawSpan < (1 << 24)) withdrawSpan *= 2;
    auto stem = CVWriteRequest(conf, "open", tract);
    ASSERT_TRUE(stem) << strerror(errno);
    snprintf(board->stem, sizeof board->stem, "%s", stem->c_str());
    int mine = std::uniform_int_distribution<int>(0, withdrawSpan)(rnd);
    board->jitter.store(std::uniform_int_distribution<int>(0, claimSpan)(rnd));
    board->posted.store(i);
    AwaitRound(board->ready, i);
    board->go.store(i);
    Spin(mine);
    int answer = CVWithdrawRequest(conf, *stem);
    AwaitRound(board->done, i);
    int claimErr = board->claimErr.load();
    bool claimed = claimErr == 0;
    bool withdrawn = answer == CVRequestQueued;
    struct stat st;
    bool jsonLeft = fstatat(conf, ("open-requests/" + *stem + ".json").c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    bool claimedLeft = fstatat(conf, ("open-requests/" + *stem + ".claimed").c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    bool sound = claimed != withdrawn && !jsonLeft && claimedLeft == claimed &&
                 (claimed ? answer == CVRequestClaimed : claimErr == ENOENT);
    if (!sound) {
      ++faults;
      ADD_FAILURE() << "iteration " << i << ": withdraw answered " << answer << ", claim " << strerror(claimErr)
                    << ", .json left " << jsonLeft << ", .claimed left " << claimedLeft;
    }
    withdrawals += withdrawn;
    claims += claimed;
    if (claimedLeft) unlinkat(conf, ("open-requests/" + *stem + ".claimed").c_str(), 0);  // the agent's handling
  }
  if (faults) kill(child, SIGKILL);
  int st = 0;
  waitpid(child, &st, 0);
  close(conf);
  fprintf(stderr, "withdraw vs claim: %d iterations, withdrawal won %d, claim won %d (spans %d, %d)\n", iterations,
          withdrawals, claims, withdrawSpan, claimSpan);
  RecordProperty("iterations", iterations);
  EXPECT_EQ(withdrawals + claims, iterations);
  // Both sides must have won sometimes, or the two never really raced.
  EXPECT_GT(withdrawals, 0);
  EXPECT_GT(claims, 0);
  munmap(mem, sizeof(RaceBoard));
}

TEST(Races, WithdrawalAgainstTheRealAgentHasExactlyOneWinner) {
  auto rnd = cvstress::SeededRandom("withdraw vs agent");
  Rig rig;
  bool locked = false;
  // The agent claims 2 ms after it sees a request; the withdrawal comes
  // 0 to 4 ms after the write, so either may be first.
  auto agent = rig.StartAgent({{"CORVANTIS_AGENT_CLAIM_DELAY", "0.002"}}, &locked);
  ASSERT_TRUE(locked) << agent->Err();
  int conf = open(rig.Settings().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(conf, 0);
  const int iterations = cvstress::Scaled(400);
  std::uniform_int_distribution<int> wait(0, 4000);
  std::vector<std::pair<std::string, bool>> outcome;  // tract, withdrawn
  for (int i = 0; i < iterations; ++i) {
    std::string tract = rig.Tract("w" + std::to_string(i) + ".corva");
    auto stem = CVWriteRequest(conf, "open", tract);
    ASSERT_TRUE(stem) << strerror(errno);
    std::this_thread::sleep_for(std::chrono::microseconds(wait(rnd)));
    outcome.emplace_back(tract, CVWithdrawRequest(conf, *stem) == CVRequestQueued);
  }
  close(conf);
  ASSERT_TRUE(cvtest::WaitUntil([&] { return rig.Queue(".json").empty() && rig.Queue(".claimed").empty(); }, 30));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::map<std::string, int> opens;
  Rig::CountOpens(agent->Out(), &opens);
  int withdrawn = 0;
  for (const auto& [tract, w] : outcome) {
    EXPECT_EQ(opens.count(tract) ? opens[tract] : 0, w ? 0 : 1) << tract << (w ? " withdrawn" : " claimed");
    withdrawn += w;
  }
  fprintf(stderr, "withdraw vs agent: %d iterations, withdrawal won %d, agent won %d\n", iterations, withdrawn,
          iterations - withdrawn);
  EXPECT_EQ(cvstress::CountPrefixed(agent->Out(), "rejected "), 0);
  EXPECT_TRUE(cvstress::ExitedZero(agent->Stop(SIGTERM)));
}

TEST(Races, ManyOpenersAtOnceEachTractHandledOnce) {
  Rig rig;
  bool locked = false;
  auto agent = rig.StartAgent({}, &locked);
  ASSERT_TRUE(locked) << agent->Err();
  const int openers = std::max(20, cvstress::Scaled(24));
  const int perOpener = 8;
  std::vector<std::vector<std::string>> tracts(static_cast<size_t>(openers));
  for (int o = 0; o < openers; ++o) {
    for (int d = 0; d < perOpener; ++d)
      tracts[static_cast<size_t>(o)].push_back(
          rig.Tract("o" + std::to_string(o) + "-" + std::to_string(d) + ".corva"));
  }
  std::vector<std::unique_ptr<cvtest::Process>> running;
  for (const auto& t : tracts) running.push_back(rig.StartOpener(t));
  for (auto& p : running) {
    auto status = p->Wait(120);
    EXPECT_TRUE(cvstress::ExitedZero(status)) << p->Err();
    EXPECT_EQ(p->Err().find("Corvantis Agent: "), std::string::npos) << p->Err();
  }
  std::map<std::string, int> opens;
  Rig::CountOpens(agent->Out(), &opens);
  for (const auto& t : tracts) {
    for (const std::string& path : t) EXPECT_EQ(opens.count(path) ? opens[path] : 0, 1) << path;
  }
  EXPECT_EQ(opens.size(), static_cast<size_t>(openers * perOpener));
  EXPECT_EQ(rig.Queue(), std::vector<std::string>{}) << "left in open-requests";
  fprintf(stderr, "many openers: %d openers, %d tracts, %zu handled\n", openers, openers * perOpener, opens.size());
  EXPECT_TRUE(cvstress::ExitedZero(agent->Stop(SIGTERM)));
}

TEST(Races, AgentTakesItsLockWhileProbesArrive) {
  auto rnd = cvstress::SeededRandom("agent start under probes");
  Rig rig;
  {
    bool locked = false;
    auto first = rig.StartAgent({}, &locked);  // leaves agent.lock behind
    ASSERT_TRUE(locked) << first->Err();
  }
  std::atomic<bool> stop{false};
  std::atomic<int> probes{0}, sawRunning{0};
  auto prober = [&](int phaseMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(phaseMs));
    while (!stop) {
      int conf = open(rig.Settings().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (conf >= 0) {
        sawRunning += CVProbeAgent(conf, nullptr, nullptr) == CVAgentRunning;
        close(conf);
        ++probes;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back(prober, i * 62);

  // Each start meets a shared lock already held, as by a probe that was
  // descheduled inside its flock, for up to 1 s of the agent's 2 s of
  // patience. The hold is timed from before the agent starts; the other
  // second is slack for a release that wakes late on a loaded machine.
  std::uniform_int_distribution<int> holdMs(0, 1000), runMs(50, 400);
  const int starts = cvstress::Scaled(12);
  int failed = 0;
  for (int i = 0; i < starts; ++i) {
    int fd = open((rig.Settings() + "/agent.lock").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_SH | LOCK_NB), 0);
    std::thread release([fd, ms = holdMs(rnd)] {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      flock(fd, LOCK_UN);
      close(fd);
    });
    bool locked = false;
    auto agent = rig.StartAgent({}, &locked);
    release.join();
    EXPECT_TRUE(locked) << "start " << i << ": " << agent->Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(runMs(rnd)));
    auto status = agent->Stop(SIGTERM);
    EXPECT_TRUE(cvstress::ExitedZero(status)) << "start " << i << ": " << agent->Err();
    failed += !locked;
  }
  stop = true;
  for (auto& t : threads) t.join();
  fprintf(stderr, "agent starts under probes: %d starts against a held shared lock, %d probes (%d saw it running), "
          "%d failed to lock\n", starts, probes.load(), sawRunning.load(), failed);
  EXPECT_GT(sawRunning.load(), 0);
}

}  // namespace
