// corvantis-alert as a person meets it: a real window on a private X
// server, found by its title and dismissed with the mouse or a key.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "child_process.h"
#include "test_support.h"
#include "virtual_display.h"

namespace {

using cvtest::Process;

constexpr char kTitle[] = "Corvantis Agent";
// A standard message dialog is at most about this wide.
constexpr int kMaxDialogWidth = 640;

class AlertWindowTest : public ::testing::Test {
 protected:
  AlertWindowTest() = default;
  explicit AlertWindowTest(const std::string& screen) : display_(screen) {}

  void SetUp() override {
    if (display_.name().empty()) GTEST_FAIL() << "Xvfb did not start";
  }

  static std::string Program() { return cvtest::BuildDir() + "/Corvantis.app/Contents/MacOS/corvantis-alert"; }

  std::unique_ptr<Process> Start(const std::vector<std::string>& args,
                                 std::optional<std::string> display = std::string("<own>")) {
    std::vector<std::string> argv = {Program()};
    argv.insert(argv.end(), args.begin(), args.end());
    if (display && *display == "<own>") display = display_.name();
    return std::make_unique<Process>(argv,
                                     std::map<std::string, std::optional<std::string>>{
                                         {"DISPLAY", display}, {"WAYLAND_DISPLAY", std::nullopt}},
                                     logs_.Join("out"), logs_.Join("err"));
  }

  // Starts the program with `message` and waits for its window.
  std::string Show(const std::string& message) {
    child_ = Start({"--", message});
    auto window = display_.WaitForWindow(kTitle, 20);
    EXPECT_TRUE(window) << child_->Err();
    return window.value_or("");
  }

  static bool ExitedZero(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  }

  cvtest::VirtualDisplay display_;
  cvtest::TempDir logs_;
  std::unique_ptr<Process> child_;
};

TEST_F(AlertWindowTest, WindowIsTitledAndTheClickOnOkDismissesIt) {
  std::string window = Show("Corvantis opens .corva files only.");
  ASSERT_FALSE(window.empty());
  EXPECT_EQ(display_.Title(window), kTitle);
  EXPECT_EQ(display_.Pid(window), child_->pid());
  EXPECT_FALSE(child_->Wait(0.3)) << "gone before it was dismissed";

  ASSERT_TRUE(display_.ClickOk(window));
  EXPECT_TRUE(ExitedZero(child_->Wait(10))) << child_->Err();
  EXPECT_TRUE(display_.Windows(kTitle).empty());
  EXPECT_EQ(child_->Err(), "");
}

TEST_F(AlertWindowTest, EnterAndEscapeDismissIt) {
  for (const char* key : {"Return", "KP_Enter", "Escape"}) {
    SCOPED_TRACE(key);
    std::string window = Show("Corvantis Agent didn't respond.");
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(display_.Key(window, key));
    EXPECT_TRUE(ExitedZero(child_->Wait(10))) << child_->Err();
  }
}

TEST_F(AlertWindowTest, ClosingTheWindowDismissesIt) {
  std::string window = Show("Corvantis Agent didn't respond.");
  ASSERT_FALSE(window.empty());
  ASSERT_TRUE(display_.Close(window));
  EXPECT_TRUE(ExitedZero(child_->Wait(10))) << child_->Err();
  EXPECT_TRUE(display_.Windows(kTitle).empty());
}

TEST_F(AlertWindowTest, OtherKeysAndClicksBesideTheButtonLeaveItUp) {
  std::string window = Show("Corvantis Agent didn't respond.");
  ASSERT_FALSE(window.empty());
  ASSERT_TRUE(display_.Key(window, "a"));
  ASSERT_TRUE(display_.Key(window, "ctrl+c"));
  auto g = display_.Geometry(window);
  ASSERT_TRUE(g);
  ASSERT_TRUE(display_.Run("xdotool mousemove " + std::to_string(g->x + 30) + " " + std::to_string(g->y + 20) +
                           " click 1"));
  EXPECT_FALSE(child_->Wait(0.5));
  ASSERT_TRUE(display_.ClickOk(window));
  EXPECT_TRUE(ExitedZero(child_->Wait(10)));
}

TEST_F(AlertWindowTest, KeptAboveAsADialogThatAsksForAttention) {
  std::string window = Show("Corvantis Agent didn't respond.");
  ASSERT_FALSE(window.empty());
  std::string props = display_.Properties(window);
  EXPECT_NE(props.find("_NET_WM_STATE(ATOM) = _NET_WM_STATE_ABOVE"), std::string::npos) << props;
  EXPECT_NE(props.find("_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_DIALOG"), std::string::npos) << props;
  // The urgency flag (256) of WM_HINTS; xprop does not name it.
  bool urgent = cvtest::WaitUntil(
      [&] {
        std::string flags = display_.Run("xprop -id " + window + " -f WM_HINTS 32i ' $0' WM_HINTS").value_or("");
        size_t space = flags.rfind(' ');
        return space != std::string::npos && (std::atol(flags.c_str() + space + 1) & 256) != 0;
      },
      5);
  EXPECT_TRUE(urgent);
  // It has the keyboard focus (there is no window manager to give it).
  EXPECT_EQ(display_.Run("xdotool getwindowfocus").value_or(""), window + "\n");
  ASSERT_TRUE(display_.ClickOk(window));
  EXPECT_TRUE(ExitedZero(child_->Wait(10)));
}

TEST_F(AlertWindowTest, LongTextsWrapWithinADialogsWidth) {
  std::string word(300, 'x');
  std::string longText;
  for (int i = 0; i < 40; ++i) longText += "a sentence that goes on and on ";
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {{"short", "OK?"}, {"many words", longText}, {"one long word", word}};
  int shortHeight = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string window = Show(c.text);
    ASSERT_FALSE(window.empty());
    auto g = display_.Geometry(window);
    ASSERT_TRUE(g);
    EXPECT_LE(g->width, kMaxDialogWidth);
    EXPECT_GE(g->width, 150);
    if (shortHeight == 0) shortHeight = g->height;
    else EXPECT_GT(g->height, shortHeight + 40) << "the text did not wrap onto more lines";
    ASSERT_TRUE(display_.ClickOk(window));
    EXPECT_TRUE(ExitedZero(child_->Wait(10)));
  }
}

TEST_F(AlertWindowTest, ScreenshotOfTheWindowShowsItsText) {
  std::string window = Show(
      "The Corvantis agent isn't running, and its user service (corvantis.agent) isn't enabled. Start it "
      "with:\n\nsystemctl --user enable --now corvantis.agent.service\n\nthen open the tract again.");
  ASSERT_FALSE(window.empty());
  std::string png = logs_.Join("window.png");
  ASSERT_TRUE(display_.Screenshot(window, png));
  // Some dark text pixels on the light dialog: the mean is well below white.
  auto mean = display_.Run("convert '" + png + "' -colorspace Gray -format '%[fx:mean]' info:");
  ASSERT_TRUE(mean);
  double value = std::atof(mean->c_str());
  EXPECT_LT(value, 0.97);
  EXPECT_GT(value, 0.5);
  ASSERT_TRUE(display_.ClickOk(window));
  EXPECT_TRUE(ExitedZero(child_->Wait(10)));
}

TEST_F(AlertWindowTest, WithoutADisplayItExitsAtOnce) {
  struct Case {
    const char* name;
    std::optional<std::string> display;
  };
  const Case cases[] = {{"unset", std::nullopt}, {"empty", std::string("")}, {"nobody there", std::string(":64999")}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto child = Start({"--", "hello"}, c.display);
    auto status = child->Wait(10);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_NE(child->Err().find("cannot open display"), std::string::npos) << child->Err();
  }
}

// Its stderr is the opener's and may be a pipe whose reader is gone: what
// it writes there is lost, and it still ends as it would have.
TEST_F(AlertWindowTest, BrokenStderrLosesTheTextAndNothingElse) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::optional<std::string> display;
    int status;
  };
  const Case cases[] = {
      {"no display", {"--", "hello"}, std::nullopt, 1},
      {"bad command line", {"--bogus", "a"}, display_.name(), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    close(fds[0]);
    std::vector<std::string> argv = {Program()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    cvtest::ProcessSetup setup;
    setup.stderrFd = fds[1];
    Process child(argv, {{"DISPLAY", c.display}, {"WAYLAND_DISPLAY", std::nullopt}}, logs_.Join("out"),
                  logs_.Join("err"), setup);
    close(fds[1]);
    auto status = child.Wait(10);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), c.status);
  }
}

TEST_F(AlertWindowTest, BadCommandLineExitsWithUsage) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"a", "b"}, {"--bogus", "a"}}) {
    auto child = Start(args);
    auto status = child->Wait(10);
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 2);
    EXPECT_NE(child->Err().find("usage: corvantis-alert"), std::string::npos);
  }
  EXPECT_TRUE(display_.Windows(kTitle).empty());
}

// The screen of a common laptop, where a long message used to push the
// title or the OK button off the screen.
class AlertWindowOnALaptopScreen : public AlertWindowTest {
 protected:
  static constexpr int kWidth = 1280;
  static constexpr int kHeight = 800;
  AlertWindowOnALaptopScreen() : AlertWindowTest("1280x800x24") {}
};

// Each window fits the screen with room to spare, is centred, carries the
// opener's identity, and its OK button is there to click. The texts are
// passed to the program as they stand (the opener shortens names itself):
// the window copes with anything. The screenshots are kept in the build
// tree.
TEST_F(AlertWindowOnALaptopScreen, LongMessagesFitTheScreenAndOkStaysClickable) {
  std::string lines;
  for (int i = 0; i < 45; ++i) lines += "line\n";
  std::string lorem;
  while (lorem.size() < 65536) lorem += "Lorem ipsum dolor sit amet, consectetur adipiscing elit. ";
  struct Case {
    const char* slug;
    std::string text;
  };
  const Case cases[] = {
      {"settings-path-3000",
       "Corvantis can't reach its settings folder (/home/u/" + std::string(3000, 'p') + "): Permission denied."},
      {"name-45-newlines-invalid-utf8",
       "Corvantis can't open \u201c" + lines + "\xff\xfe.corva\u201d: its path isn't valid UTF-8."},
      {"name-8200", "Corvantis can't open \u201c" + std::string(8194, 'n') + ".corva\u201d: its path is longer "
                    "than 8192 characters."},
      {"message-64k", lorem},
      {"short", "Corvantis opens .corva files only."},
  };
  const std::string shots = cvtest::BuildDir() + "/screenshots";
  std::filesystem::create_directories(shots);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slug);
    // A generous bound that only catches a hang; the window takes well
    // under a second.
    std::string window = Show(c.text);
    ASSERT_FALSE(window.empty());
    auto g = display_.Geometry(window);
    ASSERT_TRUE(g);
    EXPECT_GE(g->x, 0);
    EXPECT_GE(g->y, 0);
    EXPECT_LE(g->x + g->width, kWidth);
    EXPECT_LE(g->y + g->height, kHeight);
    // Room left for a window manager's title bar.
    EXPECT_LE(g->height, kHeight - 80);
    EXPECT_LE(g->width, kMaxDialogWidth);
    EXPECT_NEAR(g->x, (kWidth - g->width) / 2, 1);
    EXPECT_NEAR(g->y, (kHeight - g->height) / 2, 1);
    std::string props = display_.Properties(window);
    EXPECT_NE(props.find("WM_CLASS(STRING) = \"corvantis-opener\", \"Corvantis-opener\""), std::string::npos)
        << props;
    EXPECT_TRUE(display_.Screenshot(window, shots + "/alert-" + std::string(c.slug) + ".png"));
    ASSERT_TRUE(display_.ClickOk(window));
    EXPECT_TRUE(ExitedZero(child_->Wait(10))) << child_->Err();
    EXPECT_EQ(child_->Err(), "");
  }
}

// What a screen reader finds: an alert (the role of a message dialog) whose
// description and labels hold the message, and an OK button that its
// action presses. Under a session bus of the test's own, which starts the
// accessibility bus on demand.
TEST_F(AlertWindowTest, AssistiveTechnologiesFindAnAlertWithItsMessage) {
  const std::string message =
      "The Corvantis agent isn't running. Start it with:\n\nsystemctl --user enable --now corvantis.agent.service";
  Process probe({"/usr/bin/dbus-run-session", "--", "/usr/bin/python3", CV_ATSPI_PROBE, "30", Program(), "--",
                 message},
                {{"DISPLAY", display_.name()},
                 {"WAYLAND_DISPLAY", std::nullopt},
                 {"NO_AT_BRIDGE", std::nullopt},
                 {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
                 {"AT_SPI_BUS_ADDRESS", std::nullopt}},
                logs_.Join("probe.out"), logs_.Join("probe.err"));
  ASSERT_TRUE(ExitedZero(probe.Wait(90))) << probe.Out() << probe.Err();
  std::vector<std::string> found;
  for (const std::string& line : cvtest::Lines(probe.Out())) {
    if (line.find('=') != std::string::npos && line.find("SpiRegistry") == std::string::npos) found.push_back(line);
  }
  // JSON strings: the message's line breaks are written "\n".
  const std::string quoted =
      "\"The Corvantis agent isn't running. Start it with:\\n\\nsystemctl --user enable --now "
      "corvantis.agent.service\"";
  EXPECT_THAT(found, ::testing::ElementsAre("application=\"corvantis-opener\"", "role=\"alert\"",
                                            "description=" + quoted, "label=\"Corvantis Agent\"", "label=" + quoted,
                                            "button=\"OK\"", "exit=0"))
      << probe.Err();
}

}  // namespace
