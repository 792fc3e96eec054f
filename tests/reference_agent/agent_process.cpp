#include "agent_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "test_support.h"

extern char** environ;

namespace cvtest {

namespace {

int counter = 0;

}  // namespace

std::string AgentPath() {
  return BuildDir() + "/Corvantis.app/Contents/Resources/agent/CorvantisAgent";
}

AgentProcess::AgentProcess(std::string outDir, std::vector<std::string> args)
    : args_(std::move(args)) {
  int n = ++counter;
  outPath_ = outDir + "/agent" + std::to_string(n) + ".out";
  errPath_ = outDir + "/agent" + std::to_string(n) + ".err";
}

AgentProcess::~AgentProcess() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    Wait(10);
  }
}

bool AgentProcess::Start() {
  std::string path = AgentPath();
  std::vector<char*> argv;
  argv.push_back(path.data());
  for (std::string& a : args_) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) pid_ = -1;
  return rc == 0;
}

void AgentProcess::Signal(int sig) {
  if (pid_ > 0 && !status_) kill(pid_, sig);
}

std::optional<int> AgentProcess::Wait(double seconds) {
  if (status_ || pid_ <= 0) return status_;
  WaitUntil(
      [&] {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r < 0 && errno == EINTR) return false;
        if (r != pid_) return r < 0;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return true;
      },
      seconds);
  return status_;
}

std::string AgentProcess::Stdout() const { return ReadFile(outPath_).value_or(""); }
std::string AgentProcess::Stderr() const { return ReadFile(errPath_).value_or(""); }

std::vector<std::string> AgentProcess::Lines() const {
  std::vector<std::string> lines;
  std::istringstream in(Stdout());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

ToolResult RunAgentTool(const std::string& outDir, const std::vector<std::string>& args) {
  AgentProcess run(outDir, args);
  if (!run.Start()) return {-1, "", ""};
  std::optional<int> status = run.Wait(10);
  return {status.value_or(-1), run.Stdout(), run.Stderr()};
}

bool PutRequest(const std::string& queueDir, const std::string& stem, const std::string& doc) {
  std::string tmp = queueDir + "/." + stem + ".tmp";
  if (!WriteFile(tmp, doc)) return false;
  return rename(tmp.c_str(), (queueDir + "/" + stem + ".json").c_str()) == 0;
}

std::string OpenDoc(const std::string& path) {
  return R"({"format":"corvantis.open/1","kind":"open","created":1733800000.25,"pid":4242,)"
         R"("origin":"mac-opener-dev","path":")" + path + "\"}";
}

std::string ReopenDoc() {
  return R"({"pid":4242,"kind":"reopen","origin":"mac-opener","created":1733800000.5,)"
         R"("format":"corvantis.open/1"})";
}

}  // namespace cvtest
