// Running the built CorvantisAgent as a real child process in tests, with
// its standard output and error captured in files.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace cvtest {

// The built agent: <build>/Corvantis.app/Contents/Resources/agent/CorvantisAgent.
std::string AgentPath();

// One run of the agent. The child gets `args` after the program path, this
// process's environment (set knobs with ScopedEnv before Start), standard
// input from /dev/null and its output in files under `outDir`.
class AgentProcess {
 public:
  AgentProcess(std::string outDir, std::vector<std::string> args = {});
  // Kills (SIGKILL) and reaps a child still running.
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // Starts the child; false when posix_spawn fails.
  bool Start();
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  // Sends `sig` to the child.
  void Signal(int sig);
  // Waits up to `seconds` for the child to exit. Returns its exit status,
  // 128 + the signal when it was killed, or nullopt while it still runs.
  std::optional<int> Wait(double seconds);

  std::string Stdout() const;
  std::string Stderr() const;
  // Stdout split into lines (without the newlines).
  std::vector<std::string> Lines() const;

 private:
  std::string outPath_, errPath_;
  std::vector<std::string> args_;
  std::unique_ptr<Process> process_;
};

// Runs the agent with `args` to completion (at most 10 s) and returns
// {exit status, stdout, stderr}; status -1 when it did not finish.
struct ToolResult {
  int status;
  std::string out;
  std::string err;
};
ToolResult RunAgentTool(const std::string& outDir, const std::vector<std::string>& args);

// Puts a request into `queueDir` the way a writer must: a complete file under
// a dot name, then renamed to <stem>.json.
bool PutRequest(const std::string& queueDir, const std::string& stem, const std::string& doc);

// A request document in the opener's format.
std::string OpenDoc(const std::string& path);
std::string ReopenDoc();

}  // namespace cvtest
