// Request queue costs: a full write + state + withdraw cycle (fsync bound),
// the write alone without fsync, and the state read alone, which the tick
// does for up to 32 requests every 0.25 s.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <ftw.h>
#include <string>
#include <vector>

#include "queue/queue_sys.h"
#include "queue/request.h"

namespace {

class ConfFolder {
 public:
  ConfFolder() {
    char tmpl[] = "/tmp/cvbench.XXXXXX";
    path_ = mkdtemp(tmpl);
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
  CVQueueSys sys = CVQueueSysReal();
  sys.fsync = [](int) { return 0; };
  CVScopedQueueSys guard(sys);
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
