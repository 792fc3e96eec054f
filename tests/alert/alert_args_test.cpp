#include "alert/alert_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ArgsCase {
  std::vector<const char*> args;  // after the program name
  bool ok;
  const char* primary;
  const char* message;
  const char* error;
};

TEST(AlertArgsTest, CommandLines) {
  const ArgsCase cases[] = {
      {{"hello"}, true, "Corvantis Agent", "hello", ""},
      {{"--", "hello"}, true, "Corvantis Agent", "hello", ""},
      {{"--", "--primary"}, true, "Corvantis Agent", "--primary", ""},
      {{"--", "-"}, true, "Corvantis Agent", "-", ""},
      {{"--", "--"}, true, "Corvantis Agent", "--", ""},
      {{"--", ""}, true, "Corvantis Agent", "", ""},
      {{"-"}, true, "Corvantis Agent", "-", ""},
      {{"--primary", "Title", "--", "two\nlines"}, true, "Title", "two\nlines", ""},
      {{"--primary", "--", "--", "x"}, true, "--", "x", ""},
      {{"x", "--primary", "T"}, true, "T", "x", ""},
      {{}, false, "", "", "no message given"},
      {{"--"}, false, "", "", "no message given"},
      {{"--primary"}, false, "", "", "--primary needs a value"},
      {{"--primary", "T"}, false, "", "", "no message given"},
      {{"a", "b"}, false, "", "", "one message only"},
      {{"--", "a", "b"}, false, "", "", "one message only"},
      {{"-x", "a"}, false, "", "", "unknown option -x"},
      {{"--display=:1", "a"}, false, "", "", "unknown option --display=:1"},
      {{"--", "--end-startup"}, true, "Corvantis Agent", "--end-startup", ""},
      {{"--end-startup", "x"}, false, "", "", "--end-startup takes nothing else"},
      {{"x", "--end-startup"}, false, "", "", "unknown option --end-startup"},
  };
  for (const ArgsCase& c : cases) {
    std::vector<const char*> argv = {"corvantis-alert"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string trace;
    for (const char* a : c.args) trace += std::string("[") + a + "] ";
    SCOPED_TRACE(trace);
    cv::AlertArgs out;
    std::string error;
    ASSERT_EQ(cv::ParseAlertArgs(static_cast<int>(argv.size()), argv.data(), &out, &error), c.ok) << error;
    if (c.ok) {
      EXPECT_FALSE(out.endStartup);
      EXPECT_EQ(out.primary, c.primary);
      EXPECT_EQ(out.message, c.message);
    } else {
      EXPECT_EQ(error, c.error);
    }
  }
}

TEST(AlertArgsTest, EndStartupStandsAlone) {
  const char* argv[] = {"corvantis-alert", "--end-startup"};
  cv::AlertArgs out;
  std::string error;
  ASSERT_TRUE(cv::ParseAlertArgs(2, argv, &out, &error)) << error;
  EXPECT_TRUE(out.endStartup);
  EXPECT_EQ(out.message, "");
}

TEST(AlertArgsTest, StartupTimestamps) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"", 0},
      {"opener-1234-host_TIME5678", 5678},
      {"a_TIME1_TIME42", 42},
      {"_TIME4294967295", 4294967295u},
      {"_TIME4294967296", 0},
      {"_TIME99999999999999999999999", 0},
      {"_TIME", 0},
      {"_TIME12x", 0},
      {"_TIME-1", 0},
      {"_TIME 1", 0},
      {"wayland-token-no-time", 0},
  };
  for (const auto& [id, time] : cases) {
    EXPECT_EQ(cv::StartupTimestamp(id), time) << id;
  }
}

}  // namespace
