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
    return cvtest::ProgramEnv(settings_.path(), display_.name(), extra);
  }

  std::string Tract(const std::string& name) { return cvtest::WriteTract(files_, name); }

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

  // The screen of a common laptop.
  static constexpr int kScreenWidth = 1280;
  static constexpr int kScreenHeight = 800;
  cvtest::VirtualDisplay display_{"1280x800x24"};
  cvtest::TempDir settings_;
  cvtest::TempDir files_;
  cvtest::TempDir logs_;
  cvtest::TempDir bundles_;
};

TEST_F(AlertWindowE2E, OpenerDoesNotLinkGtk) {
  auto out = display_.Run("ldd '" + MacOSDir() + "/corvantis-opener'");
  ASSERT_TRUE(out);
  EXPECT_NE(out->find("libc.so.6"), std::string::npos) << *out;
  EXPECT_EQ(out->find("libglib-2.0"), std::string::npos) << *out;
  EXPECT_EQ(out->find("libgtk"), std::string::npos) << *out;
  EXPECT_EQ(out->find("libgdk"), std::string::npos) << *out;
  // Ending a launch's startup sequence is corvantis-alert's work too.
  EXPECT_EQ(out->find("libX11"), std::string::npos) << *out;
  EXPECT_EQ(out->find("libxcb"), std::string::npos) << *out;
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

// The texts that used to make windows taller than the screen, through the
// real opener: each window fits, is centred, is the opener's (WM_CLASS), its
// name or path is shortened in the middle with every control character
// written visibly, and OK dismisses it. Screenshots go to the build tree.
TEST_F(AlertWindowE2E, LongNamesAndPathsGiveWindowsThatFitTheScreen) {
  ASSERT_FALSE(display_.name().empty());
  std::string lines;
  for (int i = 0; i < 45; ++i) lines += "line\n";
  struct Case {
    const char* slug;
    std::string settings;  // CORVANTIS_AGENT_DIR
    std::string document;
    std::string starts;  // how the message begins
  };
  const std::string longSettings = "/nonexistent/" + std::string(3000, 'p');
  const Case cases[] = {
      {"settings-path-3000", longSettings, "plan.corva",
       "Corvantis can't reach its settings folder (/nonexistent/ppp"},
      {"name-45-newlines-invalid-utf8", "", files_.Join(lines + "\xff.corva"),
       "Corvantis can't open \u201cline\\nline\\n"},
      {"name-8200", "", files_.Join(std::string(8200, 'n') + ".corva"), "Corvantis can't open \u201cnnnn"},
  };
  const std::string shots = cvtest::BuildDir() + "/screenshots";
  fs::create_directories(shots);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slug);
    std::map<std::string, std::optional<std::string>> extra;
    if (!c.settings.empty()) extra["CORVANTIS_AGENT_DIR"] = c.settings;
    std::string document = c.document == "plan.corva" ? Tract("plan.corva") : c.document;
    auto opener = RunOpener(Bundle("real"), {document}, extra);
    auto window = display_.WaitForWindow(kTitle, 30);
    ASSERT_TRUE(window) << opener->Err();
    std::string text = WindowText(display_.Pid(*window));
    EXPECT_EQ(text.compare(0, c.starts.size(), c.starts), 0) << text;
    EXPECT_NE(text.find("\u2026"), std::string::npos) << text;
    EXPECT_LT(text.size(), 400u) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    auto g = display_.Geometry(*window);
    ASSERT_TRUE(g);
    EXPECT_GE(g->x, 0);
    EXPECT_GE(g->y, 0);
    EXPECT_LE(g->x + g->width, kScreenWidth);
    EXPECT_LE(g->y + g->height, kScreenHeight);
    EXPECT_NEAR(g->x, (kScreenWidth - g->width) / 2, 1);
    EXPECT_NEAR(g->y, (kScreenHeight - g->height) / 2, 1);
    std::string props = display_.Properties(*window);
    EXPECT_NE(props.find("WM_CLASS(STRING) = \"corvantis-opener\", \"Corvantis-opener\""), std::string::npos)
        << props;
    EXPECT_TRUE(display_.Screenshot(*window, shots + "/opener-" + c.slug + ".png"));
    ASSERT_TRUE(display_.ClickOk(*window));
    ASSERT_TRUE(ExitedZero(opener->Wait(30))) << opener->Err();
    EXPECT_EQ(opener->Err().find("Corvantis Agent: "), std::string::npos) << opener->Err();
  }
}

// Without a display, an alert naming a document is one block on stderr:
// one "Corvantis Agent:" line, whatever control characters the name holds,
// and no raw control byte anywhere in the opener's output.
TEST_F(AlertWindowE2E, ControlCharactersOfANameNeverReachStderrRaw) {
  struct Case {
    const char* name;
    std::string raw;
    std::string shown;
  };
  const Case cases[] = {
      {"newline", "\n", "\\n"},
      {"a fake alert line", "\nCorvantis Agent: fake", "\\nCorvantis Agent: fake"},
      {"carriage return", "\r", "\\r"},
      {"tab", "\t", "\\t"},
      {"escape sequence", "\x1b[31m", "\\x1b[31m"},
      {"bell", "\a", "\\x07"},
      {"DEL", "\x7f", "\\x7f"},
      {"C1 NEL", "\xc2\x85", "\\xc2\\x85"},
      {"C1 CSI", "\xc2\x9b" "31m", "\\xc2\\x9b" "31m"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Not valid UTF-8 either, so the opener must name it in an alert.
    std::string document = files_.Join("a" + c.raw + "b\xff.corva");
    auto opener = RunOpener(Bundle("real"), {document}, {{"DISPLAY", std::nullopt}});
    ASSERT_TRUE(ExitedZero(opener->Wait(30))) << opener->Err();
    std::string err = opener->Err();
    EXPECT_EQ(CountLines(err, "Corvantis Agent: Corvantis can't open \u201ca" + c.shown +
                                  "b\uFFFD.corva\u201d: its path isn't valid UTF-8."),
              1)
        << err;
    size_t alerts = 0;
    for (const std::string& line : cvtest::Lines(err)) alerts += line.rfind("Corvantis Agent:", 0) == 0;
    EXPECT_EQ(alerts, 1u) << err;
    for (size_t i = 0; i < err.size(); ++i) {
      unsigned char b = static_cast<unsigned char>(err[i]);
      bool c1 = b == 0xc2 && i + 1 < err.size() && static_cast<unsigned char>(err[i + 1]) <= 0x9f;
      ASSERT_FALSE((b < 0x20 && b != '\n') || b == 0x7f || c1) << "raw byte " << int(b) << " at " << i << ": " << err;
    }
  }
}

}  // namespace
