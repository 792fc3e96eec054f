// The soak: rounds of real openers against real reference agents, each
// round in a settings folder of its own, with random kills, agent delays and
// injected faults, for a given time. Every tract's fate is checked: handled
// by an agent exactly once, or its opener showed an alert, or (an opener
// ended by SIGTERM, SIGINT or SIGHUP) it was withdrawn and never opened.
// Run by
// scripts/soak.sh; not part of the test command.
//
//   cv_soak SECONDS [SEED]
//
// Prints one line per round, then the totals, ending with
// "lost: N, duplicated: N, silent failures: N". Exit status 1 when any of
// the three is above zero.
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include "stress_rig.h"

namespace {

using cvstress::Rig;
using Clock = std::chrono::steady_clock;

// An opener is given this long to finish; longer counts as hanging.
constexpr double kOpenerCap = 30;

struct Totals {
  int rounds = 0, openers = 0, killedOpeners = 0, tracts = 0;
  int handled = 0, told = 0, unknowable = 0, withdrawnOnSignal = 0, signalled = 0;
  int lost = 0, duplicated = 0, silent = 0, hung = 0, litter = 0;
  std::map<std::string, int> scenarios;
};

struct Opener {
  std::vector<std::string> tracts;
  std::unique_ptr<cvtest::Process> process;
  double startAt = 0;              // seconds into the round
  std::optional<double> killAt;    // killSignal at this instant, when set
  int killSignal = SIGKILL;
  bool killed = false, hung = false;
  // Ended by a termination signal: whether it ended as that signal ends a
  // program, and how many of its requests were still queued right after.
  bool endedBySignal = false;
  int leftQueued = 0;
};

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

class Soak {
 public:
  explicit Soak(uint64_t seed) : rnd_(seed) {
    std::string why;
    cvtest::TempDir probe;
    canMount_ = mount("tmpfs", probe.path().c_str(), "tmpfs", 0, "size=64k") == 0;
    if (canMount_) umount2(probe.path().c_str(), MNT_DETACH);
  }

  void RunFor(double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) Round();
  }

  const Totals& totals() const { return t_; }

 private:
  double Uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rnd_); }
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rnd_); }
  bool Chance(double p) { return Uniform(0, 1) < p; }
  static std::string Secs(double s) { return std::to_string(s); }

  void Round() {
    std::string why;
    bool foreign = cvstress::ForeignAgentRuns(&why);
    // Scenario weights; the spawning ones only where no other agent runs,
    // the full file system only where mounting works.
    std::vector<std::pair<std::string, int>> menu = {
        {"steady", 4}, {"opener-kills", 4}, {"slow-agent", 2}, {"agent-never-claims", 1},
        {"agent-killed-after-claim", 1}, {"agent-gone-before-claim", 1}, {"agent-restarts", 2},
        {"opener-signals", 2},
    };
    if (!foreign) menu.push_back({"spawned", 2});
    if (canMount_) menu.push_back({"full-fs", 1});
    int sum = 0;
    for (auto& [n, w] : menu) sum += w;
    int pick = Int(1, sum);
    std::string scenario;
    for (auto& [n, w] : menu) {
      if ((pick -= w) <= 0) {
        scenario = n;
        break;
      }
    }
    ++t_.rounds;
    ++t_.scenarios[scenario];

    cvtest::TempDir mountPoint;
    bool mounted = false;
    if (scenario == "full-fs")
      mounted = mount("tmpfs", mountPoint.path().c_str(), "tmpfs", 0, "size=256k,mode=0700") == 0;
    Rig rig(mounted ? std::optional<std::string>(mountPoint.path()) : std::nullopt);

    cvstress::EnvChanges agentKnobs, openerEnv = {{"CORVANTIS_AGENT_IDLE_EXIT", "1"}};
    bool startAgent = scenario != "spawned";
    if (scenario == "slow-agent") {
      agentKnobs["CORVANTIS_AGENT_CLAIM_DELAY"] = Secs(Uniform(0, 3));
      agentKnobs["CORVANTIS_AGENT_HANDLE_DELAY"] = Secs(Uniform(0, 3));
    } else if (scenario == "agent-never-claims" || scenario == "agent-gone-before-claim") {
      agentKnobs["CORVANTIS_AGENT_CLAIM_DELAY"] = "1000";
    } else if (scenario == "opener-signals") {
      // Slow enough to claim that a signal finds some requests claimed and
      // some not.
      agentKnobs["CORVANTIS_AGENT_CLAIM_DELAY"] = Secs(Uniform(0, 1.5));
      agentKnobs["CORVANTIS_AGENT_HANDLE_DELAY"] = Secs(Uniform(0, 0.5));
    } else if (scenario == "agent-killed-after-claim") {
      agentKnobs["CORVANTIS_AGENT_HANDLE_DELAY"] = "1000";
    } else {
      agentKnobs["CORVANTIS_AGENT_CLAIM_DELAY"] = Secs(Uniform(0, 0.3));
      agentKnobs["CORVANTIS_AGENT_HANDLE_DELAY"] = Secs(Uniform(0, 0.3));
    }
    std::vector<std::unique_ptr<cvtest::Process>> agents;
    if (startAgent) {
      bool locked = false;
      agents.push_back(rig.StartAgent(agentKnobs, &locked));
      if (!locked) fprintf(stderr, "round %d: the agent did not lock\n", t_.rounds);
    }
    if (mounted) {
      std::ofstream filler(mountPoint.path() + "/filler", std::ios::binary);
      std::string block(4096, 'x');
      while (filler.write(block.data(), block.size())) {
      }
    }

    // The openers of the round, started at random instants in the first second.
    std::vector<Opener> openers(static_cast<size_t>(Int(2, scenario == "agent-never-claims" ? 3 : 8)));
    for (size_t o = 0; o < openers.size(); ++o) {
      Opener& op = openers[o];
      int n = Int(1, 10);
      for (int d = 0; d < n; ++d)
        op.tracts.push_back(rig.Tract("r" + std::to_string(t_.rounds) + "o" + std::to_string(o) + "d" +
                                      std::to_string(d) + ".corva"));
      op.startAt = Uniform(0, 1);
      if (scenario == "opener-kills" && Chance(0.5)) op.killAt = op.startAt + Uniform(0, 0.4);
      if (scenario == "opener-signals" && Chance(0.7)) {
        op.killAt = op.startAt + Uniform(0, 1.5);
        const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
        op.killSignal = kSignals[Int(0, 2)];
      }
    }
    std::optional<double> agentEventAt;
    if (scenario == "agent-gone-before-claim" || scenario == "agent-restarts") agentEventAt = Uniform(1.2, 2.5);
    bool agentKilledAfterClaim = false;

    auto start = Clock::now();
    for (;;) {
      double now = Since(start);
      bool running = false;
      for (Opener& op : openers) {
        if (!op.process && now >= op.startAt) op.process = rig.StartOpener(op.tracts, openerEnv);
        if (!op.process) {
          running = true;
          continue;
        }
        if (op.process->Wait(0)) continue;
        running = true;
        if (op.killAt && now >= *op.killAt && !op.killed) {
          op.process->Signal(op.killSignal);
          auto status = op.process->Wait(10);
          op.killed = true;
          if (op.killSignal != SIGKILL) {
            op.endedBySignal = status && WIFSIGNALED(*status) && WTERMSIG(*status) == op.killSignal;
            std::regex posted("\\] request ([0-9]{13}-[0-9a-f]{32}) ");
            std::string log = op.process->Err();
            std::vector<std::string> queued = rig.Queue(".json");
            for (std::sregex_iterator it(log.begin(), log.end(), posted), e; it != e; ++it) {
              std::string json = std::string((*it)[1]) + ".json";
              op.leftQueued += std::count(queued.begin(), queued.end(), json) > 0;
            }
          }
        } else if (now - op.startAt > kOpenerCap) {
          op.process->Signal(SIGKILL);
          op.process->Wait(10);
          op.hung = true;
        }
      }
      if (agentEventAt && now >= *agentEventAt && !agents.empty()) {
        agentEventAt.reset();
        if (scenario == "agent-gone-before-claim") {
          agents.back()->Stop(Chance(0.5) ? SIGKILL : SIGTERM);
        } else {  // agent-restarts: a clean exit, then a fresh agent soon after
          agents.back()->Stop(SIGTERM);
          std::this_thread::sleep_for(std::chrono::milliseconds(Int(0, 300)));
          agents.push_back(rig.StartAgent(agentKnobs));
        }
      }
      if (scenario == "agent-killed-after-claim" && !agentKilledAfterClaim && !rig.Queue(".claimed").empty()) {
        agentKilledAfterClaim = true;
        agents.back()->Stop(SIGKILL);
      }
      if (!running) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Let the agents finish what the killed openers left queued.
    if (!agents.empty() && agents.back()->Wait(0) == std::nullopt)
      cvtest::WaitUntil([&] { return rig.Queue(".json").empty() && rig.Queue(".claimed").empty(); }, 5);

    std::map<std::string, int> opens;
    for (auto& a : agents) {
      Rig::CountOpens(a->Out(), &opens);
      a->Stop(SIGTERM);
    }
    if (auto log = cvtest::ReadFile(rig.Settings() + "/agent.log")) Rig::CountOpens(*log, &opens);

    int handled = 0, told = 0, unknowable = 0, lost = 0, dup = 0, silent = 0, tracts = 0, killed = 0;
    int withdrawn = 0, signalled = 0;
    for (Opener& op : openers) {
      std::string log = op.process->Err();
      bool alerted = log.find("\nCorvantis Agent: ") != std::string::npos || log.rfind("Corvantis Agent: ", 0) == 0;
      killed += op.killed;
      bool bySignal = op.killed && op.killSignal != SIGKILL;
      if (bySignal) {
        ++signalled;
        // Left queued, a request is opened by a later agent, unasked.
        lost += op.leftQueued;
        silent += !op.endedBySignal;
      }
      for (const std::string& path : op.tracts) {
        ++tracts;
        int count = opens.count(path) ? opens[path] : 0;
        std::string label = path.substr(path.rfind('/') + 1);
        std::smatch m;
        std::regex_search(log, m, std::regex("request ([0-9a-f-]+) \\(open: " + label + ","));
        bool believedHandled = !m.empty() && log.find("handled " + std::string(m[1])) != std::string::npos;
        bool posted = !m.empty();
        bool withdrew = posted && log.find("withdrew " + std::string(m[1]) + " (received ") != std::string::npos;
        if (count > 1 || (count == 1 && withdrew)) {
          ++dup;
        } else if (count == 1) {
          ++handled;
        } else if (bySignal) {
          // Withdrawn, or never posted; posted and neither is lost.
          if (withdrew || !posted) {
            ++withdrawn;
          } else {
            ++lost;
          }
        } else if (op.killed) {
          ++unknowable;
        } else if (alerted && !op.hung) {
          ++told;
        } else if (believedHandled) {
          ++lost;
        } else {
          ++silent;
        }
      }
      t_.hung += op.hung;
    }
    int litter = static_cast<int>(rig.Queue(".json").size());
    if (mounted) umount2(mountPoint.path().c_str(), MNT_DETACH);

    printf("round %3d %-24s openers %zu (killed %d), tracts %3d: handled once %3d, alert shown %3d, "
           "unhandled of killed %3d%s | lost %d, duplicated %d, silent %d%s\n",
           t_.rounds, scenario.c_str(), openers.size(), killed, tracts, handled, told, unknowable,
           signalled ? (", withdrawn on a signal " + std::to_string(withdrawn)).c_str() : "", lost, dup, silent,
           litter ? (", .json left " + std::to_string(litter)).c_str() : "");
    fflush(stdout);
    t_.openers += static_cast<int>(openers.size());
    t_.killedOpeners += killed;
    t_.tracts += tracts;
    t_.handled += handled;
    t_.told += told;
    t_.unknowable += unknowable;
    t_.withdrawnOnSignal += withdrawn;
    t_.signalled += signalled;
    t_.lost += lost;
    t_.duplicated += dup;
    t_.silent += silent;
    t_.litter += litter;
  }

  std::mt19937_64 rnd_;
  bool canMount_ = false;
  Totals t_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || atof(argv[1]) <= 0) {
    fprintf(stderr, "usage: %s SECONDS [SEED]\n", argv[0]);
    return 2;
  }
  uint64_t seed = argc > 2 ? strtoull(argv[2], nullptr, 10) : std::random_device{}();
  printf("soak: %s s, seed %llu, opener %s\n", argv[1], static_cast<unsigned long long>(seed),
         cvstress::OpenerPath().c_str());
  Soak soak(seed);
  soak.RunFor(atof(argv[1]));
  const Totals& t = soak.totals();
  std::string mix;
  for (const auto& [n, c] : t.scenarios) mix += (mix.empty() ? "" : ", ") + n + " " + std::to_string(c);
  printf("checked: %d rounds (%s)\n", t.rounds, mix.c_str());
  printf("checked: %d openers (%d killed at random, %d of them by SIGTERM, SIGINT or SIGHUP), %d tracts: "
         "%d handled exactly once, %d covered by an alert, %d unhandled of killed openers, "
         "%d withdrawn on a signal\n",
         t.openers, t.killedOpeners, t.signalled, t.tracts, t.handled, t.told, t.unknowable, t.withdrawnOnSignal);
  printf("openers hanging past %.0f s: %d; .json left behind after a round: %d\n", kOpenerCap, t.hung, t.litter);
  printf("lost: %d, duplicated: %d, silent failures: %d\n", t.lost, t.duplicated, t.silent);
  return t.lost || t.duplicated || t.silent ? 1 : 0;
}
