// Openers killed with SIGKILL at random instants while they post 32 tracts,
// with a reference agent claiming meanwhile (or stopped, so that what the
// killed openers left stays in the queue folder to be read). A request
// appears only whole: the agent never rejects one, every ".json" left parses
// as a complete request, and the tracts handled of each run are exactly the
// first ones it posted, each once.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "stress_rig.h"

namespace {

using cvstress::Rig;
using Clock = std::chrono::steady_clock;

constexpr int kTracts = 32;

class CrashRuns : public ::testing::Test {
 protected:
  // The tracts of run `run`, created on first use.
  const std::vector<std::string>& RunTracts(int run) {
    auto& t = tracts_[run];
    if (t.empty()) {
      for (int i = 0; i < kTracts; ++i)
        t.push_back(rig_.Tract("r" + std::to_string(run) + "-" + std::to_string(i) + ".corva"));
    }
    return t;
  }

  static int RequestLines(const std::string& log) {
    int n = 0;
    for (size_t at = log.find("] request "); at != std::string::npos; at = log.find("] request ", at + 1)) ++n;
    return n;
  }

  // Seconds from the start of an opener until it has logged all 32 posts.
  double PostingTime(int run) {
    auto start = Clock::now();
    auto opener = rig_.StartOpener(RunTracts(run));
    bool posted = cvtest::WaitUntil(
        [&] { return RequestLines(opener->Err()) >= kTracts; }, 60);
    double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_TRUE(posted) << opener->Err();
    opener->Stop(SIGKILL);
    return took;
  }

  // Starts an opener for run `run` and kills it after `delay` seconds.
  void KillDuringPosting(int run, double delay) {
    auto opener = rig_.StartOpener(RunTracts(run));
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    opener->Signal(SIGKILL);
    EXPECT_TRUE(opener->Wait(10));
  }

  Rig rig_;
  std::map<int, std::vector<std::string>> tracts_;
};

TEST_F(CrashRuns, KilledOpenersLeaveOnlyCompleteRequests) {
  auto rnd = cvstress::SeededRandom("crash runs");
  bool locked = false;
  auto agent = rig_.StartAgent({}, &locked);
  ASSERT_TRUE(locked) << agent->Err();

  int run = 0;
  double window = PostingTime(run++);
  // Kill instants cover the start of the process and the whole posting.
  std::uniform_real_distribution<double> instant(0, window * 1.1);

  const int claimingRuns = cvstress::Scaled(80);
  const int stoppedRuns = cvstress::Scaled(40);
  for (int i = 0; i < claimingRuns; ++i) KillDuringPosting(run++, instant(rnd));

  // With the agent stopped, what each killed opener left stays in place.
  agent->Signal(SIGSTOP);
  for (int i = 0; i < stoppedRuns; ++i) KillDuringPosting(run++, instant(rnd));
  int leftJson = 0;
  for (const std::string& name : rig_.Queue(".json")) {
    auto doc = cvtest::ReadFile(rig_.QueueDir() + "/" + name);
    ASSERT_TRUE(doc) << name;
    std::string path;
    EXPECT_TRUE(cvstress::CompleteOpenRequest(*doc, &path)) << name << ": " << *doc;
    ++leftJson;
  }
  int leftTmp = static_cast<int>(rig_.Queue(".tmp").size());
  agent->Signal(SIGCONT);

  // The agent takes everything the openers managed to post.
  EXPECT_TRUE(cvtest::WaitUntil([&] { return rig_.Queue(".json").empty() && rig_.Queue(".claimed").empty(); }, 60))
      << rig_.Queue().size() << " entries left";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string out = agent->Out();
  EXPECT_EQ(cvstress::CountPrefixed(out, "rejected "), 0) << out;
  EXPECT_EQ(agent->Err().find("cannot"), std::string::npos) << agent->Err();

  std::map<std::string, int> opens;
  Rig::CountOpens(out, &opens);
  int cutShort = 0, handled = 0;
  for (const auto& [r, tracts] : tracts_) {
    int n = 0;
    while (n < kTracts && opens.count(tracts[static_cast<size_t>(n)])) ++n;
    for (int i = 0; i < kTracts; ++i) {
      int seen = opens.count(tracts[static_cast<size_t>(i)]) ? opens[tracts[static_cast<size_t>(i)]] : 0;
      EXPECT_EQ(seen, i < n ? 1 : 0) << "run " << r << " tract " << i << " (first " << n << " handled)";
    }
    cutShort += n > 0 && n < kTracts;
    handled += n;
  }
  int total = 0;
  for (const auto& [path, count] : opens) total += count;
  EXPECT_EQ(total, handled) << "the agent opened paths no run posted";

  fprintf(stderr,
          "crash runs: %d killed (%d with the agent claiming, %d with it stopped), posting took %.0f ms, "
          "%d runs cut off mid-post, %d tracts handled, %d .json left while stopped, %d .tmp litter\n",
          claimingRuns + stoppedRuns, claimingRuns, stoppedRuns, window * 1000, cutShort, handled, leftJson, leftTmp);
  RecordProperty("crash_runs", claimingRuns + stoppedRuns);
  RecordProperty("cut_mid_post", cutShort);
  // The kills must really have landed inside posting for the runs to prove anything.
  EXPECT_GT(cutShort, (claimingRuns + stoppedRuns) / 10);
  EXPECT_TRUE(cvstress::ExitedZero(agent->Stop(SIGTERM)));
}

}  // namespace
