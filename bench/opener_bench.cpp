// One tick of the controller over a full request table: 32 queued requests
// in a real settings folder on disk, the agent known to run (so no probe),
// the deadline far away. This is the cost the tick timer pays every 0.25 s
// while the opener waits.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_agents.h"
#include "fake_platform.h"
#include "opener/opener.h"
#include "test_support.h"

namespace {

void BM_TickOver32Requests(benchmark::State& state) {
  cvtest::ScopedEnv tmpdir("TMPDIR", std::string("/var/tmp"));
  cvtest::TempDir tmp;
  cvtest::ScopedEnv confDir("CORVANTIS_AGENT_DIR", tmp.Join("Corvantis"));
  cvtest::CaptureLog log;
  cvtest::FakePlatform platform;
  cvtest::FakeAgents agents;
  agents.probeResult = CVAgentRunning;
  agents.probePid = 4242;
  auto opener = std::make_unique<CVOpener>(platform, agents);
  std::vector<cv::DocumentURL> docs;
  for (int i = 0; i < 32; ++i) {
    std::string path = "/docs/plan-" + std::to_string(i) + ".corva";
    docs.push_back({true, path, "file://" + path});
  }
  opener->openURLs(docs);
  opener->applicationDidFinishLaunching();
  if (opener->outstanding() != 32) state.SkipWithError("the requests were not posted");
  for (auto _ : state) opener->tick();
  if (opener->outstanding() != 32 || platform.terminations != 0) state.SkipWithError("the tick changed the table");
  state.SetItemsProcessed(state.iterations() * 32);
}
BENCHMARK(BM_TickOver32Requests)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
