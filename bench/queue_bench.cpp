// Request queue costs: CVWriteRequest alone on tmpfs and on disk (fsync
// bound there), a full write + state + withdraw cycle, the write without
// fsync, and the state read alone, which the tick does for up to 32
// requests every 0.25 s.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <ftw.h>
#include <string>
#include <vector>

#include "queue/request.h"
#include "util/env.h"

namespace {

class ConfFolder {
 public:
  // A fresh folder below `base`.
  explicit ConfFolder(const std::string& base = "/var/tmp") {
    std::string tmpl = base + "/cvbench.XXXXXX";
    path_ = mkdtemp(tmpl.data());
    fd_ = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  ~ConfFolder() {
    close(fd_);
    nftw(path_.c_str(), [](const char* p, const struct stat*, int type, struct FTW*) {
      return type == FTW_DP ? rmdir(p) : unlink(p);
    }, 16, FTW_DEPTH | FTW_PHYS);
  }
  int fd() const { return fd_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// CVWriteRequest alone; the withdrawal that keeps the folder small is not
// timed. `base` is /dev/shm (tmpfs) or /var/tmp (disk).
void BM_WriteRequest(benchmark::State& state, const char* base) {
  ConfFolder conf(base);
  for (auto _ : state) {
    auto stem = CVWriteRequest(conf.fd(), "open", std::string("/Users/someone/plan.corva"));
    if (!stem) state.SkipWithError("write failed");
    state.PauseTiming();
    CVWithdrawRequest(conf.fd(), *stem);
    state.ResumeTiming();
  }
}
BENCHMARK_CAPTURE(BM_WriteRequest, tmpfs, "/dev/shm")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_WriteRequest, disk, "/var/tmp")->Unit(benchmark::kMicrosecond);

void BM_WriteStateWithdraw(benchmark::State& state) {
  ConfFolder conf;
  for (auto _ : state) {
    auto stem = CVWriteRequest(conf.fd(), "open", std::string("/Users/someone/plan.corva"));
    if (!stem) state.SkipWithError("write failed");
    benchmark::DoNotOptimize(CVRequestState(conf.fd(), *stem));
    benchmark::DoNotOptimize(CVWithdrawRequest(conf.fd(), *stem));
  }
}
BENCHMARK(BM_WriteStateWithdraw)->Unit(benchmark::kMicrosecond);

void BM_WriteWithdrawNoFsync(benchmark::State& state) {
  ConfFolder conf;
  class NoFsync : public cv::EnvWrapper {
   public:
    NoFsync() : EnvWrapper(cv::Env::Default()) {}
    int Fsync(int) override { return 0; }
  } env;
  cv::ScopedEnv guard(&env);
  for (auto _ : state) {
    auto stem = CVWriteRequest(conf.fd(), "open", std::string("/Users/someone/plan.corva"));
    if (!stem) state.SkipWithError("write failed");
    benchmark::DoNotOptimize(CVWithdrawRequest(conf.fd(), *stem));
  }
}
BENCHMARK(BM_WriteWithdrawNoFsync)->Unit(benchmark::kMicrosecond);

// One tick's worth of state reads: `range(0)` queued requests.
void BM_TickStateReads(benchmark::State& state) {
  ConfFolder conf;
  std::vector<std::string> stems;
  for (int i = 0; i < state.range(0); ++i)
    stems.push_back(*CVWriteRequest(conf.fd(), "reopen", std::nullopt));
  for (auto _ : state) {
    for (const auto& stem : stems) benchmark::DoNotOptimize(CVRequestState(conf.fd(), stem));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TickStateReads)->Arg(1)->Arg(32)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
