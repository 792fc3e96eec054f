// The built opener's options as a person runs them: --diagnose on a usable
// settings folder with the reference agent running, on unusable folders and
// with no agent to be had, each time shown to leave the folder exactly as it
// was; --help and --version; and option-like documents still documents.
// No user service manager is reachable here (XDG_RUNTIME_DIR points at an
// empty folder and there is no session bus), whatever the machine runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <string>

#include "agent/probe.h"
#include "child_process.h"
#include "queue/request.h"
#include "test_support.h"
#include "tree_snapshot.h"

namespace {

using cvtest::Lines;
using cvtest::Process;
using Env = std::map<std::string, std::optional<std::string>>;

class DiagnoseE2E : public ::testing::Test {
 protected:
  static std::string OpenerPath() { return cvtest::BuildDir() + "/Corvantis.app/Contents/MacOS/corvantis-opener"; }
  static std::string AgentPath() {
    return cvtest::BuildDir() + "/Corvantis.app/Contents/Resources/agent/CorvantisAgent";
  }

  // The settings folder of the run, no display, no user service manager.
  Env Environment(const std::string& folder, Env extra = {}) const {
    Env env = {
        {"CORVANTIS_AGENT_DIR", folder},
        {"CORVANTIS_LOG_STDERR", "1"},
        {"DISPLAY", std::nullopt},
        {"WAYLAND_DISPLAY", std::nullopt},
        {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
        {"XDG_RUNTIME_DIR", runtime_.path()},
    };
    for (auto& [k, v] : extra) env[k] = v;
    return env;
  }

  // Runs `program` with `args` to its end; its output is in out()/err().
  int Run(const std::string& program, const std::vector<std::string>& args, const Env& env,
          const std::string& cwd = "") {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p(argv, env, logs_.Join("out"), logs_.Join("err"), cwd);
    std::optional<int> status = p.Wait(60);
    out_ = p.Out();
    err_ = p.Err();
    if (!status || !WIFEXITED(*status)) return -1;
    return WEXITSTATUS(*status);
  }

  int Diagnose(const std::string& folder, const std::string& program = OpenerPath()) {
    return Run(program, {"--diagnose"}, Environment(folder));
  }

  // The value of the report line `label`.
  std::string Value(const std::string& label) const {
    for (const std::string& line : Lines(out_)) {
      if (line.rfind(label + ":", 0) == 0) return line.substr(std::min<size_t>(21, line.size()));
    }
    return "(no " + label + " line in)\n" + out_;
  }

  // Starts the reference agent and waits until its lock names its pid.
  std::unique_ptr<Process> StartAgent(const std::string& folder, Env extra) {
    auto agent = std::make_unique<Process>(std::vector<std::string>{AgentPath()}, Environment(folder, extra),
                                           logs_.Join("agent.out"), logs_.Join("agent.err"));
    EXPECT_GT(agent->pid(), 0);
    bool locked = cvtest::WaitUntil(
        [&] {
          int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
          if (fd < 0) return false;
          // The agent writes its pid just after it takes the lock.
          int pid = 0;
          int r = CVProbeAgent(fd, &pid, nullptr);
          close(fd);
          return r == CVAgentRunning && pid == agent->pid();
        },
        20);
    EXPECT_TRUE(locked) << agent->Err();
    return agent;
  }

  cvtest::TempDir root_;
  cvtest::TempDir runtime_;
  cvtest::TempDir logs_;
  std::string out_;
  std::string err_;
};

TEST_F(DiagnoseE2E, UsableFolderWithARunningAgent) {
  std::string folder = root_.Join("Corvantis");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  // An agent that holds the lock and claims nothing, so that what the test
  // puts in the queue stays as it is.
  auto agent = StartAgent(folder, {{"CORVANTIS_AGENT_CLAIM_DELAY", "1000"}});
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  auto queued = CVWriteRequest(fd, "open", std::string("/srv/plan.corva"));
  auto claimed = CVWriteRequest(fd, "open", std::string("/srv/other.corva"));
  close(fd);
  ASSERT_TRUE(queued && claimed);
  // Claimed as the agent claims: <stem>.json renamed to <stem>.claimed.
  std::string q = folder + "/open-requests/";
  ASSERT_EQ(rename((q + *claimed + ".json").c_str(), (q + *claimed + ".claimed").c_str()), 0);
  auto before = cvtest::SnapshotTree(folder);

  EXPECT_EQ(Diagnose(folder), 0) << out_ << err_;

  EXPECT_EQ(cvtest::SnapshotTree(folder), before);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(Value("settings folder"), folder + " (from CORVANTIS_AGENT_DIR=\"" + folder + "\")");
  EXPECT_EQ(Value("folder state"), "usable");
  EXPECT_EQ(Value("agent lock"), "held by pid " + std::to_string(agent->pid()));
  EXPECT_EQ(Value("requests"), "2 (1 queued, 1 claimed)");
  EXPECT_TRUE(std::regex_search(out_, std::regex("\n {21}" + *queued + "  queued   age [0-9.]+ s\n"))) << out_;
  EXPECT_TRUE(std::regex_search(out_, std::regex("\n {21}" + *claimed + "  claimed  age [0-9.]+ s\n"))) << out_;
  EXPECT_EQ(Value("bundled agent"), AgentPath());
  EXPECT_EQ(Value("user service").rfind("corvantis.agent.service: no user service manager (", 0), 0u) << out_;
  EXPECT_EQ(Value("alerts"), "stderr lines: neither DISPLAY nor WAYLAND_DISPLAY is set");
  EXPECT_EQ(Value("verdict"), "a document would reach an agent now: the running agent (pid " +
                                  std::to_string(agent->pid()) + ") takes it");
  // The agent went on undisturbed by the probe.
  EXPECT_EQ(kill(agent->pid(), 0), 0);
  EXPECT_EQ(agent->Out(), "");
  EXPECT_EQ(agent->Stop(SIGTERM).value_or(-1), 0);
}

TEST_F(DiagnoseE2E, UnusableFoldersAreReportedInTheAlertsWording) {
  struct Case {
    const char* name;
    std::function<std::string(const std::string& root)> setUp;  // returns CORVANTIS_AGENT_DIR
    std::string state;                                          // "%s" stands for the folder
  } cases[] = {
      {"Relative", [](const std::string&) { return std::string("relative/settings"); },
       "not usable: Corvantis can't reach its settings folder (~/Corvantis): its location isn't an absolute path."},
      {"FileInItsPlace",
       [](const std::string& r) {
         cvtest::WriteFile(r + "/C", "not a folder\n");
         return r + "/C";
       },
       "not usable: Corvantis can't reach its settings folder (%s): Not a directory."},
      {"QueueFolderIsALink",
       [](const std::string& r) {
         mkdir((r + "/C").c_str(), 0700);
         mkdir((r + "/C/elsewhere").c_str(), 0700);
         symlink("elsewhere", (r + "/C/open-requests").c_str());
         return r + "/C";
       },
       "not usable (open-requests): Corvantis can't reach its settings folder (%s): Not a directory."},
  };
  for (const Case& c : cases) {
    cvtest::TempDir root;
    std::string folder = c.setUp(root.path());
    auto before = cvtest::SnapshotTree(root.path());
    EXPECT_EQ(Diagnose(folder), 1) << c.name << "\n" << out_;
    EXPECT_EQ(cvtest::SnapshotTree(root.path()), before) << c.name;
    std::string state = std::regex_replace(c.state, std::regex("%s"), folder);
    EXPECT_EQ(Value("folder state"), state) << c.name;
    EXPECT_EQ(Value("verdict"), "no document would reach an agent now: the settings folder isn't usable") << c.name;
  }
}

TEST_F(DiagnoseE2E, AnotherUsersFolderAsTheUnprivilegedUser) {
  if (!cvtest::CanSwitchUser()) GTEST_SKIP() << "needs root to run as another user";
  std::string folder = root_.Join("Corvantis");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(logs_.path().c_str(), 0777), 0);
  ASSERT_EQ(chmod(runtime_.path().c_str(), 0777), 0);
  auto before = cvtest::SnapshotTree(folder);

  int rc = cvtest::RunAsUser(cvtest::kNobody, [&] { return Diagnose(folder); });
  out_ = cvtest::ReadFile(logs_.Join("out")).value_or("");

  EXPECT_EQ(rc, 1) << out_;
  EXPECT_EQ(Value("folder state"),
            "not usable: Corvantis can't reach its settings folder (" + folder + "): Permission denied.");
  EXPECT_EQ(cvtest::SnapshotTree(folder), before);
}

// "chmod 555 ~/Corvantis": the opener tightens the folder to 0700 and uses
// it, so --diagnose calls it usable, and leaves its mode as it is.
TEST_F(DiagnoseE2E, FolderOf0555IsUsableAsTheUnprivilegedUser) {
  if (!cvtest::CanSwitchUser()) GTEST_SKIP() << "needs root to run as another user";
  std::string folder = root_.Join("Corvantis");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chown(folder.c_str(), cvtest::kNobody, cvtest::kNobody), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
  ASSERT_EQ(chmod(logs_.path().c_str(), 0777), 0);
  ASSERT_EQ(chmod(runtime_.path().c_str(), 0777), 0);
  auto before = cvtest::SnapshotTree(folder);

  int rc = cvtest::RunAsUser(cvtest::kNobody, [&] { return Diagnose(folder); });
  out_ = cvtest::ReadFile(logs_.Join("out")).value_or("");

  EXPECT_EQ(Value("folder state"), "usable; mode 0555 (the opener tightens it to 0700)");
  EXPECT_EQ(Value("requests"), "none (no open-requests folder yet)");
  // Usable: the verdict turns on the agent alone (another agent of this
  // user may run on the machine).
  EXPECT_EQ(Value("verdict").find("the settings folder isn't usable"), std::string::npos) << out_;
  if (Value("agents without lock") == "none") {
    EXPECT_EQ(rc, 0) << out_;
  }
  EXPECT_EQ(cvtest::SnapshotTree(folder), before);
}

TEST_F(DiagnoseE2E, NoAgentToBeHadOutsideABundle) {
  // A copy of the opener outside any bundle has no bundled agent.
  cvtest::TempDir bin;
  std::string copy = bin.Join("corvantis-opener");
  auto program = cvtest::ReadFile(OpenerPath());
  ASSERT_TRUE(program);
  ASSERT_TRUE(cvtest::WriteFile(copy, *program, 0755));

  for (const char* what : {"empty", "missing"}) {
    std::string folder = root_.Join(std::string("C-") + what);
    if (std::string(what) == "empty") {
      ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    }
    auto before = cvtest::SnapshotTree(root_.path());

    EXPECT_EQ(Diagnose(folder, copy), 1) << out_;

    EXPECT_EQ(cvtest::SnapshotTree(root_.path()), before) << what;
    EXPECT_EQ(Value("bundled agent"), "none: " + copy + " isn't inside an application bundle");
    EXPECT_EQ(Value("user service").rfind("corvantis.agent.service: no user service manager (", 0), 0u) << out_;
    EXPECT_EQ(Value("verdict"),
              "no document would reach an agent now: no agent runs, the user service isn't there, and there is no "
              "bundled agent");
    if (std::string(what) == "missing") {
      EXPECT_EQ(Value("folder state"), "usable; not there yet (the opener creates it, mode 0700)");
      EXPECT_EQ(cvtest::SnapshotTree(folder), (std::map<std::string, std::string>{{".", "missing"}}));
    } else {
      EXPECT_EQ(Value("agent lock"), "free: no agent holds agent.lock");
    }
  }
}

// What a normal run would tighten or create stays as it is.
TEST_F(DiagnoseE2E, ChangesNothingANormalRunWouldChange) {
  std::string folder = root_.Join("Corvantis");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((folder + "/open-requests").c_str(), 0755), 0);
  ASSERT_EQ(chmod((folder + "/open-requests").c_str(), 0755), 0);
  ASSERT_TRUE(cvtest::WriteFile(folder + "/agent.lock", "{\"pid\":1}"));
  ASSERT_TRUE(cvtest::WriteFile(folder + "/agent.log", "earlier output\n", 0644));
  auto before = cvtest::SnapshotTree(folder);

  Diagnose(folder);

  EXPECT_EQ(cvtest::SnapshotTree(folder), before);
  EXPECT_EQ(Value("folder state"), "usable; mode 0755 (the opener tightens it to 0700)");
  EXPECT_EQ(Value("agent lock"), "free: no agent holds agent.lock");
  EXPECT_EQ(Value("requests"), "none");
  EXPECT_EQ(err_, "");
}

TEST_F(DiagnoseE2E, HelpAndVersion) {
  std::string folder = root_.Join("Corvantis");
  EXPECT_EQ(Run(OpenerPath(), {"--help"}, Environment(folder)), 0);
  EXPECT_EQ(out_.rfind("Usage: corvantis-opener [TRACT...]\n", 0), 0u) << out_;
  EXPECT_NE(out_.find("--diagnose"), std::string::npos);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(Run(OpenerPath(), {"--version"}, Environment(folder)), 0);
  EXPECT_EQ(out_, std::string("corvantis-opener ") + CV_TEST_VERSION + "\n");
  EXPECT_EQ(err_, "");
  // Neither made the settings folder.
  EXPECT_EQ(cvtest::SnapshotTree(folder), (std::map<std::string, std::string>{{".", "missing"}}));
}

TEST_F(DiagnoseE2E, OptionLikeArgumentsAreDocumentsOtherwise) {
  std::string folder = root_.Join("Corvantis");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  auto agent = StartAgent(folder, {});
  cvtest::TempDir files;
  std::string named = files.Join("--help.corva");
  std::string plan = files.Join("plan.corva");
  ASSERT_TRUE(cvtest::WriteFile(named, "tract\n"));
  ASSERT_TRUE(cvtest::WriteFile(plan, "tract\n"));

  EXPECT_EQ(Run(OpenerPath(), {"./--help.corva"}, Environment(folder), files.path()), 0) << err_;
  EXPECT_EQ(out_, "");
  // Beside another argument, "--help" is a document, and no .corva one.
  EXPECT_EQ(Run(OpenerPath(), {"--help", plan}, Environment(folder)), 0) << err_;
  EXPECT_EQ(out_, "");
  EXPECT_NE(err_.find("Corvantis Agent: Corvantis opens .corva files only.\n"), std::string::npos) << err_;

  EXPECT_EQ(agent->Stop(SIGTERM).value_or(-1), 0);
  EXPECT_EQ(Lines(agent->Out()), (std::vector<std::string>{"open " + named, "open " + plan}));
}

}  // namespace
