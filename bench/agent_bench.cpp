// Agent control costs: the lock probe (no lock file, a file nobody locks, a
// file an agent holds locked, with its pid read) and the old-agent scan over
// the real /proc.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <string>

#include "agent/probe.h"
#include "agent/scan.h"

namespace {

class SettingsFolder {
 public:
  SettingsFolder() {
    char tmpl[] = "/var/tmp/cvbench.XXXXXX";
    path_ = mkdtemp(tmpl);
    fd_ = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  ~SettingsFolder() {
    if (lockFd_ >= 0) close(lockFd_);
    unlinkat(fd_, "agent.lock", 0);
    close(fd_);
    rmdir(path_.c_str());
  }
  int fd() const { return fd_; }
  // Writes agent.lock naming `pid`; `hold` keeps an exclusive lock on it
  // through a descriptor of its own, as a running agent does.
  void Lock(bool hold) {
    lockFd_ = openat(fd_, "agent.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    const char doc[] = "{\"pid\":4242}";
    if (write(lockFd_, doc, sizeof doc - 1) < 0) return;
    if (hold) flock(lockFd_, LOCK_EX);
  }

 private:
  std::string path_;
  int fd_ = -1;
  int lockFd_ = -1;
};

// range(0): 0 no lock file, 1 a file nobody locks, 2 a locked file.
void BM_ProbeAgent(benchmark::State& state) {
  SettingsFolder conf;
  if (state.range(0) > 0) conf.Lock(state.range(0) == 2);
  int want = state.range(0) == 2 ? CVAgentRunning : CVAgentAbsent;
  for (auto _ : state) {
    int pid = 0;
    if (CVProbeAgent(conf.fd(), &pid, nullptr) != want) state.SkipWithError("unexpected probe answer");
    benchmark::DoNotOptimize(pid);
  }
}
BENCHMARK(BM_ProbeAgent)->ArgName("lock")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_FindOldFrozenAgent(benchmark::State& state) {
  for (auto _ : state) {
    pid_t young = 0;
    benchmark::DoNotOptimize(CVFindOldFrozenAgent(0, &young));
  }
}
BENCHMARK(BM_FindOldFrozenAgent)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
