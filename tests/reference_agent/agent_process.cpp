#include "agent_process.h"

#include <stdio.h>
#include <sys/wait.h>

#include <map>

#include "test_support.h"

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

AgentProcess::~AgentProcess() = default;

bool AgentProcess::Start() {
  std::vector<std::string> argv = {AgentPath()};
  argv.insert(argv.end(), args_.begin(), args_.end());
  process_ = std::make_unique<Process>(argv, std::map<std::string, std::optional<std::string>>{}, outPath_,
                                       errPath_);
  return process_->pid() > 0;
}

void AgentProcess::Signal(int sig) {
  if (process_) process_->Signal(sig);
}

std::optional<int> AgentProcess::Wait(double seconds) {
  if (!process_) return std::nullopt;
  std::optional<int> st = process_->Wait(seconds);
  if (!st) return std::nullopt;
  return WIFEXITED(*st) ? WEXITSTATUS(*st) : 128 + WTERMSIG(*st);
}

std::string AgentProcess::Stdout() const { return ReadFile(outPath_).value_or(""); }
std::string AgentProcess::Stderr() const { return ReadFile(errPath_).value_or(""); }

std::vector<std::string> AgentProcess::Lines() const { return cvtest::Lines(Stdout()); }

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
