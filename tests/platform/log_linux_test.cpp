// Log lines as stored, the journald record, and the choice of sink.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "loop_util.h"
#include "platform/journal_log_linux.h"
#include "platform/log.h"
#include "test_support.h"

namespace {

struct FormatCase {
  const char* name;
  std::string fmt;
  std::vector<cv::LogArg> args;
  std::string expected;
};

std::string Format(const std::string& fmt, const std::vector<cv::LogArg>& args) {
  // FormatLogLine takes an initializer list; these cases use up to four.
  switch (args.size()) {
    case 0: return cv::FormatLogLine(fmt, {});
    case 1: return cv::FormatLogLine(fmt, {args[0]});
    case 2: return cv::FormatLogLine(fmt, {args[0], args[1]});
    case 3: return cv::FormatLogLine(fmt, {args[0], args[1], args[2]});
    default: return cv::FormatLogLine(fmt, {args[0], args[1], args[2], args[3]});
  }
}

TEST(FormatLogLine, RedactsPrivateArgumentsOnly) {
  const std::string stem = "0001733000000000-3f2a9c1e4b7d4e0f8a6b2c3d4e5f6a7b";
  const FormatCase cases[] = {
      {"request line", "request %{public}@ (%{public}@: %{public}@, %{private}@)",
       {stem, "open", "plan.corva", "/home/u/plan.corva"},
       "request " + stem + " (open: plan.corva, <private>)"},
      {"public string", "code %{public}@", {"A5"}, "code A5"},
      {"public C string", "kind %{public}s", {"reopen"}, "kind reopen"},
      {"private string", "path %{private}@", {"/home/u/x.corva"}, "path <private>"},
      {"unmarked string is private", "text %@", {"secret"}, "text <private>"},
      {"unmarked C string is private", "text %s", {"secret"}, "text <private>"},
      {"unmarked number is public", "pid %d", {4242}, "pid 4242"},
      {"public number", "pid %{public}d", {17}, "pid 17"},
      {"private number", "pid %{private}d", {17}, "pid <private>"},
      {"negative number", "err %d", {-1}, "err -1"},
      {"percent sign", "100%% done", {}, "100% done"},
      {"percent before a specifier", "%%%{public}@", {"x"}, "%x"},
      {"missing arguments", "%{public}@ and %d", {"one"}, "one and (null)"},
      {"no arguments at all", "%{public}@", {}, "(null)"},
      {"extra arguments ignored", "plain", {"x", 1}, "plain"},
      {"lone percent at the end", "50%", {}, "50%"},
      {"unknown conversion kept", "%q stays", {}, "%q stays"},
      {"unclosed privacy mark kept", "%{public", {"x"}, "%{public"},
  };
  for (const FormatCase& c : cases) {
    EXPECT_EQ(Format(c.fmt, c.args), c.expected) << c.name;
  }
}

TEST(JournalLog, RecordCarriesPriorityIdentifierSubsystemAndCategory) {
  struct Case {
    cv::LogLevel level;
    const char* priority;
  } cases[] = {{cv::LogLevel::kDefault, "PRIORITY=5"}, {cv::LogLevel::kError, "PRIORITY=3"}};
  for (const Case& c : cases) {
    std::vector<std::vector<std::string>> sent;
    cv::JournalLog log("corvantis.opener", "opener", [&](const std::vector<std::string>& fields) {
      sent.push_back(fields);
      return 0;
    });
    cvtest::CaptureStderr capture;
    log.Write(c.level, "request %{public}@ (%{public}@: %{public}@, %{private}@)",
              {"0001-ab", "open", "plan.corva", "/secret/plan.corva"});
    EXPECT_EQ(capture.Text(), "") << "a record the journal took must not reach stderr";
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (std::vector<std::string>{
                           "MESSAGE=request 0001-ab (open: plan.corva, <private>)",
                           c.priority,
                           "SYSLOG_IDENTIFIER=corvantis-opener",
                           "CORVANTIS_SUBSYSTEM=corvantis.opener",
                           "CORVANTIS_CATEGORY=opener",
                       }));
  }
}

TEST(JournalLog, RefusedRecordGoesToStderrAndKeepsErrno) {
  cv::JournalLog log("corvantis.opener", "opener", [](const std::vector<std::string>&) { return -ECONNREFUSED; });
  cvtest::CaptureStderr capture;
  errno = EACCES;
  log.Write(cv::LogLevel::kError, "alert %{public}@", {"A4"});
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(capture.Text(), "corvantis-opener[" + std::to_string(getpid()) + "] alert A4\n");
}

// Which sink CreateSystemLogAt picks, told apart by where a line lands.
TEST(SystemLog, JournalOnlyWithItsSocketAndWithoutTheOverride) {
  cvtest::TempDir dir;
  const std::string socket = dir.Join("socket");
  ASSERT_TRUE(cvtest::WriteFile(socket, ""));
  const std::string line = "corvantis-opener[" + std::to_string(getpid()) + "] done\n";
  struct Case {
    const char* name;
    bool socketExists;
    std::optional<std::string> override;
    bool journal;
  } cases[] = {
      {"socket present", true, std::nullopt, true},
      {"socket present, override 0", true, "0", true},
      {"socket present, override 1", true, "1", false},
      {"no socket", false, std::nullopt, false},
      {"no socket, override 1", false, "1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cvtest::ScopedEnv env("CORVANTIS_LOG_STDERR", c.override);
    int records = 0;
    std::unique_ptr<cv::Log> log(cv::CreateSystemLogAt(
        "corvantis.opener", "opener", c.socketExists ? socket.c_str() : dir.Join("none").c_str(),
        [&](const std::vector<std::string>&) { return ++records; }));
    ASSERT_NE(log, nullptr);
    cvtest::CaptureStderr capture;
    log->Write(cv::LogLevel::kDefault, "done");
    std::string text = capture.Text();
    EXPECT_EQ(records, c.journal ? 1 : 0);
    EXPECT_EQ(text, c.journal ? "" : line);
  }
}

TEST(SystemLog, OverrideForcesStderrForTheProcessLog) {
  cvtest::ScopedEnv env("CORVANTIS_LOG_STDERR", "1");
  std::unique_ptr<cv::Log> log(cv::CreateSystemLog("corvantis.opener", "opener"));
  cvtest::CaptureStderr capture;
  log->Write(cv::LogLevel::kError, "spawn failed %d", {2});
  EXPECT_EQ(capture.Text(), "corvantis-opener[" + std::to_string(getpid()) + "] spawn failed 2\n");
}

}  // namespace
