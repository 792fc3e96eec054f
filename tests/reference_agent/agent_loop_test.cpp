// The agent loop against a fake queue folder and a fake clock: which names
// it claims, in what order it handles them, and when.
#include "agent_loop.h"

#include "request_doc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace cvagent {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Names in a map; Claim and RemoveClaimed act on them like the real folder.
class FakeQueue : public RequestQueue {
 public:
  int List(std::vector<std::string>* names) override {
    names->clear();
    if (listError) return listError;
    // Reverse order, so that sorting is the loop's job.
    for (auto it = files.rbegin(); it != files.rend(); ++it) names->push_back(it->first);
    return 0;
  }
  int Claim(const std::string& stem) override {
    claims.push_back(stem);
    if (auto it = claimErrors.find(stem); it != claimErrors.end()) return it->second;
    auto it = files.find(stem + ".json");
    if (it == files.end()) return ENOENT;
    if (files.count(stem + ".claimed")) return EEXIST;
    files[stem + ".claimed"] = it->second;
    files.erase(it);
    return 0;
  }
  int ReadClaimed(const std::string& stem, size_t limit, std::string* doc) override {
    auto it = files.find(stem + ".claimed");
    if (it == files.end()) return ENOENT;
    if (it->second.size() > limit) return EFBIG;
    *doc = it->second;
    return 0;
  }
  int RemoveClaimed(const std::string& stem) override {
    return files.erase(stem + ".claimed") ? 0 : ENOENT;
  }
  // Ages in `ages` (seconds; a name without one is new); errors in
  // `removeErrors`.
  int RemoveIfOlder(const std::string& name, double maxAge, bool* removed) override {
    sweeps.push_back(name);
    *removed = false;
    if (auto it = removeErrors.find(name); it != removeErrors.end()) return it->second;
    if (!files.count(name)) return ENOENT;
    auto age = ages.find(name);
    if (age == ages.end() || !(age->second > maxAge)) return 0;
    files.erase(name);
    *removed = true;
    return 0;
  }

  std::map<std::string, std::string> files;
  std::map<std::string, int> claimErrors;
  std::vector<std::string> claims;
  std::map<std::string, double> ages;
  std::map<std::string, int> removeErrors;
  std::vector<std::string> sweeps;  // names asked to RemoveIfOlder
  int listError = 0;
};

// A clock that moves only when the loop waits; `onWait` runs at each wait
// and may change the queue or ask the loop to stop.
class FakeWaiter : public Waiter {
 public:
  double Now() override { return now; }
  Event Wait(double seconds) override {
    EXPECT_GE(seconds, 0);
    waits.push_back(seconds);
    now += seconds;
    if (waits.size() > 1000) return kStop;  // a loop that never ends
    return onWait ? onWait() : kTimeout;
  }
  double now = 100;
  std::vector<double> waits;
  std::function<Event()> onWait;
};

class RecordingOutput : public Output {
 public:
  void Line(const std::string& line) override { lines.push_back(line); }
  void Note(const std::string& message) override { notes.push_back(message); }
  std::vector<std::string> lines;
  std::vector<std::string> notes;
};

std::string Open(const std::string& path) {
  return R"({"format":"corvantis.open/1","kind":"open","path":")" + path + "\"}";
}

class AgentLoopTest : public ::testing::Test {
 protected:
  AgentLoop& Loop() {
    if (!loop_) loop_ = std::make_unique<AgentLoop>(queue_, waiter_, out_, knobs_);
    return *loop_;
  }
  FakeQueue queue_;
  FakeWaiter waiter_;
  RecordingOutput out_;
  Knobs knobs_;
  std::unique_ptr<AgentLoop> loop_;
};

TEST_F(AgentLoopTest, HandlesQueuedRequestsInStemOrderAndRemovesThem) {
  queue_.files = {{"0003.json", Open("/c")}, {"0001.json", Open("/a")},
                  {"0002.json", R"({"kind":"reopen","format":"corvantis.open/1"})"}};
  Loop().Step();
  EXPECT_THAT(out_.lines, ElementsAre("open /a", "reopen", "open /c"));
  EXPECT_THAT(queue_.claims, ElementsAre("0001", "0002", "0003"));
  EXPECT_THAT(queue_.files, IsEmpty());
}

TEST_F(AgentLoopTest, LeavesEveryOtherNameAlone) {
  queue_.files = {{".0123.tmp", "{}"}, {".x.json", Open("/x")}, {"y.json.tmp", "{}"},
                  {"z.txt", "{}"},     {"w.claimed", Open("/w")}};
  auto before = queue_.files;
  Loop().Step();
  EXPECT_THAT(queue_.claims, IsEmpty());
  EXPECT_THAT(out_.lines, IsEmpty());
  EXPECT_EQ(queue_.files, before);
}

TEST_F(AgentLoopTest, WithdrawnRequestIsSkippedQuietly) {
  queue_.files = {{"0001.json", Open("/a")}, {"0002.json", Open("/b")}};
  queue_.claimErrors = {{"0001", ENOENT}};
  Loop().Step();
  EXPECT_THAT(out_.lines, ElementsAre("open /b"));
  EXPECT_THAT(out_.notes, IsEmpty());
}

TEST_F(AgentLoopTest, RefusedClaimIsReportedOnceAndNotRetried) {
  queue_.files = {{"0001.json", Open("/a")}, {"0001.claimed", Open("/other")}};
  Loop().Step();
  Loop().Step();
  EXPECT_THAT(queue_.claims, ElementsAre("0001"));
  ASSERT_EQ(out_.notes.size(), 1u);
  EXPECT_NE(out_.notes[0].find("cannot claim 0001"), std::string::npos);
  EXPECT_THAT(out_.lines, IsEmpty());
  // The other process's .claimed is untouched.
  EXPECT_EQ(queue_.files["0001.claimed"], Open("/other"));
}

TEST_F(AgentLoopTest, RejectedAndUnreadableRequestsAreStillRemoved) {
  queue_.files = {{"0001.json", "not json"},
                  {"0002.json", std::string(kMaxRequestBytes + 1, ' ')},
                  {"0003.json", R"({"format":"x","kind":"open"})"}};
  Loop().Step();
  EXPECT_THAT(out_.lines, ElementsAre("rejected 0001: not JSON",
                                      "rejected 0002: larger than 65536 bytes",
                                      "rejected 0003: unknown format \"x\""));
  EXPECT_THAT(queue_.files, IsEmpty());
}

TEST_F(AgentLoopTest, ClaimDelayCountsFromFirstSight) {
  knobs_.claimDelay = 5;
  queue_.files = {{"0001.json", Open("/a")}};
  Loop().Step();
  waiter_.now += 3;
  queue_.files["0002.json"] = Open("/b");
  Loop().Step();
  EXPECT_THAT(queue_.claims, IsEmpty());
  waiter_.now += 2;
  Loop().Step();
  EXPECT_THAT(out_.lines, ElementsAre("open /a"));
  EXPECT_EQ(queue_.files.count("0002.json"), 1u);
  waiter_.now += 3;
  Loop().Step();
  EXPECT_THAT(out_.lines, ElementsAre("open /a", "open /b"));
}

TEST_F(AgentLoopTest, HandleDelayKeepsTheRequestClaimed) {
  knobs_.handleDelay = 4;
  queue_.files = {{"0001.json", Open("/a")}};
  Loop().Step();
  EXPECT_EQ(queue_.files.count("0001.claimed"), 1u);
  EXPECT_EQ(Loop().inHand(), 1u);
  waiter_.now += 3.5;
  Loop().Step();
  EXPECT_THAT(out_.lines, IsEmpty());
  waiter_.now += 0.5;
  Loop().Step();
  EXPECT_THAT(out_.lines, ElementsAre("open /a"));
  EXPECT_THAT(queue_.files, IsEmpty());
}

TEST_F(AgentLoopTest, RunWakesForDueWorkAndRescansAtLeastEverySecond) {
  knobs_.claimDelay = 0.25;
  queue_.files = {{"0001.json", Open("/a")}};
  waiter_.onWait = [this] { return out_.lines.empty() ? Waiter::kTimeout : Waiter::kStop; };
  EXPECT_EQ(Loop().Run(), 0);
  EXPECT_THAT(out_.lines, ElementsAre("open /a"));
  ASSERT_FALSE(waiter_.waits.empty());
  EXPECT_DOUBLE_EQ(waiter_.waits[0], 0.25);
  for (double w : waiter_.waits) EXPECT_LE(w, kRescanSeconds);
}

TEST_F(AgentLoopTest, RunNoticesARequestThatAppearsLater) {
  int waits = 0;
  waiter_.onWait = [&] {
    if (++waits == 3) queue_.files["0009.json"] = Open("/late");
    return out_.lines.empty() ? Waiter::kChanged : Waiter::kStop;
  };
  EXPECT_EQ(Loop().Run(), 0);
  EXPECT_THAT(out_.lines, ElementsAre("open /late"));
}

TEST_F(AgentLoopTest, IdleExitOnlyWhenNothingIsQueuedOrInHand) {
  knobs_.idleExit = 3;
  knobs_.handleDelay = 10;
  queue_.files = {{"0001.json", Open("/a")}};
  double start = waiter_.now;
  EXPECT_EQ(Loop().Run(), 0);
  EXPECT_THAT(out_.lines, ElementsAre("open /a"));
  // Handled at start + 10, then idle for 3 seconds.
  EXPECT_GE(waiter_.now, start + 13);
  EXPECT_LT(waiter_.now, start + 13 + kRescanSeconds);
}

TEST_F(AgentLoopTest, IdleExitWithAnEmptyQueue) {
  knobs_.idleExit = 0;
  EXPECT_EQ(Loop().Run(), 0);
  EXPECT_THAT(waiter_.waits, IsEmpty());
}

TEST_F(AgentLoopTest, StopLeavesClaimedRequestsAndSaysSo) {
  knobs_.handleDelay = 60;
  queue_.files = {{"0001.json", Open("/a")}};
  waiter_.onWait = [] { return Waiter::kStop; };
  EXPECT_EQ(Loop().Run(), 0);
  EXPECT_THAT(out_.lines, IsEmpty());
  EXPECT_EQ(queue_.files.count("0001.claimed"), 1u);
  ASSERT_FALSE(out_.notes.empty());
  EXPECT_NE(out_.notes.back().find("1 claimed request(s) left unhandled"), std::string::npos);
}

TEST_F(AgentLoopTest, FailedWaitEndsWithStatusOne) {
  waiter_.onWait = [] { return Waiter::kFailed; };
  EXPECT_EQ(Loop().Run(), 1);
}

TEST_F(AgentLoopTest, ListErrorIsReportedOnceUntilItChanges) {
  queue_.listError = EACCES;
  Loop().Step();
  Loop().Step();
  EXPECT_EQ(out_.notes.size(), 1u);
  queue_.listError = 0;
  queue_.files = {{"0001.json", Open("/a")}};
  Loop().Step();
  EXPECT_THAT(out_.lines, ElementsAre("open /a"));
}

// ---- stale temporary files of writers

constexpr char kTmpA[] = ".0123456789abcdef0123456789abcdef.tmp";
constexpr char kTmpB[] = ".ffffffffffffffffffffffffffffffff.tmp";

TEST_F(AgentLoopTest, FirstRoundAsksOnlyWriterTemporariesAndRemovesStaleOnes) {
  const double stale = kStaleTemporarySeconds + 60, young = kStaleTemporarySeconds - 60;
  queue_.files = {{kTmpA, "{"}, {kTmpB, "{"}, {"0001.json", Open("/a")}, {"w.claimed", Open("/w")},
                  {".0123.tmp", "{"}, {"x.tmp", "{"}};
  for (const auto& [name, doc] : queue_.files) queue_.ages[name] = name == kTmpB ? young : stale;
  Loop().Step();
  EXPECT_THAT(queue_.sweeps, ElementsAre(kTmpB, kTmpA));
  EXPECT_EQ(queue_.files.count(kTmpA), 0u);
  EXPECT_EQ(queue_.files.count(kTmpB), 1u);
  EXPECT_EQ(queue_.files.count("w.claimed"), 1u);
  EXPECT_EQ(queue_.files.count(".0123.tmp"), 1u);
  EXPECT_EQ(queue_.files.count("x.tmp"), 1u);
  EXPECT_THAT(out_.notes, ElementsAre(std::string("removed ") + kTmpA +
                                      ", a temporary file older than 36 hours"));
  EXPECT_THAT(out_.lines, ElementsAre("open /a"));
}

TEST_F(AgentLoopTest, SweepsAgainOnlyAfterTheInterval) {
  queue_.files = {{kTmpA, "{"}};
  Loop().Step();
  ASSERT_EQ(queue_.sweeps.size(), 1u);
  waiter_.now += 3599;
  Loop().Step();
  EXPECT_EQ(queue_.sweeps.size(), 1u);
  queue_.ages[kTmpA] = kStaleTemporarySeconds + 1;
  waiter_.now += 1;
  Loop().Step();
  EXPECT_EQ(queue_.sweeps.size(), 2u);
  EXPECT_EQ(queue_.files.count(kTmpA), 0u);
}

TEST_F(AgentLoopTest, SweepIntervalFromTheKnobs) {
  knobs_.sweepInterval = 5;
  queue_.files = {{kTmpA, "{"}};
  Loop().Step();
  waiter_.now += 4.9;
  Loop().Step();
  EXPECT_EQ(queue_.sweeps.size(), 1u);
  waiter_.now += 0.1;
  Loop().Step();
  EXPECT_EQ(queue_.sweeps.size(), 2u);
}

TEST_F(AgentLoopTest, SweepWaitsForAListThatSucceeds) {
  queue_.files = {{kTmpA, "{"}};
  queue_.listError = EACCES;
  Loop().Step();
  EXPECT_TRUE(queue_.sweeps.empty());
  queue_.listError = 0;
  waiter_.now += 1;
  Loop().Step();
  EXPECT_EQ(queue_.sweeps.size(), 1u);
}

TEST_F(AgentLoopTest, FailedRemovalIsNotedAndTheSweepGoesOn) {
  queue_.files = {{kTmpA, "{"}, {kTmpB, "{"}};
  queue_.ages = {{kTmpA, kStaleTemporarySeconds + 1}, {kTmpB, kStaleTemporarySeconds + 1}};
  queue_.removeErrors = {{kTmpB, EPERM}};
  Loop().Step();
  EXPECT_EQ(queue_.files.count(kTmpA), 0u);
  EXPECT_EQ(queue_.files.count(kTmpB), 1u);
  ASSERT_EQ(out_.notes.size(), 2u);
  EXPECT_EQ(out_.notes[0], std::string("cannot remove ") + kTmpB + ": " + strerror(EPERM));
}

}  // namespace
}  // namespace cvagent
