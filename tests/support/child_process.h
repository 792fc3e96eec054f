// Runs a built program as a real child with its own environment, its
// standard output and error captured in files.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cvtest {

// What a Process child gets beyond its arguments, environment and files.
struct ProcessSetup {
  std::string cwd;         // its working folder, when not empty
  int stderrFd = -1;       // when >= 0, its stderr instead of the file
  long maxFiles = 0;       // when > 0, its RLIMIT_NOFILE (soft and hard)
};

class Process {
 public:
  // Starts `argv[0]` with `argv`, the current environment changed by `env`
  // (a nullopt value unsets the variable), stdin from /dev/null, and stdout
  // and stderr written to `outPath` and `errPath`. Aborts the test binary's
  // expectations by returning pid 0 when the start fails.
  // A non-empty `cwd` is the child's working folder.
  Process(const std::vector<std::string>& argv, const std::map<std::string, std::optional<std::string>>& env,
          const std::string& outPath, const std::string& errPath, const std::string& cwd = "");
  Process(const std::vector<std::string>& argv, const std::map<std::string, std::optional<std::string>>& env,
          const std::string& outPath, const std::string& errPath, const ProcessSetup& setup);
  ~Process();  // kills (SIGKILL) and reaps a child still running
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  // Waits up to `seconds` for the exit. Returns the raw wait status, or
  // nullopt when the child still runs.
  std::optional<int> Wait(double seconds);
  // Sends `sig` to a child still running.
  void Signal(int sig);
  // Sends `sig` and waits for the exit (up to 10 s).
  std::optional<int> Stop(int sig);
  std::string Out() const;
  std::string Err() const;

 private:
  pid_t pid_ = 0;
  std::optional<int> status_;
  std::string outPath_;
  std::string errPath_;
};

// Lines of `text` (without their newlines).
std::vector<std::string> Lines(const std::string& text);

}  // namespace cvtest
