// The alert queue and the alert loop.
#include <cerrno>
#include <cstring>

#include "opener_fixture.h"

namespace cvtest {
namespace {

using AlertsTest = OpenerTest;

TEST_F(AlertsTest, QueuedBeforeLaunchShownAfterItOldestFirst) {
  CVOpener& o = Make();
  o.alert("first", "A1");
  o.alert("second", "A2");
  o.alert("third", "A3");
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(platform.activations, 0);
  EXPECT_EQ(o.TEST_QueuedAlerts(), 3u);

  o.applicationDidFinishLaunching();
  EXPECT_EQ(AlertTexts(), (std::vector<std::string>{"first", "second", "third"}));
  for (const auto& a : platform.alerts) EXPECT_EQ(a.first, "Corvantis Agent");
  EXPECT_EQ(platform.activations, 3);  // once before every alert
  EXPECT_EQ(o.TEST_QueuedAlerts(), 0u);
  EXPECT_FALSE(o.TEST_Alerting());
  // Each logged at error level when raised; the newest once more as "queued".
  EXPECT_EQ(Lines("alert A1: <private>"), 1);
  EXPECT_EQ(Lines("alert A3: <private>"), 1);
  EXPECT_EQ(Lines("alert queued: <private>"), 1);
  for (const auto& l : log.lines()) EXPECT_EQ(l.level, cv::LogLevel::kError) << l.text;
}

TEST_F(AlertsTest, AlertRaisedWhileLaunchingShowsEarlierOnesFirst) {
  // An open event before launching queues "not-corva"; at the end of
  // launching the probe fails and "A1" starts the loop, so flushAlerts finds
  // nothing left and logs no "queued" line.
  agents.probeResult = CVAgentUnknown;
  agents.probeErr = EACCES;
  CVOpener& o = Make();
  o.openURLs({Web("https://x/a"), Doc("/d/a.corva")});
  EXPECT_TRUE(platform.alerts.empty());
  o.applicationDidFinishLaunching();
  ASSERT_EQ(platform.alerts.size(), 2u);
  EXPECT_EQ(platform.alerts[0].second, "Corvantis opens .corva files only.");
  EXPECT_EQ(platform.alerts[1].second, o.confErrorText(EACCES));
  EXPECT_EQ(Lines("alert queued: <private>"), 0);
  // Withdrawn before the alert.
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_TRUE(QueueFiles().empty());
}

TEST_F(AlertsTest, AlertRaisedInsideShowingAlertComesAfterIt) {
  CVOpener& o = Launched();
  std::vector<size_t> queuedDuring;
  platform.onAlert = [&](size_t i) {
    if (i == 0) {
      o.alert("inner", "A5");
      queuedDuring.push_back(o.TEST_QueuedAlerts());
      EXPECT_TRUE(o.TEST_Alerting());
      EXPECT_EQ(platform.alerts.size(), 1u);  // not shown yet: no second loop
    }
  };
  o.alert("outer", "A1");
  EXPECT_EQ(AlertTexts(), (std::vector<std::string>{"outer", "inner"}));
  EXPECT_EQ(queuedDuring, std::vector<size_t>{1});
  EXPECT_EQ(platform.activations, 2);
  EXPECT_FALSE(o.TEST_Alerting());
}

TEST_F(AlertsTest, InnerAlertWaitsBehindEarlierQueuedOnes) {
  CVOpener& o = Make();
  o.alert("one", "A1");
  o.alert("two", "A2");
  platform.onAlert = [&](size_t i) {
    if (i == 0) o.alert("three", "A5");
  };
  o.applicationDidFinishLaunching();
  EXPECT_EQ(AlertTexts(), (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(AlertsTest, FlushDoesNothingWhenEmptyOrWhileAlerting) {
  CVOpener& o = Make();
  o.flushAlerts();
  EXPECT_TRUE(log.lines().empty());

  // Launched, an alert on screen and another one waiting behind it.
  o.applicationDidFinishLaunching();
  EXPECT_TRUE(log.lines().empty());
  bool flushed = false;
  platform.onAlert = [&](size_t i) {
    if (i != 0) return;
    o.alert("waiting", "A5");
    ASSERT_TRUE(o.TEST_Alerting());
    size_t lines = log.lines().size();
    o.flushAlerts();
    flushed = true;
    EXPECT_EQ(platform.alerts.size(), 1u);
    EXPECT_EQ(o.TEST_QueuedAlerts(), 1u);
    EXPECT_EQ(log.lines().size(), lines);
  };
  o.alert("showing", "A1");
  EXPECT_TRUE(flushed);
  EXPECT_EQ(AlertTexts(), (std::vector<std::string>{"showing", "waiting"}));
}

TEST_F(AlertsTest, AfterLaunchEachAlertShowsAtOnce) {
  CVOpener& o = Launched();
  o.alert("now", "A6");
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{"now"});
  EXPECT_EQ(o.TEST_QueuedAlerts(), 0u);
  EXPECT_EQ(Lines("alert A6: <private>"), 1);
}

}  // namespace
}  // namespace cvtest
