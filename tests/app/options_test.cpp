// Which argument lists are options, and what each option writes and returns.
#include "app/options.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "fake_agents.h"
#include "test_support.h"
#include "util/env.h"

namespace {

using cv::AppOption;

std::optional<AppOption> Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "corvantis-opener");
  return cv::ParseAppOption(static_cast<int>(args.size()), args.data());
}

TEST(ParseAppOption, OnlyTheSingleArgumentIsAnOption) {
  struct Case {
    std::vector<const char*> args;
    std::optional<AppOption> option;
  } cases[] = {
      {{"--help"}, AppOption::kHelp},
      {{"--version"}, AppOption::kVersion},
      {{"--diagnose"}, AppOption::kDiagnose},
      {{}, std::nullopt},
      {{"./--help.corva"}, std::nullopt},
      {{"--help.corva"}, std::nullopt},
      {{"--help", "plan.corva"}, std::nullopt},
      {{"plan.corva", "--diagnose"}, std::nullopt},
      {{"--help", "--version"}, std::nullopt},
      {{"--HELP"}, std::nullopt},
      {{"-h"}, std::nullopt},
      {{"--help="}, std::nullopt},
      {{"--diagnose "}, std::nullopt},
      {{"--"}, std::nullopt},
      {{"plan.corva"}, std::nullopt},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const char* a : c.args) shown += std::string(" ") + a;
    EXPECT_EQ(Parse(c.args), c.option) << shown;
  }
}

// What the option writes on `fd`'s pipe, and its status.
struct Ran {
  int status;
  std::string out;
};

Ran RunToPipe(AppOption option, cv::Env* env = cv::Env::Default(), cv::AgentControl& agents = cv::RealAgentControl()) {
  int p[2];
  EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
  // Room for the whole text, so that writing never waits for the reader.
  fcntl(p[1], F_SETPIPE_SZ, 1 << 20);
  Ran r{cv::RunAppOption(option, env, agents, p[1]), ""};
  close(p[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
  close(p[0]);
  return r;
}

TEST(RunAppOption, HelpAndVersion) {
  Ran help = RunToPipe(AppOption::kHelp);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, cv::HelpText());
  for (const char* part :
       {"Usage: corvantis-opener [TRACT...]", "--help", "--version", "--diagnose", "./--help.corva",
        "corvantis.agent.service", "Exit status 0", "CORVANTIS_AGENT_DIR", "journalctl --user -t corvantis-opener"}) {
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
  }
  ASSERT_FALSE(help.out.empty());
  EXPECT_EQ(help.out.back(), '\n');

  Ran version = RunToPipe(AppOption::kVersion);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("corvantis-opener ") + CV_TEST_VERSION + "\n");
}

TEST(RunAppOption, HelpLinesFitATerminal) {
  std::string help = cv::HelpText();
  size_t start = 0;
  while (start < help.size()) {
    size_t end = help.find('\n', start);
    EXPECT_LE(end - start, 79u) << help.substr(start, end - start);
    start = end + 1;
  }
}

// The settings folder's path is no absolute path, and the service query
// answers that there is no user service manager.
class NothingUsable : public cv::EnvWrapper {
 public:
  NothingUsable() : EnvWrapper(cv::Env::Default()) {}
  std::optional<std::string> GetEnv(const char* name) override {
    if (std::string(name) == "CORVANTIS_AGENT_DIR") return "relative";
    return target()->GetEnv(name);
  }
  cv::CommandResult RunCommand(const std::vector<std::string>&, double) override {
    cv::CommandResult r;
    r.status = 1;
    return r;
  }
};

TEST(RunAppOption, DiagnoseReportsAndReturnsTheVerdict) {
  // Nothing usable: no settings folder path, no agent to start.
  NothingUsable env;
  cvtest::FakeAgents agents;
  agents.bundled = std::nullopt;
  Ran r = RunToPipe(AppOption::kDiagnose, &env, agents);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("its location isn't an absolute path."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("verdict:"), std::string::npos) << r.out;
}

TEST(RunAppOption, UnwritableOutputFails) {
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(cv::RunAppOption(AppOption::kHelp, cv::Env::Default(), cv::RealAgentControl(), fd), 1);
  EXPECT_EQ(cv::RunAppOption(AppOption::kVersion, cv::Env::Default(), cv::RealAgentControl(), fd), 1);
  close(fd);
}

}  // namespace
