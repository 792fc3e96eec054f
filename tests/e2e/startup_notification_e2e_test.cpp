// The launch's startup feedback, as a desktop launcher sees it: a launch
// with DESKTOP_STARTUP_ID that shows no window ends its startup sequence
// with the "remove" message of the X11 startup-notification protocol, sent
// to the root window once the launch's requests are handled; also when the
// opener stays as the parent of the agent it spawned. Without an
// identifier nothing is sent. The opener itself never opens the display:
// corvantis-alert does it for it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <sys/wait.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "agent/probe.h"
#include "agent/scan.h"
#include "child_process.h"
#include "test_support.h"
#include "virtual_display.h"

// Last: Xlib defines macros (None, Status, Bool) that other headers use as names.
#include <X11/Xlib.h>

namespace {

using cvtest::Process;

// Collects the startup-notification messages sent to the root window: each
// is a run of _NET_STARTUP_INFO_BEGIN / _NET_STARTUP_INFO client messages of
// 20 bytes, ended by a NUL byte.
class StartupInfoListener {
 public:
  explicit StartupInfoListener(const std::string& display) {
    display_ = XOpenDisplay(display.c_str());
    if (display_ == nullptr) return;
    begin_ = XInternAtom(display_, "_NET_STARTUP_INFO_BEGIN", False);
    more_ = XInternAtom(display_, "_NET_STARTUP_INFO", False);
    XSelectInput(display_, DefaultRootWindow(display_), PropertyChangeMask);
    XSync(display_, False);
  }
  ~StartupInfoListener() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  bool ok() const { return display_ != nullptr; }

  // Waits up to `seconds` for a message that starts with `prefix`; every
  // message seen meanwhile is kept in messages().
  bool WaitFor(const std::string& prefix, double seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      for (const std::string& m : messages_) {
        if (m.compare(0, prefix.size(), prefix) == 0) return true;
      }
      if (std::chrono::steady_clock::now() >= until) return false;
      Drain();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // Reads what has arrived so far.
  void Drain() {
    while (XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type != ClientMessage || event.xclient.format != 8) continue;
      if (event.xclient.message_type == begin_) partial_.clear();
      else if (event.xclient.message_type != more_) continue;
      for (int i = 0; i < 20; ++i) {
        char c = event.xclient.data.b[i];
        if (c == '\0') {
          messages_.push_back(partial_);
          partial_.clear();
          break;
        }
        partial_ += c;
      }
    }
  }
  const std::vector<std::string>& messages() const { return messages_; }

 private:
  Display* display_ = nullptr;
  Atom begin_ = None;
  Atom more_ = None;
  std::string partial_;
  std::vector<std::string> messages_;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += "[" + l + "] ";
  return out;
}

class StartupNotificationE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(display_.name().empty()) << "Xvfb did not start";
    listener_ = std::make_unique<StartupInfoListener>(display_.name());
    ASSERT_TRUE(listener_->ok());
  }

  static std::string MacOSDir() { return cvtest::BuildDir() + "/Corvantis.app/Contents/MacOS"; }
  std::string AgentPath() const {
    return cvtest::BuildDir() + "/Corvantis.app/Contents/Resources/agent/CorvantisAgent";
  }

  std::map<std::string, std::optional<std::string>> Env(
      std::map<std::string, std::optional<std::string>> extra = {}) const {
    // A launch's identifiers only where a test gives them.
    cvtest::EnvChanges env = {{"DESKTOP_STARTUP_ID", std::nullopt}, {"XDG_ACTIVATION_TOKEN", std::nullopt}};
    for (const auto& [name, value] : extra) env[name] = value;
    return cvtest::ProgramEnv(settings_.path(), display_.name(), env);
  }

  std::string Tract(const std::string& name) { return cvtest::WriteTract(files_, name); }

  std::unique_ptr<Process> StartAgent() {
    auto agent = std::make_unique<Process>(std::vector<std::string>{AgentPath()}, Env(), logs_.Join("agent.out"),
                                           logs_.Join("agent.err"));
    EXPECT_TRUE(cvtest::WaitUntil(
        [&] {
          int fd = open(settings_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
          if (fd < 0) return false;
          int r = CVProbeAgent(fd, nullptr, nullptr);
          close(fd);
          return r == CVAgentRunning;
        },
        20))
        << agent->Err();
    return agent;
  }

  std::unique_ptr<Process> RunOpener(const std::vector<std::string>& args,
                                     std::map<std::string, std::optional<std::string>> extra = {}) {
    std::vector<std::string> argv = {MacOSDir() + "/corvantis-opener"};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv, Env(extra), logs_.Join("opener.out"), logs_.Join("opener.err"));
  }

  static bool ExitedZero(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  }

  cvtest::VirtualDisplay display_;
  std::unique_ptr<StartupInfoListener> listener_;
  cvtest::TempDir settings_;
  cvtest::TempDir files_;
  cvtest::TempDir logs_;
};

constexpr char kId[] = "corvantis-test-1234_TIME0";
constexpr char kRemove[] = "remove: ID=\"corvantis-test-1234_TIME0\"";

TEST_F(StartupNotificationE2E, HandingATractToARunningAgentEndsTheSequence) {
  auto agent = StartAgent();
  auto opener = RunOpener({Tract("plan.corva")}, {{"DESKTOP_STARTUP_ID", kId}});
  ASSERT_TRUE(ExitedZero(opener->Wait(60))) << opener->Err();
  EXPECT_NE(opener->Err().find("handled "), std::string::npos) << opener->Err();
  EXPECT_TRUE(listener_->WaitFor(kRemove, 30)) << Joined(listener_->messages()) << opener->Err();
  // The sequence ends once, and nothing else is said about it.
  listener_->Drain();
  EXPECT_EQ(listener_->messages(), std::vector<std::string>{kRemove});
}

// The opener spawns the bundled agent and stays as its parent until the
// agent exits: the sequence ends when the tract is handled, not then.
TEST_F(StartupNotificationE2E, OpenerThatStaysAsItsAgentsParentEndsTheSequence) {
  pid_t young = 0;
  pid_t old = CVFindOldFrozenAgent(0, &young);
  if (old != 0 || young != 0) GTEST_SKIP() << "another agent process runs: pid " << (old ? old : young);
  auto opener = RunOpener({Tract("plan.corva")}, {{"DESKTOP_STARTUP_ID", kId}});
  std::smatch spawned;
  std::string log;
  ASSERT_TRUE(cvtest::WaitUntil(
      [&] {
        log = opener->Err();
        return log.find("handled ") != std::string::npos &&
               std::regex_search(log, spawned, std::regex("spawned agent pid ([0-9]+)"));
      },
      60))
      << log;
  EXPECT_TRUE(listener_->WaitFor(kRemove, 30)) << Joined(listener_->messages()) << opener->Err();
  EXPECT_FALSE(opener->Wait(0)) << "the opener stays while its agent runs";
  pid_t agent = std::stoi(spawned[1]);
  ASSERT_EQ(kill(agent, SIGTERM), 0);
  ASSERT_TRUE(ExitedZero(opener->Wait(60))) << opener->Err();
  listener_->Drain();
  EXPECT_EQ(listener_->messages(), std::vector<std::string>{kRemove});
}

TEST_F(StartupNotificationE2E, WithoutAnIdentifierNothingIsSent) {
  auto agent = StartAgent();
  auto opener = RunOpener({Tract("plan.corva")});
  ASSERT_TRUE(ExitedZero(opener->Wait(60))) << opener->Err();
  // Nothing can come later than this: the opener is gone and started no
  // helper.
  EXPECT_FALSE(listener_->WaitFor("", 2)) << Joined(listener_->messages());
  EXPECT_EQ(opener->Err().find("startup sequence"), std::string::npos) << opener->Err();
}

// A launch that shows an alert gives its identifier to that window, which
// ends the sequence by appearing; later windows get none, and no second
// "remove" follows.
TEST_F(StartupNotificationE2E, TheFirstAlertWindowTakesTheIdentifier) {
  auto opener = RunOpener({"notes.txt", Tract("plan.corva")},
                          {{"DESKTOP_STARTUP_ID", kId}, {"CORVANTIS_AGENT_DIR", "relative/settings"}});
  std::vector<std::string> envs;
  for (int i = 0; i < 2; ++i) {
    auto window = display_.WaitForWindow("Corvantis Agent", 30);
    ASSERT_TRUE(window) << opener->Err();
    pid_t pid = display_.Pid(*window);
    std::string environ = cvtest::ReadFile("/proc/" + std::to_string(pid) + "/environ").value_or("");
    std::string mine;
    for (const char* name : {"DESKTOP_STARTUP_ID=", "XDG_ACTIVATION_TOKEN="}) {
      size_t at = environ.find(std::string("\0", 1) + name);
      if (at != std::string::npos) mine += environ.substr(at + 1, environ.find('\0', at + 1) - at - 1) + ";";
    }
    envs.push_back(mine);
    if (i == 0) {
      EXPECT_TRUE(listener_->WaitFor(kRemove, 30)) << Joined(listener_->messages());
    }
    ASSERT_TRUE(display_.ClickOk(*window));
    ASSERT_TRUE(cvtest::WaitUntil([&] { return kill(pid, 0) != 0 || display_.Windows("Corvantis Agent").empty(); }, 10));
  }
  ASSERT_TRUE(ExitedZero(opener->Wait(30))) << opener->Err();
  EXPECT_EQ(envs, (std::vector<std::string>{std::string("DESKTOP_STARTUP_ID=") + kId + ";XDG_ACTIVATION_TOKEN=" + kId +
                                                ";",
                                            ""}));
  // The toolkit may say it more than once; the opener adds nothing.
  listener_->Drain();
  for (const std::string& m : listener_->messages()) EXPECT_EQ(m, kRemove);
  EXPECT_EQ(opener->Err().find("ending startup sequence"), std::string::npos) << opener->Err();
}

}  // namespace
