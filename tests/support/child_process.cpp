#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <thread>

#include "test_support.h"

extern char** environ;

namespace cvtest {

Process::Process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::optional<std::string>>& env, const std::string& outPath,
                 const std::string& errPath, const std::string& cwd)
    : Process(argv, env, outPath, errPath, ProcessSetup{cwd}) {}

Process::Process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::optional<std::string>>& env, const std::string& outPath,
                 const std::string& errPath, const ProcessSetup& setup)
    : outPath_(outPath), errPath_(errPath) {
  const std::string& cwd = setup.cwd;
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    size_t eq = kv.find('=');
    if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : env) {
    if (v) merged[k] = *v;
    else merged.erase(k);
  }
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : merged) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) return;
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(setup.stderrFd >= 0 ? setup.stderrFd : err, 2);
    closefrom(3);
    if (setup.maxFiles > 0) {
      struct rlimit limit = {static_cast<rlim_t>(setup.maxFiles), static_cast<rlim_t>(setup.maxFiles)};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
    }
    execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  pid_ = pid;
}

Process::~Process() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    int st;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
  }
}

std::optional<int> Process::Wait(double seconds) {
  if (status_ || pid_ <= 0) return status_;
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = st;
      return status_;
    }
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void Process::Signal(int sig) {
  if (!status_ && pid_ > 0) kill(pid_, sig);
}

std::optional<int> Process::Stop(int sig) {
  Signal(sig);
  return Wait(10);
}

std::string Process::Out() const { return ReadFile(outPath_).value_or(""); }
std::string Process::Err() const { return ReadFile(errPath_).value_or(""); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

}  // namespace cvtest
