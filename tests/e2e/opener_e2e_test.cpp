// The whole program with real processes and real files: the built opener
// hands tracts to the built reference agent through a temporary settings
// folder. No display and no user service manager are assumed, so alerts
// arrive on stderr and the opener falls back to spawning its bundled agent.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include <algorithm>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "agent/probe.h"
#include "agent/scan.h"
#include "child_process.h"
#include "test_support.h"

namespace {

using cvtest::Lines;
using cvtest::Process;

constexpr char kNoResponse[] =
    "Corvantis Agent: Corvantis Agent didn't respond. Check its menu bar icon (quit and reopen it if it's "
    "stuck), then open the tract again.";
constexpr char kNotCorva[] = "Corvantis Agent: Corvantis opens .corva files only.";
constexpr char kTooMany[] = "Corvantis Agent: Open at most 32 tracts at a time.";

class OpenerE2E : public ::testing::Test {
 protected:
  std::string OpenerPath() const { return cvtest::BuildDir() + "/Corvantis.app/Contents/MacOS/corvantis-opener"; }
  std::string AgentPath() const {
    return cvtest::BuildDir() + "/Corvantis.app/Contents/Resources/agent/CorvantisAgent";
  }
  std::string Settings() const { return settings_.path(); }

  // The environment of every program run here: the test's settings folder,
  // log lines on stderr, no display, plus `extra`.
  std::map<std::string, std::optional<std::string>> Env(
      std::map<std::string, std::optional<std::string>> extra = {}) const {
    return cvtest::ProgramEnv(Settings(), std::nullopt, extra);
  }

  std::string Tract(const std::string& name) { return cvtest::WriteTract(files_, name); }

  // Starts the reference agent and waits until it holds its lock.
  std::unique_ptr<Process> StartAgent(std::map<std::string, std::optional<std::string>> extra = {}) {
    auto agent = std::make_unique<Process>(std::vector<std::string>{AgentPath()}, Env(extra), logs_.Join("agent.out"),
                                           logs_.Join("agent.err"));
    EXPECT_GT(agent->pid(), 0);
    bool locked = cvtest::WaitUntil([&] { return ProbeLock() == CVAgentRunning; }, 20);
    EXPECT_TRUE(locked) << agent->Err();
    return agent;
  }

  int ProbeLock() const {
    int fd = open(Settings().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return CVAgentAbsent;
    int r = CVProbeAgent(fd, nullptr, nullptr);
    close(fd);
    return r;
  }

  std::unique_ptr<Process> RunOpener(const std::vector<std::string>& args,
                                     std::map<std::string, std::optional<std::string>> extra = {},
                                     const std::string& cwd = "") {
    std::vector<std::string> argv = {OpenerPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv, Env(extra), logs_.Join("opener.out"), logs_.Join("opener.err"), cwd);
  }

  // Entries of the queue folder ending in `suffix`.
  int QueueCount(const std::string& suffix) const {
    auto names = cvtest::ListDir(Settings() + "/open-requests");
    return static_cast<int>(std::count_if(names.begin(), names.end(), [&](const std::string& n) {
      return n.size() >= suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0;
    }));
  }

  static bool ExitedZero(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  }

  static int CountLines(const std::string& text, const std::string& line) {
    auto lines = Lines(text);
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }

  cvtest::TempDir settings_;
  cvtest::TempDir files_;
  cvtest::TempDir logs_;
};

TEST_F(OpenerE2E, RunningAgentClaimsAndHandlesTheTract) {
  auto agent = StartAgent();
  std::string tract = Tract("plan.corva");

  auto opener = RunOpener({tract});
  auto status = opener->Wait(60);
  ASSERT_TRUE(ExitedZero(status)) << opener->Err();

  EXPECT_EQ(CountLines(agent->Out(), "open " + tract), 1) << agent->Out();
  std::string log = opener->Err();
  EXPECT_NE(log.find("handled "), std::string::npos) << log;
  EXPECT_NE(log.find("] done"), std::string::npos) << log;
  EXPECT_EQ(log.find("spawned agent"), std::string::npos) << log;
  EXPECT_EQ(log.find("Corvantis Agent: "), std::string::npos) << log;
  EXPECT_EQ(QueueCount(".json") + QueueCount(".claimed"), 0);
  EXPECT_TRUE(ExitedZero(agent->Stop(SIGTERM)));
}

TEST_F(OpenerE2E, PlainLaunchSendsReopenToTheRunningAgent) {
  auto agent = StartAgent();

  auto opener = RunOpener({});
  ASSERT_TRUE(ExitedZero(opener->Wait(60))) << opener->Err();

  EXPECT_EQ(CountLines(agent->Out(), "reopen"), 1) << agent->Out();
  EXPECT_TRUE(ExitedZero(agent->Stop(SIGTERM)));
}

TEST_F(OpenerE2E, WithoutAnAgentTheBundledCopyIsSpawnedAndWaitedFor) {
  // The opener looks for agent runs of this user in any settings folder; one
  // left running by something else would rightly stop it from spawning.
  pid_t young = 0;
  pid_t old = CVFindOldFrozenAgent(0, &young);
  if (old != 0 || young != 0) GTEST_SKIP() << "another agent process runs: pid " << (old ? old : young);
  std::string tract = Tract("plan.corva");

  auto opener = RunOpener({tract}, {{"CORVANTIS_AGENT_IDLE_EXIT", "1"}});
  auto status = opener->Wait(60);
  ASSERT_TRUE(ExitedZero(status)) << opener->Err();

  std::string log = opener->Err();
  std::smatch spawned;
  ASSERT_TRUE(std::regex_search(log, spawned, std::regex("spawned agent pid ([0-9]+)"))) << log;
  std::string pid = spawned[1];
  // The opener stayed the agent's parent: it reaped it before it quit.
  size_t exited = log.find("agent pid " + pid + " exited (status 0)");
  ASSERT_NE(exited, std::string::npos) << log;
  EXPECT_LT(exited, log.find("] done"));
  EXPECT_NE(kill(std::stoi(pid), 0), 0);

  auto agentLog = cvtest::ReadFile(Settings() + "/agent.log");
  ASSERT_TRUE(agentLog);
  EXPECT_EQ(CountLines(*agentLog, "open " + tract), 1) << *agentLog;
  EXPECT_EQ(QueueCount(".json") + QueueCount(".claimed"), 0);
}

TEST_F(OpenerE2E, AgentThatNeverClaimsGetsItsRequestWithdrawn) {
  auto agent = StartAgent({{"CORVANTIS_AGENT_CLAIM_DELAY", "1000"}});
  std::string tract = Tract("plan.corva");

  auto opener = RunOpener({tract});
  // The claim deadline of a running agent is 15 s.
  auto status = opener->Wait(60);
  ASSERT_TRUE(ExitedZero(status)) << opener->Err();

  std::string log = opener->Err();
  EXPECT_EQ(CountLines(log, kNoResponse), 1) << log;
  EXPECT_NE(log.find("withdrew "), std::string::npos) << log;
  EXPECT_EQ(QueueCount(".json"), 0);
  EXPECT_EQ(agent->Out(), "");
  EXPECT_TRUE(ExitedZero(agent->Stop(SIGTERM)));
}

TEST_F(OpenerE2E, RejectedArgumentsAlertOnceAndPostNothing) {
  struct Case {
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {{"notes.txt"}},
      {{"https://example.com/plan.corva"}},
      {{"plan.corva.txt", "archive.zip", "README"}},
  };
  for (const Case& c : cases) {
    auto opener = RunOpener(c.args);
    ASSERT_TRUE(ExitedZero(opener->Wait(60))) << opener->Err();
    std::string log = opener->Err();
    EXPECT_EQ(CountLines(log, kNotCorva), 1) << log;
    EXPECT_EQ(log.find("request "), std::string::npos) << log;
    EXPECT_EQ(log.find("kickstart"), std::string::npos) << log;
    EXPECT_EQ(QueueCount(".json"), 0);
  }
}

TEST_F(OpenerE2E, FileUrisAndRelativePathsAreDocuments) {
  auto agent = StartAgent();
  std::string tract = Tract("My Plan.CORVA");

  // A file URI with an escaped space, as a desktop entry's %U passes it, and
  // a path relative to the opener's working folder: both name the same file.
  auto byUri = RunOpener({"file://" + files_.path() + "/My%20Plan.CORVA"});
  ASSERT_TRUE(ExitedZero(byUri->Wait(60))) << byUri->Err();
  auto byRelativePath = RunOpener({"My Plan.CORVA"}, {}, files_.path());
  ASSERT_TRUE(ExitedZero(byRelativePath->Wait(60))) << byRelativePath->Err();

  EXPECT_EQ(CountLines(agent->Out(), "open " + tract), 2) << agent->Out();
  EXPECT_TRUE(ExitedZero(agent->Stop(SIGTERM)));
}

TEST_F(OpenerE2E, RelativeSettingsFolderIsReported) {
  std::string tract = Tract("plan.corva");

  auto opener = RunOpener({tract}, {{"CORVANTIS_AGENT_DIR", "relative/settings"}});
  ASSERT_TRUE(ExitedZero(opener->Wait(60))) << opener->Err();

  std::string log = opener->Err();
  EXPECT_EQ(CountLines(log,
                       "Corvantis Agent: Corvantis can't reach its settings folder (~/Corvantis): its location "
                       "isn't an absolute path."),
            1)
      << log;
  EXPECT_EQ(log.find("kickstart"), std::string::npos) << log;
}

TEST_F(OpenerE2E, FortyDocumentsPostExactlyThirtyTwo) {
  auto agent = StartAgent();
  std::vector<std::string> tracts;
  for (int i = 0; i < 40; ++i) tracts.push_back(Tract("t" + std::to_string(100 + i) + ".corva"));

  auto opener = RunOpener(tracts);
  ASSERT_TRUE(ExitedZero(opener->Wait(90))) << opener->Err();

  std::string log = opener->Err();
  EXPECT_EQ(CountLines(log, kTooMany), 1) << log;
  // The agent handles requests in stem order, which is posting order.
  std::vector<std::string> expected;
  for (int i = 0; i < 32; ++i) expected.push_back("open " + tracts[static_cast<size_t>(i)]);
  EXPECT_EQ(Lines(agent->Out()), expected);
  EXPECT_EQ(QueueCount(".json") + QueueCount(".claimed"), 0);
  EXPECT_TRUE(ExitedZero(agent->Stop(SIGTERM)));
}

// A session bus that accepts connections and never answers: the opener has
// no business with it, so it is neither delayed nor contacted.
TEST_F(OpenerE2E, SessionBusThatNeverAnswersIsNotContacted) {
  auto agent = StartAgent();
  std::string tract = Tract("plan.corva");
  cvtest::TempDir busDir;
  const std::string bus = busDir.Join("bus");
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, bus.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 16), 0);

  auto opener = RunOpener({tract}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + bus}});
  // A client of that bus would wait for its answer forever (25 s at least);
  // the opener finishes as without a bus.
  auto status = opener->Wait(20);
  ASSERT_TRUE(ExitedZero(status)) << opener->Err();
  EXPECT_EQ(CountLines(agent->Out(), "open " + tract), 1) << agent->Out();
  struct pollfd pending = {listener, POLLIN, 0};
  EXPECT_EQ(poll(&pending, 1, 0), 0) << "the opener connected to the session bus";
  close(listener);
  EXPECT_TRUE(ExitedZero(agent->Stop(SIGTERM)));
}

// Every file below `root`, as paths relative to it (folders end in "/").
std::vector<std::string> Tree(const std::string& root, const std::string& below = "") {
  std::vector<std::string> out;
  for (const std::string& name : cvtest::ListDir(root + "/" + below)) {
    std::string rel = below.empty() ? name : below + "/" + name;
    struct stat st;
    bool dir = lstat((root + "/" + rel).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    out.push_back(dir ? rel + "/" : rel);
    if (dir) {
      auto inner = Tree(root, rel);
      out.insert(out.end(), inner.begin(), inner.end());
    }
  }
  return out;
}

// With an empty home and no per-user runtime or cache folder named, the
// opener writes nothing but its settings folder ($HOME/Corvantis).
TEST_F(OpenerE2E, NothingIsCreatedOutsideTheSettingsFolder) {
  cvtest::TempDir home;
  const std::map<std::string, std::optional<std::string>> env = {
      {"HOME", home.path()},          {"CORVANTIS_AGENT_DIR", std::nullopt}, {"APPDATA", std::nullopt},
      {"XDG_RUNTIME_DIR", std::nullopt}, {"XDG_CACHE_HOME", std::nullopt},   {"XDG_CONFIG_HOME", std::nullopt},
      {"XDG_DATA_HOME", std::nullopt},   {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
  };
  const std::string settings = home.path() + "/Corvantis";
  ASSERT_EQ(mkdir(settings.c_str(), 0700), 0);
  auto agent = std::make_unique<Process>(std::vector<std::string>{AgentPath()}, Env(env), logs_.Join("agent.out"),
                                         logs_.Join("agent.err"));
  ASSERT_TRUE(cvtest::WaitUntil([&] { return cvtest::ReadFile(settings + "/agent.lock").has_value(); }, 20));
  std::string tract = Tract("plan.corva");

  auto opener = RunOpener({tract, "notes.txt"}, env);
  ASSERT_TRUE(ExitedZero(opener->Wait(60))) << opener->Err();
  EXPECT_EQ(CountLines(agent->Out(), "open " + tract), 1) << agent->Out();
  EXPECT_TRUE(ExitedZero(agent->Stop(SIGTERM)));
  for (const std::string& path : Tree(home.path())) {
    EXPECT_EQ(path.rfind("Corvantis/", 0), 0u) << path << " was created outside the settings folder";
  }
}

// inotify taken away (instances used up): the queue watch cannot be set up,
// and the tick timer alone still follows the request to the end.
TEST_F(OpenerE2E, WithoutTheQueueWatchTheTimerAloneFinishes) {
  auto agent = StartAgent();
  std::string tract = Tract("plan.corva");

  auto opener = RunOpener({tract}, {{"LD_PRELOAD", CV_NO_INOTIFY_LIB}, {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
  ASSERT_TRUE(ExitedZero(opener->Wait(60))) << opener->Err();
  EXPECT_EQ(CountLines(agent->Out(), "open " + tract), 1) << agent->Out();
  std::string log = opener->Err();
  EXPECT_NE(log.find("handled "), std::string::npos) << log;
  EXPECT_NE(log.find("] done"), std::string::npos) << log;
  EXPECT_EQ(QueueCount(".json") + QueueCount(".claimed"), 0);
  EXPECT_TRUE(ExitedZero(agent->Stop(SIGTERM)));
}

// The agent is killed while it holds a claimed request: the opener tells at
// once instead of following the .claimed for 120 s, and leaves the file.
TEST_F(OpenerE2E, IndependentAgentKilledAfterClaimingIsReportedAtOnce) {
  auto agent = StartAgent({{"CORVANTIS_AGENT_HANDLE_DELAY", "1000"}});
  std::string tract = Tract("plan.corva");

  auto opener = RunOpener({tract});
  ASSERT_TRUE(cvtest::WaitUntil([&] { return QueueCount(".claimed") == 1; }, 20)) << opener->Err();
  ASSERT_TRUE(cvtest::WaitUntil([&] { return opener->Err().find("claimed ") != std::string::npos; }, 20));
  agent->Stop(SIGKILL);
  auto status = opener->Wait(20);
  ASSERT_TRUE(ExitedZero(status)) << opener->Err();

  std::string log = opener->Err();
  EXPECT_EQ(CountLines(log, kNoResponse), 1) << log;
  EXPECT_NE(log.find("not handled, agent gone: "), std::string::npos) << log;
  EXPECT_EQ(QueueCount(".claimed"), 1);
}

TEST_F(OpenerE2E, SpawnedAgentKilledAfterClaimingIsReportedAtOnce) {
  pid_t young = 0;
  pid_t old = CVFindOldFrozenAgent(0, &young);
  if (old != 0 || young != 0) GTEST_SKIP() << "another agent process runs: pid " << (old ? old : young);
  std::string tract = Tract("plan.corva");

  auto opener = RunOpener({tract}, {{"CORVANTIS_AGENT_HANDLE_DELAY", "1000"}});
  std::string log;
  std::smatch spawned;
  bool claimed = cvtest::WaitUntil(
      [&] {
        log = opener->Err();
        return std::regex_search(log, spawned, std::regex("spawned agent pid ([0-9]+)")) &&
               QueueCount(".claimed") == 1;
      },
      20);
  // The agent runs in a session of its own and would outlive a failed test.
  pid_t agentPid = spawned.empty() ? 0 : std::stoi(spawned[1]);
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      if (pid > 0) kill(pid, SIGKILL);
    }
  } reaper{agentPid};
  ASSERT_TRUE(claimed) << log;
  ASSERT_EQ(kill(agentPid, SIGKILL), 0);
  auto status = opener->Wait(20);
  ASSERT_TRUE(ExitedZero(status)) << opener->Err();

  // The match points into the old text: take the pid before replacing it.
  const std::string spawnedPid = spawned[1];
  log = opener->Err();
  EXPECT_NE(log.find("agent pid " + spawnedPid + " exited (status 9)"), std::string::npos) << log;
  EXPECT_EQ(CountLines(log, kNoResponse), 1) << log;
  EXPECT_EQ(QueueCount(".claimed"), 1);
}

// The agent held its lock when the opener probed and goes before claiming:
// the opener starts one again (here: the bundled copy), which handles it.
TEST_F(OpenerE2E, AgentGoneBeforeClaimingIsStartedAgain) {
  pid_t young = 0;
  pid_t old = CVFindOldFrozenAgent(0, &young);
  if (old != 0 || young != 0) GTEST_SKIP() << "another agent process runs: pid " << (old ? old : young);
  auto agent = StartAgent({{"CORVANTIS_AGENT_CLAIM_DELAY", "1000"}});
  std::string tract = Tract("plan.corva");

  auto opener = RunOpener({tract}, {{"CORVANTIS_AGENT_IDLE_EXIT", "1"}});
  ASSERT_TRUE(cvtest::WaitUntil([&] { return opener->Err().find("request ") != std::string::npos; }, 20));
  ASSERT_EQ(QueueCount(".json"), 1);
  agent->Stop(SIGKILL);
  auto status = opener->Wait(60);
  ASSERT_TRUE(ExitedZero(status)) << opener->Err();

  std::string log = opener->Err();
  EXPECT_NE(log.find("starting the agent again"), std::string::npos) << log;
  EXPECT_NE(log.find("spawned agent pid "), std::string::npos) << log;
  EXPECT_EQ(log.find("Corvantis Agent: "), std::string::npos) << log;
  auto agentLog = cvtest::ReadFile(Settings() + "/agent.log");
  ASSERT_TRUE(agentLog);
  EXPECT_EQ(CountLines(*agentLog, "open " + tract), 1) << *agentLog;
  EXPECT_EQ(agent->Out(), "");
  EXPECT_EQ(QueueCount(".json") + QueueCount(".claimed"), 0);
}

// A name that is not UTF-8 cannot go into a request: it is reported by its
// own text, and the other document still reaches the agent.
TEST_F(OpenerE2E, DocumentWithANonUtf8NameIsReportedAndTheOthersPosted) {
  auto agent = StartAgent();
  std::string bad = Tract("bad\xFF.corva");
  std::string good = Tract("good.corva");

  auto opener = RunOpener({bad, good});
  ASSERT_TRUE(ExitedZero(opener->Wait(60))) << opener->Err();

  std::string log = opener->Err();
  EXPECT_EQ(CountLines(log, "Corvantis Agent: Corvantis can't open \u201C" "bad\uFFFD.corva\u201D: its path isn't "
                            "valid UTF-8."),
            1)
      << log;
  EXPECT_EQ(log.find("settings folder"), std::string::npos) << log;
  EXPECT_EQ(Lines(agent->Out()), std::vector<std::string>{"open " + good});
  EXPECT_EQ(QueueCount(".json") + QueueCount(".claimed") + QueueCount(".tmp"), 0);
  EXPECT_TRUE(ExitedZero(agent->Stop(SIGTERM)));
}

// The opener's current folder was removed before it started: a relative
// name names no file it can hand over ("/rel.corva" would be another one).
// It is reported and not queued; the absolute path of the same run reaches
// the agent.
TEST_F(OpenerE2E, RelativeNameInARemovedFolderIsReportedAndNotQueued) {
  auto agent = StartAgent();
  std::string abs = Tract("abs.corva");
  std::string gone = files_.Join("gone");
  ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
  ASSERT_TRUE(cvtest::WriteFile(gone + "/rel.corva", "tract\n"));

  // As a shell does it: cd into the folder, the folder goes, the opener runs.
  std::vector<std::string> argv = {"/bin/sh", "-c", "cd \"$1\" && rm -r \"$1\" && exec \"$2\" rel.corva \"$3\"",
                                   "sh", gone, OpenerPath(), abs};
  Process opener(argv, Env(), logs_.Join("opener.out"), logs_.Join("opener.err"));
  ASSERT_TRUE(ExitedZero(opener.Wait(60))) << opener.Err();

  std::string log = opener.Err();
  EXPECT_EQ(CountLines(log, "Corvantis Agent: Corvantis can't open \u201Crel.corva\u201D: the folder it was opened "
                            "from no longer exists or can't be read."),
            1)
      << log;
  EXPECT_EQ(CountLines(log, "Corvantis Agent: Corvantis opens .corva files only."), 0) << log;
  EXPECT_EQ(Lines(agent->Out()), std::vector<std::string>{"open " + abs});
  EXPECT_EQ(QueueCount(".json") + QueueCount(".claimed") + QueueCount(".tmp"), 0);
  EXPECT_TRUE(ExitedZero(agent->Stop(SIGTERM)));
}

// "cd link && corvantis-opener ../x.corva" where "link" is a link to a
// folder: "../x.corva" is the file beside the link's target, as ls shows
// it, not the one beside the link. So for an absolute path and a file URI
// through the link. The agent is told paths that open the file the person
// named.
TEST_F(OpenerE2E, DotDotThroughALinkNamesTheFileTheKernelOpens) {
  auto agent = StartAgent();
  const std::string r = files_.path();
  ASSERT_EQ(mkdir((r + "/real").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((r + "/real/sub").c_str(), 0700), 0);
  ASSERT_EQ(symlink("real/sub", (r + "/link").c_str()), 0);
  std::string meant = Tract("real/x.corva");
  std::string beside = Tract("x.corva");  // beside the link: not meant
  struct stat want, other;
  ASSERT_EQ(stat(meant.c_str(), &want), 0);
  ASSERT_EQ(stat(beside.c_str(), &other), 0);

  // The shell keeps PWD as the person typed it, through the link.
  auto opener = RunOpener({"../x.corva", r + "/link/../x.corva", "file://" + r + "/link/../x.corva"},
                          {{"PWD", r + "/link"}}, r + "/link");
  ASSERT_TRUE(ExitedZero(opener->Wait(60))) << opener->Err();

  std::vector<std::string> opened = Lines(agent->Out());
  ASSERT_EQ(opened.size(), 3u) << agent->Out();
  for (const std::string& line : opened) {
    ASSERT_EQ(line.rfind("open ", 0), 0u) << line;
    std::string path = line.substr(5);
    struct stat got;
    ASSERT_EQ(stat(path.c_str(), &got), 0) << path;
    EXPECT_TRUE(got.st_dev == want.st_dev && got.st_ino == want.st_ino) << path << " is not " << meant;
  }
  EXPECT_EQ(opener->Err().find("Corvantis Agent: "), std::string::npos) << opener->Err();
  EXPECT_TRUE(ExitedZero(agent->Stop(SIGTERM)));
}

}  // namespace
