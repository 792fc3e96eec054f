// The opener against what ends programs early, with real processes and the
// reference agent: a standard error whose reader has gone, the termination
// signals at random instants (also while an alert window is up), and a
// descriptor limit that leaves too few for a run. Whatever happens, no
// request of the opener is left queued for a later agent to open unasked.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/probe.h"
#include "child_process.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using cvtest::Process;
using cvtest::ProcessSetup;

constexpr char kNotCorva[] = "Corvantis Agent: Corvantis opens .corva files only.";

class OpenerStopE2E : public ::testing::Test {
 protected:
  static std::string MacOSDir() { return cvtest::BuildDir() + "/Corvantis.app/Contents/MacOS"; }
  std::string OpenerPath() const { return MacOSDir() + "/corvantis-opener"; }
  std::string AgentPath() const {
    return cvtest::BuildDir() + "/Corvantis.app/Contents/Resources/agent/CorvantisAgent";
  }
  std::string Queue() const { return settings_.path() + "/open-requests"; }

  std::map<std::string, std::optional<std::string>> Env(
      std::map<std::string, std::optional<std::string>> extra = {}) const {
    return cvtest::ProgramEnv(settings_.path(), std::nullopt, extra);
  }

  std::string Tract(const std::string& name) { return cvtest::WriteTract(files_, name); }

  // The reference agent, holding its lock; `claimDelay` seconds before it
  // claims a request.
  std::unique_ptr<Process> StartAgent(const std::string& claimDelay = "0") {
    auto agent = std::make_unique<Process>(std::vector<std::string>{AgentPath()},
                                           Env({{"CORVANTIS_AGENT_CLAIM_DELAY", claimDelay}}),
                                           logs_.Join("agent.out"), logs_.Join("agent.err"));
    EXPECT_GT(agent->pid(), 0);
    EXPECT_TRUE(cvtest::WaitUntil([&] { return ProbeLock() == CVAgentRunning; }, 20)) << agent->Err();
    return agent;
  }

  int ProbeLock() const {
    int fd = open(settings_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return CVAgentAbsent;
    int r = CVProbeAgent(fd, nullptr, nullptr);
    close(fd);
    return r;
  }

  std::unique_ptr<Process> RunOpener(const std::vector<std::string>& args, const ProcessSetup& setup = {},
                                     std::map<std::string, std::optional<std::string>> extra = {},
                                     const std::string& opener = "") {
    std::vector<std::string> argv = {opener.empty() ? OpenerPath() : opener};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv, Env(extra), logs_.Join("opener.out"), logs_.Join("opener.err"), setup);
  }

  // Names in the queue folder ending in `suffix`.
  std::vector<std::string> QueueNames(const std::string& suffix) const {
    std::vector<std::string> out;
    for (const std::string& n : cvtest::ListDir(Queue())) {
      if (n.size() >= suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0) {
        out.push_back(n);
      }
    }
    return out;
  }

  static int Count(const std::string& text, const std::string& line) {
    auto lines = cvtest::Lines(text);
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }

  // The stems of the "request <stem> (...)" lines of a log.
  static std::vector<std::string> Posted(const std::string& log) {
    std::vector<std::string> stems;
    std::regex line("\\] request ([0-9]{13}-[0-9a-f]{32}) ");
    for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) stems.push_back((*it)[1]);
    return stems;
  }

  static bool ExitedZero(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  }

  static std::string Describe(const std::optional<int>& status) {
    if (!status) return "still running";
    if (WIFSIGNALED(*status)) return std::string("killed by ") + strsignal(WTERMSIG(*status));
    return "exit " + std::to_string(WEXITSTATUS(*status));
  }

  cvtest::TempDir settings_;
  cvtest::TempDir files_;
  cvtest::TempDir logs_;
  cvtest::TempDir bundles_;
};

// Every line to stderr fails with EPIPE: the log's lines, and the alert that
// goes to stderr for want of a display. The tract still reaches the agent.
TEST_F(OpenerStopE2E, BrokenStderrChangesNothing) {
  auto agent = StartAgent();
  struct Case {
    const char* what;
    std::vector<std::string> extra;
    const char* tract;
  } cases[] = {
      {"log lines only", {}, "plan.corva"},
      {"an alert on stderr too", {"notes.txt"}, "atlas.corva"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string tract = Tract(c.tract);
    std::vector<std::string> args = c.extra;
    args.push_back(tract);
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    close(pipeFds[0]);  // the reader has gone
    ProcessSetup setup;
    setup.stderrFd = pipeFds[1];
    auto opener = RunOpener(args, setup);
    close(pipeFds[1]);
    auto status = opener->Wait(60);
    EXPECT_TRUE(ExitedZero(status)) << Describe(status);
    EXPECT_TRUE(cvtest::WaitUntil([&] { return Count(agent->Out(), "open " + tract) == 1; }, 20))
        << agent->Out();
    EXPECT_EQ(QueueNames(".json").size() + QueueNames(".claimed").size(), 0u);
  }
  agent->Stop(SIGTERM);
}

// SIGTERM, SIGINT and SIGHUP at random instants of a run whose agent never
// claims by itself: the opener ends as the signal ends a program, and none
// of its requests stays queued. A request the agent claimed (the test plays
// the agent's part for one) is left as it is.
TEST_F(OpenerStopE2E, SignalAtARandomInstantLeavesNothingQueued) {
  auto agent = StartAgent("1000");
  unsigned seed = std::random_device{}();
  if (const char* fixed = std::getenv("CV_TEST_SEED")) seed = static_cast<unsigned>(std::strtoul(fixed, nullptr, 10));
  SCOPED_TRACE("CV_TEST_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  std::vector<std::string> tracts = {Tract("a.corva"), Tract("b.corva"), Tract("c.corva")};

  constexpr int kRounds = 3;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    for (int round = 0; round < kRounds; ++round) {
      bool claimOne = round % 2 == 1;
      SCOPED_TRACE(std::string(strsignal(sig)) + ", round " + std::to_string(round));
      auto opener = RunOpener(tracts);
      std::string claimed;
      if (claimOne) {
        ASSERT_TRUE(cvtest::WaitUntil([&] { return QueueNames(".json").size() == 3; }, 20)) << opener->Err();
        std::string json = QueueNames(".json").front();
        claimed = json.substr(0, json.size() - 5) + ".claimed";
        ASSERT_EQ(rename((Queue() + "/" + json).c_str(), (Queue() + "/" + claimed).c_str()), 0);
      }
      std::uniform_int_distribution<int> delayMs(0, claimOne ? 600 : 300);
      usleep(static_cast<useconds_t>(delayMs(random)) * 1000);
      opener->Signal(sig);
      auto status = opener->Wait(20);
      std::string log = opener->Err();
      ASSERT_TRUE(status) << log;
      EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == sig) << Describe(status) << "\n" << log;
      EXPECT_EQ(QueueNames(".json"), std::vector<std::string>{}) << log;
      for (const std::string& stem : Posted(log)) {
        if (!claimed.empty() && claimed == stem + ".claimed") {
          EXPECT_EQ(Count(log, "corvantis-opener[" + std::to_string(opener->pid()) + "] left to the agent: " + stem), 1)
              << log;
          continue;
        }
        EXPECT_NE(log.find("withdrew " + stem + " (received "), std::string::npos) << log;
      }
      if (claimOne) {
        EXPECT_EQ(QueueNames(".claimed"), std::vector<std::string>{claimed});
        EXPECT_EQ(unlink((Queue() + "/" + claimed).c_str()), 0);
      }
    }
  }
  EXPECT_EQ(agent->Out(), "");
  agent->Stop(SIGTERM);
}

// A signal while an alert window is up: the window's program ends with the
// opener, and the request waiting behind the alert is withdrawn.
TEST_F(OpenerStopE2E, SignalWhileAnAlertWindowIsUpEndsTheWindow) {
  auto agent = StartAgent("1000");
  // A bundle whose alert program is a script that stays until it is ended.
  std::string macos = bundles_.path() + "/Corvantis.app/Contents/MacOS";
  fs::create_directories(macos);
  fs::copy_file(OpenerPath(), macos + "/corvantis-opener");
  std::string pidFile = logs_.Join("window.pid");
  ASSERT_TRUE(cvtest::WriteFile(macos + "/corvantis-alert",
                                "#!/bin/sh\necho $$ > '" + pidFile + "'\nexec sleep 600\n", 0755));

  std::string tract = Tract("plan.corva");
  auto opener = RunOpener({"notes.txt", tract}, {}, {{"DISPLAY", ":97"}}, macos + "/corvantis-opener");
  ASSERT_TRUE(cvtest::WaitUntil([&] { return cvtest::ReadFile(pidFile).value_or("").find('\n') != std::string::npos; },
                                20))
      << opener->Err();
  pid_t window = std::stoi(*cvtest::ReadFile(pidFile));
  EXPECT_EQ(QueueNames(".json").size(), 1u);

  opener->Signal(SIGTERM);
  auto status = opener->Wait(20);
  std::string log = opener->Err();
  ASSERT_TRUE(status) << log;
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << Describe(status) << "\n" << log;
  EXPECT_EQ(kill(window, 0), -1) << "the alert window still runs";
  EXPECT_EQ(errno, ESRCH);
  EXPECT_EQ(QueueNames(".json"), std::vector<std::string>{});
  auto posted = Posted(log);
  ASSERT_EQ(posted.size(), 1u) << log;
  EXPECT_NE(log.find("withdrew " + posted[0] + " (received SIGTERM)"), std::string::npos) << log;
  EXPECT_EQ(log.find(kNotCorva), std::string::npos) << "the window was taken for failed\n" << log;
  agent->Stop(SIGTERM);
}

// The lowest limit tried. Below 4 the dynamic loader cannot load the
// opener. The sanitizers' runtime needs descriptors of its own (UBSan's
// type check makes a pipe), so a sanitized opener starts at 7.
#ifdef CV_SANITIZED
constexpr long kLowestLimit = 7;
#else
constexpr long kLowestLimit = 4;
#endif

// Descriptor limits from none to spare up to a comfortable run: the opener
// either hands the tract over, or says that it cannot and posts nothing. It
// never aborts, and nothing is left queued.
TEST_F(OpenerStopE2E, FewDescriptorsAreReportedAndLeaveNothingQueued) {
  auto agent = StartAgent();
  std::string tract = Tract("plan.corva");
  int handed = 0;
  for (long limit = kLowestLimit; limit <= 24; ++limit) {
    SCOPED_TRACE("RLIMIT_NOFILE " + std::to_string(limit));
    ProcessSetup setup;
    setup.maxFiles = limit;
    auto opener = RunOpener({tract}, setup);
    auto status = opener->Wait(60);
    std::string log = opener->Err();
    EXPECT_TRUE(ExitedZero(status)) << Describe(status) << "\n" << log;
    bool told = log.find("Corvantis Agent: Corvantis can't reach its settings folder (") != std::string::npos &&
                log.find("Too many open files") != std::string::npos;
    bool handled = log.find("] handled ") != std::string::npos;
    EXPECT_NE(told, handled) << log;
    if (limit <= 6) {
      EXPECT_TRUE(told) << log;
    }
    if (handled) ++handed;
    EXPECT_EQ(QueueNames(".json").size() + QueueNames(".claimed").size(), 0u) << log;
  }
  EXPECT_GT(handed, 0) << "no limit was enough";
  EXPECT_TRUE(cvtest::WaitUntil([&] { return Count(agent->Out(), "open " + tract) == handed; }, 20)) << agent->Out();
  agent->Stop(SIGTERM);
}

}  // namespace
