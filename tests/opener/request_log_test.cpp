// Every log line about a request names it in a field of its own, so that
// the system log can show one request's whole hand-over.
#include "opener_fixture.h"

namespace cvtest {
namespace {

using RequestLogTest = OpenerTest;

// The stems attached to the lines that begin with `prefix`.
std::vector<std::string> StemsOf(const CaptureLog& log, const std::string& prefix) {
  std::vector<std::string> stems;
  for (const auto& l : log.lines()) {
    if (l.text.rfind(prefix, 0) == 0) stems.push_back(l.stem);
  }
  return stems;
}

TEST_F(RequestLogTest, EveryRequestLineCarriesItsStem) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  o.openURLs(Docs(4));
  std::vector<std::string> stems;
  for (size_t i = 0; i < 4; ++i) stems.push_back(Stem(i));
  // 0: claimed and handled; 1: claimed and held too long; 2 and 3: never
  // claimed, withdrawn at the deadline.
  ASSERT_TRUE(Claim(stems[0]));
  ASSERT_TRUE(Claim(stems[1]));
  platform.Tick();
  ASSERT_TRUE(Handle(stems[0]));
  platform.Tick();
  platform.Tick(0.25, 60);

  EXPECT_EQ(StemsOf(log, "request "), stems);
  EXPECT_EQ(StemsOf(log, "claimed "), (std::vector<std::string>{stems[0], stems[1]}));
  EXPECT_EQ(StemsOf(log, "handled "), std::vector<std::string>{stems[0]});
  EXPECT_EQ(StemsOf(log, "withdrew "), (std::vector<std::string>{stems[2], stems[3]}));
  platform.Tick(0.25, 4 * 120);
  EXPECT_EQ(StemsOf(log, "still being handled, stop waiting: "), std::vector<std::string>{stems[1]});
  // Lines about no request ("kickstart", "done"...) carry none; a stem
  // attached is the one the line names.
  const std::vector<std::string> requestLines = {"request ", "claimed ", "handled ", "withdrew ",
                                                 "still being handled"};
  for (const auto& l : log.lines()) {
    bool aboutRequest = false;
    for (const auto& p : requestLines) aboutRequest = aboutRequest || l.text.rfind(p, 0) == 0;
    EXPECT_EQ(l.stem.empty(), !aboutRequest) << l.text;
    EXPECT_NE(l.text.find(l.stem), std::string::npos) << l.text;
  }
}

TEST_F(RequestLogTest, LinesOfAnUnusableSettingsFolderCarryTheStemToo) {
  agents.probeResult = CVAgentRunning;
  agents.probePid = 10;
  CVOpener& o = Launched();
  o.openURLs({Doc("/d/plan.corva")});
  std::string stem = Stem(0);
  o.TEST_SetCfd(-1);  // as if the folder had been unusable from the start
  platform.Tick();
  EXPECT_EQ(StemsOf(log, "handled "), std::vector<std::string>{stem});
}

}  // namespace
}  // namespace cvtest
