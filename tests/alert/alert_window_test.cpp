// corvantis-alert as a person meets it: a real window on a private X
// server, found by its title and dismissed with the mouse or a key.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

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

}  // namespace
