#include "knobs.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace cvagent {
namespace {

struct SecondsCase {
  const char* text;
  std::optional<double> want;
};

TEST(ParseSecondsTest, AcceptsPlainDecimalsOnly) {
  const SecondsCase cases[] = {
      {"0", 0},          {"2", 2},          {"0.5", 0.5},          {"10.25", 10.25},
      {"5.", 5},         {".5", 0.5},       {"1000000000", 1e9},   {"", std::nullopt},
      {".", std::nullopt},  {"-1", std::nullopt},   {"+1", std::nullopt},
      {" 1", std::nullopt}, {"1 ", std::nullopt},   {"1e3", std::nullopt},
      {"inf", std::nullopt}, {"nan", std::nullopt}, {"0x10", std::nullopt},
      {"1.2.3", std::nullopt}, {"abc", std::nullopt}, {"1000000001", std::nullopt},
      {"99999999999999999999999", std::nullopt},
  };
  for (const SecondsCase& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    std::optional<double> got = ParseSeconds(c.text);
    ASSERT_EQ(got.has_value(), c.want.has_value());
    if (c.want) {
      EXPECT_DOUBLE_EQ(*got, *c.want);
    }
  }
}

class ReadKnobsTest : public ::testing::Test {
 protected:
  bool Read(Knobs* knobs, std::string* error) {
    return ReadKnobs(
        [this](const char* name) -> const char* {
          auto it = env_.find(name);
          return it == env_.end() ? nullptr : it->second.c_str();
        },
        knobs, error);
  }
  std::map<std::string, std::string> env_;
};

TEST_F(ReadKnobsTest, NothingSetKeepsDefaults) {
  Knobs knobs;
  std::string error;
  ASSERT_TRUE(Read(&knobs, &error));
  EXPECT_EQ(knobs.claimDelay, 0);
  EXPECT_EQ(knobs.handleDelay, 0);
  EXPECT_FALSE(knobs.idleExit.has_value());
  EXPECT_FALSE(knobs.noLock);
  EXPECT_EQ(knobs.sweepInterval, 3600);
}

TEST_F(ReadKnobsTest, ReadsEveryKnob) {
  env_ = {{kClaimDelayVar, "1.5"}, {kHandleDelayVar, "2"}, {kIdleExitVar, "0"}, {kNoLockVar, "1"},
          {kSweepIntervalVar, "0.25"}};
  Knobs knobs;
  std::string error;
  ASSERT_TRUE(Read(&knobs, &error)) << error;
  EXPECT_EQ(knobs.claimDelay, 1.5);
  EXPECT_EQ(knobs.handleDelay, 2);
  ASSERT_TRUE(knobs.idleExit.has_value());
  EXPECT_EQ(*knobs.idleExit, 0);
  EXPECT_TRUE(knobs.noLock);
  EXPECT_EQ(knobs.sweepInterval, 0.25);
}

TEST_F(ReadKnobsTest, EmptyCountsAsUnset) {
  env_ = {{kClaimDelayVar, ""}, {kHandleDelayVar, ""}, {kIdleExitVar, ""}, {kNoLockVar, ""}};
  Knobs knobs;
  std::string error;
  ASSERT_TRUE(Read(&knobs, &error)) << error;
  EXPECT_FALSE(knobs.idleExit.has_value());
  EXPECT_FALSE(knobs.noLock);
}

TEST_F(ReadKnobsTest, BadValueNamesTheVariable) {
  const std::pair<const char*, const char*> cases[] = {
      {kClaimDelayVar, "soon"}, {kHandleDelayVar, "-2"}, {kIdleExitVar, "1e2"},
      {kNoLockVar, "yes"},      {kNoLockVar, "2"},          {kSweepIntervalVar, "hourly"},
  };
  for (const auto& [name, value] : cases) {
    SCOPED_TRACE(std::string(name) + "=" + value);
    env_ = {{name, value}};
    Knobs knobs;
    std::string error;
    EXPECT_FALSE(Read(&knobs, &error));
    EXPECT_NE(error.find(name), std::string::npos) << error;
  }
}

TEST_F(ReadKnobsTest, NoLockZeroTakesTheLock) {
  env_ = {{kNoLockVar, "0"}};
  Knobs knobs;
  std::string error;
  ASSERT_TRUE(Read(&knobs, &error));
  EXPECT_FALSE(knobs.noLock);
}

}  // namespace
}  // namespace cvagent
