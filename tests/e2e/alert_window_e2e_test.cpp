// The opener's alerts as a person sees them: the real opener on a private
// X server shows each alert as a corvantis-alert window, one after the
// other, and quits once they are dismissed. Without a way to show a window
// the message goes to stderr instead.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/scan.h"
#include "child_process.h"
#include "opener/alert_texts.h"
#include "test_support.h"
#include "virtual_display.h"

namespace {

namespace fs = std::filesystem;
using cvtest::Process;

constexpr char kTitle[] = "Corvantis Agent";

class AlertWindowE2E : public ::testing::Test {
 protected:
  static std::string MacOSDir() { return cvtest::BuildDir() + "/Corvantis.app/Contents/MacOS"; }

  std::map<std::string, std::optional<std::string>> Env(
      std::map<std::string, std::optional<std::string>> extra = {}) const {
    std::map<std::string, std::optional<std::string>> env = {
        {"CORVANTIS_AGENT_DIR", settings_.path()},
        {"CORVANTIS_LOG_STDERR", "1"},
        {"DISPLAY", display_.name()},
        {"WAYLAND_DISPLAY", std::nullopt},
    };
    for (auto& [k, v] : extra) env[k] = v;
    return env;
  }

  std::string Tract(const std::string& name) {
    std::string path = files_.Join(name);
    EXPECT_TRUE(cvtest::WriteFile(path, "tract\n"));
    return path;
  }

  // A bundle of the opener alone, without the agent copy; `alert` is what
  // lies beside the opener as corvantis-alert: "real", "missing", or a shell
  // script body.
  std::string Bundle(const std::string& alert) {
    std::string macos = bundles_.path() + "/Corvantis.app/Contents/MacOS";
    fs::create_directories(macos);
    fs::copy_file(MacOSDir() + "/corvantis-opener", macos + "/corvantis-opener", fs::copy_options::overwrite_existing);
    fs::remove(macos + "/corvantis-alert");
    if (alert == "real") {
      fs::copy_file(MacOSDir() + "/corvantis-alert", macos + "/corvantis-alert");
    } else if (alert != "missing") {
      EXPECT_TRUE(cvtest::WriteFile(macos + "/corvantis-alert", "#!/bin/sh\n" + alert + "\n", 0755));
    }
    return macos + "/corvantis-opener";
  }

  std::unique_ptr<Process> RunOpener(const std::string& opener, const std::vector<std::string>& args,
                                     std::map<std::string, std::optional<std::string>> extra = {}) {
    std::vector<std::string> argv = {opener};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv, Env(extra), logs_.Join("opener.out"), logs_.Join("opener.err"));
  }

  // The message a window shows: the last argument of its program.
  static std::string WindowText(pid_t pid) {
    std::string cmdline = cvtest::ReadFile("/proc/" + std::to_string(pid) + "/cmdline").value_or("");
    if (cmdline.empty()) return "";
    cmdline.pop_back();
    return cmdline.substr(cmdline.rfind('\0') + 1);
  }

  // Waits for the next alert window, checks that it is a child of `opener`
  // showing `text`, and clicks its OK button.
  void SeeAndDismiss(const Process& opener, const std::string& text, const std::string& screenshot = "") {
    auto window = display_.WaitForWindow(kTitle, 30);
    ASSERT_TRUE(window) << opener.Err();
    EXPECT_EQ(display_.Title(*window), kTitle);
    pid_t pid = display_.Pid(*window);
    ASSERT_GT(pid, 0);
    std::string stat = cvtest::ReadFile("/proc/" + std::to_string(pid) + "/stat").value_or("");
    std::smatch parent;
    ASSERT_TRUE(std::regex_search(stat, parent, std::regex("\\) [A-Za-z] ([0-9]+) "))) << stat;
    EXPECT_EQ(std::stoi(parent[1]), opener.pid()) << "not the opener's child";
    EXPECT_EQ(WindowText(pid), text);
    if (!screenshot.empty()) {
      fs::create_directories(fs::path(screenshot).parent_path());
      EXPECT_TRUE(display_.Screenshot(*window, screenshot));
    }
    ASSERT_TRUE(display_.ClickOk(*window));
    EXPECT_TRUE(cvtest::WaitUntil([&] { return kill(pid, 0) != 0 || display_.Windows(kTitle).empty(); }, 10));
  }

  static bool ExitedZero(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  }

  static int CountLines(const std::string& text, const std::string& line) {
    auto lines = cvtest::Lines(text);
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }

  cvtest::VirtualDisplay display_;
  cvtest::TempDir settings_;
  cvtest::TempDir files_;
  cvtest::TempDir logs_;
  cvtest::TempDir bundles_;
};

TEST_F(AlertWindowE2E, OpenerDoesNotLinkGtk) {
  auto out = display_.Run("ldd '" + MacOSDir() + "/corvantis-opener'");
  ASSERT_TRUE(out);
  EXPECT_NE(out->find("libglib-2.0"), std::string::npos) << *out;
  EXPECT_EQ(out->find("libgtk"), std::string::npos) << *out;
  EXPECT_EQ(out->find("libgdk"), std::string::npos) << *out;
}

// No agent, no user service manager, no agent copy in the bundle: "A3", the
// advice to enable the service, in a window. Its screenshot is kept in the
// build tree.
TEST_F(AlertWindowE2E, NoServiceAlertIsAWindowAndOkEndsTheOpener) {
  ASSERT_FALSE(display_.name().empty());
  auto opener = RunOpener(Bundle("real"), {Tract("plan.corva")});
  SeeAndDismiss(*opener, cvtext::kNoService, cvtest::BuildDir() + "/screenshots/alert-A3.png");
  ASSERT_TRUE(ExitedZero(opener->Wait(30))) << opener->Err();
  std::string log = opener->Err();
  EXPECT_NE(log.find("alert A3: "), std::string::npos) << log;
  EXPECT_EQ(log.find("Corvantis Agent: "), std::string::npos) << log;
  EXPECT_NE(log.find("] done"), std::string::npos) << log;
}

TEST_F(AlertWindowE2E, QueuedAlertsComeOneAfterTheOtherOldestFirst) {
  ASSERT_FALSE(display_.name().empty());
  auto opener = RunOpener(Bundle("real"), {"notes.txt", Tract("plan.corva")},
                          {{"CORVANTIS_AGENT_DIR", "relative/settings"}});
  SeeAndDismiss(*opener, cvtext::kNotCorva);
  SeeAndDismiss(*opener, "Corvantis can't reach its settings folder (~/Corvantis): its location isn't an absolute path.");
  ASSERT_TRUE(ExitedZero(opener->Wait(30))) << opener->Err();
  EXPECT_TRUE(display_.Windows(kTitle).empty());
  EXPECT_EQ(opener->Err().find("Corvantis Agent: "), std::string::npos) << opener->Err();
}

// The opener's own agent child exits while a window is up: its exit is
// handled meanwhile, and the "A5" it raises is the next window.
TEST_F(AlertWindowE2E, AgentExitDuringAnAlertIsHandledAndItsAlertFollows) {
  ASSERT_FALSE(display_.name().empty());
  pid_t young = 0;
  pid_t old = CVFindOldFrozenAgent(0, &young);
  if (old != 0 || young != 0) GTEST_SKIP() << "another agent process runs: pid " << (old ? old : young);

  auto opener = RunOpener(MacOSDir() + "/corvantis-opener", {"notes.txt", Tract("plan.corva")},
                          {{"CORVANTIS_AGENT_CLAIM_DELAY", "1000"}});
  auto window = display_.WaitForWindow(kTitle, 30);
  ASSERT_TRUE(window) << opener->Err();
  EXPECT_EQ(WindowText(display_.Pid(*window)), cvtext::kNotCorva);

  std::smatch spawned;
  std::string log;
  ASSERT_TRUE(cvtest::WaitUntil(
      [&] {
        log = opener->Err();
        return std::regex_search(log, spawned, std::regex("spawned agent pid ([0-9]+)"));
      },
      20))
      << log;
  pid_t agent = std::stoi(spawned[1]);
  ASSERT_EQ(kill(agent, SIGTERM), 0);
  std::string exited = "agent pid " + std::to_string(agent) + " exited (status 0)";
  EXPECT_TRUE(cvtest::WaitUntil([&] { return opener->Err().find(exited) != std::string::npos; }, 20))
      << opener->Err();
  EXPECT_EQ(display_.Windows(kTitle).size(), 1u) << "the first window is still the only one";

  SeeAndDismiss(*opener, cvtext::kNotCorva);
  SeeAndDismiss(*opener, cvtext::kNoResponse);
  ASSERT_TRUE(ExitedZero(opener->Wait(30))) << opener->Err();
  log = opener->Err();
  EXPECT_NE(log.find("withdrew "), std::string::npos) << log;
  EXPECT_EQ(log.find("Corvantis Agent: "), std::string::npos) << log;
  EXPECT_LT(log.find(exited), log.find("] done"));
}

TEST_F(AlertWindowE2E, WithoutAWindowTheMessageGoesToStderr) {
  struct Case {
    const char* name;
    std::string alert;
    std::optional<std::string> display;  // "<own>" for the test's display
  };
  const Case cases[] = {
      {"no display", "real", std::nullopt},
      {"empty display", "real", std::string("")},
      {"unreachable display", "real", std::string(":64999")},
      {"alert program missing", "missing", std::string("<own>")},
      {"alert program failing", "exit 1", std::string("<own>")},
      {"alert program killed", "kill -KILL $$", std::string("<own>")},
  };
  const std::string line = "Corvantis Agent: Corvantis can't reach its settings folder (~/Corvantis): its location "
                           "isn't an absolute path.";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string> display = c.display;
    if (display && *display == "<own>") display = display_.name();
    auto opener = RunOpener(Bundle(c.alert), {Tract("plan.corva")},
                            {{"CORVANTIS_AGENT_DIR", "relative/settings"}, {"DISPLAY", display}});
    ASSERT_TRUE(ExitedZero(opener->Wait(30))) << opener->Err();
    EXPECT_EQ(CountLines(opener->Err(), line), 1) << opener->Err();
    EXPECT_TRUE(display_.Windows(kTitle).empty());
  }
}

}  // namespace
