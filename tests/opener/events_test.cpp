// The desktop's events: open documents, end of launching, re-open.
#include <cerrno>

#include "opener_fixture.h"

namespace cvtest {
namespace {

const char* kNotCorva = "Corvantis opens .corva files only.";
const char* kA6 = "Open at most 32 tracts at a time.";

using EventsTest = OpenerTest;

struct FilterCase {
  const char* name;
  cv::DocumentURL url;
  bool accepted;
};
void PrintTo(const FilterCase& c, std::ostream* os) { *os << c.name; }


class FilterTest : public OpenerTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(FilterTest, KeepsCorvaFileUrlsOnly) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 3;
  CVOpener& o = Launched();
  o.openURLs({GetParam().url});
  EXPECT_EQ(o.TEST_Reqs().size(), GetParam().accepted ? 1u : 0u);
  EXPECT_EQ(AlertTexts(), GetParam().accepted ? std::vector<std::string>{}
                                              : std::vector<std::string>{kNotCorva});
  EXPECT_TRUE(o.TEST_SawEvent());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FilterTest,
    ::testing::Values(FilterCase{"Plain", {true, "/d/plan.corva", ""}, true},
                      FilterCase{"UpperCase", {true, "/d/PLAN.CORVA", ""}, true},
                      FilterCase{"MixedCase", {true, "/d/plan.CoRvA", ""}, true},
                      FilterCase{"TrailingSlash", {true, "/d/plan.corva/", ""}, true},
                      FilterCase{"Relative", {true, "plan.corva", ""}, true},
                      FilterCase{"FurtherExtension", {true, "/d/plan.corva.bak", ""}, false},
                      FilterCase{"NoExtension", {true, "/d/plan", ""}, false},
                      FilterCase{"OtherExtension", {true, "/d/plan.txt", ""}, false},
                      FilterCase{"LongerExtension", {true, "/d/plan.corvax", ""}, false},
                      FilterCase{"DotInFolderOnly", {true, "/d.corva/plan", ""}, false},
                      FilterCase{"EmptyPath", {true, "", ""}, false},
                      FilterCase{"Root", {true, "/", ""}, false},
                      FilterCase{"NotAFile", {false, "", "https://x/plan.corva"}, false},
                      FilterCase{"NotAFileWithPath", {false, "/d/plan.corva", "x"}, false}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(EventsTest, OneNotCorvaPerEventAndOrderKept) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 3;
  CVOpener& o = Launched();
  o.openURLs({Web("a"), Doc("/d/one.corva"), Doc("/d/x.txt"), Web("b"), Doc("/d/two.CORVA")});
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kNotCorva});
  ASSERT_EQ(o.TEST_Reqs().size(), 2u);
  EXPECT_EQ(o.TEST_Reqs()[0]->label, "one.corva");
  EXPECT_EQ(o.TEST_Reqs()[1]->label, "two.CORVA");
  EXPECT_EQ(o.TEST_Reqs()[0]->kind, "open");
  o.openURLs({Web("c")});
  EXPECT_EQ(platform.alerts.size(), 2u);  // one more for the next event
}

TEST_F(EventsTest, EmptyEventStillStartsTheTick) {
  // A plain launch spawned the agent; nothing is posted and the child
  // lives, so the timer has stopped to wait for it.
  ScriptSpawn(600);
  CVOpener& o = Launched();
  platform.Tick(0.25, 3);
  ASSERT_EQ(o.TEST_Child(), 600);
  ASSERT_FALSE(o.TEST_Ticking());
  int probes = agents.probes;
  o.openURLs({});
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_TRUE(o.TEST_Ticking());
  EXPECT_EQ(agents.probes, probes);
}

struct RoomCase {
  const char* name;
  int present;
  int docs;
  size_t posted;  // of this event
  bool a6;
};
void PrintTo(const RoomCase& c, std::ostream* os) { *os << c.name; }


class RoomTest : public OpenerTest, public ::testing::WithParamInterface<RoomCase> {};

TEST_P(RoomTest, AdmitsUpToThirtyTwo) {
  const RoomCase& c = GetParam();
  agents.probeResult = CVAgentRunning;
  agents.probePid = 3;
  CVOpener& o = Launched();
  if (c.present > 0) o.openURLs(Docs(c.present, "/old/p"));
  ASSERT_EQ(o.TEST_Reqs().size(), static_cast<size_t>(c.present));
  o.openURLs(Docs(c.docs, "/new/n"));
  EXPECT_EQ(AlertTexts(), c.a6 ? std::vector<std::string>{kA6} : std::vector<std::string>{});
  ASSERT_EQ(o.TEST_Reqs().size(), c.present + c.posted);
  EXPECT_EQ(QueueFiles().size(), c.present + c.posted);
  for (size_t i = 0; i < c.posted; ++i)  // the first ones, in order
    EXPECT_EQ(o.TEST_Reqs()[c.present + i]->label, "n" + std::to_string(i) + ".corva");
}

INSTANTIATE_TEST_SUITE_P(Cases, RoomTest,
                         ::testing::Values(RoomCase{"FortyIntoEmpty", 0, 40, 32, true},
                                           RoomCase{"ThirtyTwoIntoEmpty", 0, 32, 32, false},
                                           RoomCase{"TwoIntoThirtyOne", 31, 2, 1, true},
                                           RoomCase{"OneIntoThirtyTwo", 32, 1, 0, true},
                                           RoomCase{"TwoIntoThirty", 30, 2, 2, false}),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(EventsTest, FailedPostStopsTheEventWithOneA1) {
  ScopedEnv relative("CORVANTIS_AGENT_DIR", "relative");
  CVOpener& o = Launched();
  o.openURLs(Docs(3));
  EXPECT_EQ(platform.alerts.size(), 1u);
  EXPECT_EQ(Lines("alert A1: <private>"), 1);
  EXPECT_EQ(agents.probes, 0);  // nothing posted: no ensureAgent
  EXPECT_TRUE(o.TEST_Ticking());
}

TEST_F(EventsTest, FailedPostMidEventStopsButEnsuresTheEarlierOnes) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 3;
  CVOpener& o = Launched();
  class FullAtSecondWrite : public cv::EnvWrapper {
   public:
    FullAtSecondWrite() : EnvWrapper(cv::Env::Default()) {}
    int writes = 0;
    ssize_t Write(int fd, const void* buf, size_t n) override {
      if (++writes == 2) {
        errno = ENOSPC;  // the disk fills up at the second document
        return -1;
      }
      return EnvWrapper::Write(fd, buf, n);
    }
  };
  const int& writes = UseEnv<FullAtSecondWrite>().writes;
  o.openURLs({Doc("/d/a.corva"), Doc("/d/b.corva"), Doc("/d/c.corva")});
  ASSERT_EQ(o.TEST_Reqs().size(), 1u);
  EXPECT_EQ(o.TEST_Reqs()[0]->label, "a.corva");
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{o.confErrorText(ENOSPC)});
  EXPECT_EQ(writes, 2);  // c was never tried
  EXPECT_EQ(QueueFiles(), std::vector<std::string>{Stem(0) + ".json"});
  EXPECT_EQ(agents.probes, 1);
  EXPECT_EQ(o.TEST_ClaimBy(), platform.now + 15);
}

// Documents whose paths cannot go into a request are skipped, the others
// posted in order; one "bad-path" alert for the event, naming the first
// such document, after the agent was seen to.
TEST_F(EventsTest, BadPathsAreSkippedAndTheRestPosted) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 3;
  CVOpener& o = Launched();
  std::string longPath = "/" + std::string(8200, 'a') + "/long.corva";
  platform.onAlert = [&](size_t) { EXPECT_EQ(agents.probes, 1); };
  o.openURLs({Doc("/d/a.corva"), Doc("/d/bad\xFE.corva"), Doc("/d/b.corva"), Doc(longPath),
              Doc("/d/worse\xC3.corva"), Doc("/d/c.corva")});
  ASSERT_EQ(o.TEST_Reqs().size(), 3u);
  EXPECT_EQ(o.TEST_Reqs()[0]->label, "a.corva");
  EXPECT_EQ(o.TEST_Reqs()[1]->label, "b.corva");
  EXPECT_EQ(o.TEST_Reqs()[2]->label, "c.corva");
  EXPECT_EQ(AlertTexts(),
            (std::vector<std::string>{
                "Corvantis can't open \u201C" "bad\uFFFD.corva\u201D: its path isn't valid UTF-8."}));
  EXPECT_EQ(Lines("alert bad-path: <private>"), 1);
  EXPECT_EQ(LinesStartingWith("not posted ("), 3);
  EXPECT_EQ(Lines("alert A1: <private>"), 0);
  EXPECT_EQ(QueueFiles(), (std::vector<std::string>{Stem(0) + ".json", Stem(1) + ".json", Stem(2) + ".json"}));
  EXPECT_EQ(platform.ValidTimers(), 1);
}

// A relative name whose current folder could not be read is that
// document's fault: it is not posted (no "/name" stands in for it), the
// others are, and one "bad-path" alert names it, even with a bad path
// after it. Its room is not taken from the others.
TEST_F(EventsTest, NamesWithoutAFolderAreSkippedAndTheRestPosted) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 3;
  CVOpener& o = Launched();
  auto noFolder = [](const std::string& name) {
    cv::DocumentURL url = Doc(name);
    url.noFolder = true;
    return url;
  };
  std::vector<cv::DocumentURL> urls = {Doc("/d/a.corva"), noFolder("sub/rel.corva"), Doc("/d/\xFF.corva"),
                                       noFolder("other.corva"), noFolder("notes.txt")};
  for (auto& url : Docs(30, "/d/n")) urls.push_back(url);  // 32 with the two before: no "A6"
  o.openURLs(urls);
  ASSERT_EQ(o.TEST_Reqs().size(), 31u);
  EXPECT_EQ(o.TEST_Reqs()[0]->label, "a.corva");
  EXPECT_EQ(o.TEST_Reqs()[1]->label, "n0.corva");
  for (const auto& req : o.TEST_Reqs()) EXPECT_NE(req->label, "rel.corva");
  EXPECT_EQ(AlertTexts(), (std::vector<std::string>{
                              kNotCorva, "Corvantis can't open \u201Crel.corva\u201D: the folder it was opened "
                                         "from no longer exists or can't be read."}));
  EXPECT_EQ(Lines("alert bad-path: <private>"), 1);
  EXPECT_EQ(Lines("not posted (no current folder): <private>"), 2);
  EXPECT_EQ(QueueFiles().size(), 31u);
  EXPECT_EQ(agents.probes, 1);
}

TEST_F(EventsTest, BadPathBeforeLaunchIsShownAfterIt) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 3;
  CVOpener& o = Make();
  o.openURLs({Doc("/d/\xFF.corva"), Doc("/d/a.corva")});
  EXPECT_EQ(o.TEST_Reqs().size(), 1u);
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(agents.probes, 0);
  o.applicationDidFinishLaunching();
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{
                              "Corvantis can't open \u201C\uFFFD.corva\u201D: its path isn't valid UTF-8."});
  EXPECT_EQ(agents.probes, 1);
}

TEST_F(EventsTest, OnlyBadPathsPostNothingAndStillTick) {
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/\xFF.corva")});
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_EQ(agents.probes, 0);
  EXPECT_EQ(platform.alerts.size(), 1u);
  platform.Tick();
  EXPECT_EQ(platform.terminations, 1);
}

TEST_F(EventsTest, OpenBeforeLaunchPostsAndLaunchEnsuresOnce) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 3;
  CVOpener& o = Make();
  o.openURLs(Docs(2));
  o.openURLs({Web("x")});
  EXPECT_EQ(o.TEST_Reqs().size(), 2u);
  EXPECT_EQ(QueueFiles().size(), 2u);
  EXPECT_EQ(agents.probes, 0);
  EXPECT_EQ(platform.TimersCreated(), 0);
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_FALSE(o.TEST_ClaimBy());

  o.applicationDidFinishLaunching();
  EXPECT_EQ(agents.probes, 1);
  EXPECT_EQ(o.TEST_ClaimBy(), platform.now + 15);
  EXPECT_EQ(platform.ValidTimers(), 1);
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kNotCorva});
  EXPECT_EQ(Lines("alert queued: <private>"), 1);
}

TEST_F(EventsTest, OpenAfterLaunchEnsuresAndTicks) {
  agents.kickstartRc = 0;
  CVOpener& o = Launched();
  EXPECT_EQ(agents.probes, 0);  // empty table at launch: no ensureAgent
  o.openURLs(Docs(1));
  EXPECT_EQ(agents.probes, 1);
  EXPECT_EQ(o.TEST_Phase(), CVPhaseStarting);
  EXPECT_EQ(platform.ValidTimers(), 1);
}

}  // namespace
}  // namespace cvtest
