// corvantis-bench: times the opener against the limit program and safecat,
// run by run in turn, and prints the figures as Markdown tables. Driven by
// bench/run.sh, which builds the programs and starts the session bus.
//
//   corvantis-bench --opener P --limit P --safecat P --peak-rss P --work DIR
//                   [--out DIR] [--runs N] [--warmup N] [--bus ADDRESS]
//                   [--wait-runs N] [--rss-runs N]
//
// DIR must be an empty folder on the file system to measure. The harness
// creates the settings folder there, holds its "agent.lock" for the whole
// run (so the opener finds a running agent and posts at once) and plays the
// agent that claims and handles every request instantly. --out receives one
// file of samples (milliseconds, one a line) per series, for the chart.
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness_run.h"
#include "harness_setup.h"
#include "harness_stats.h"

namespace {

using cvbench::Die;
using cvbench::MakeDir;
using cvbench::RunSpec;
using cvbench::Summarize;
using cvbench::Summary;
using cvbench::Work;
using cvbench::WriteFile;

constexpr int kBurst = 32;
constexpr double kLateHandleMs = 50;

struct Options {
  std::string opener, limit, safecat, peakRss, work, out, bus;
  int runs = 30, warmup = 3, waitRuns = 3, rssRuns = 5;
};

Options Parse(int argc, char** argv) {
  Options o;
  std::map<std::string, std::string*> text = {
      {"--opener", &o.opener}, {"--limit", &o.limit},     {"--safecat", &o.safecat},
      {"--peak-rss", &o.peakRss}, {"--work", &o.work},   {"--out", &o.out},
      {"--bus", &o.bus}};
  std::map<std::string, int*> numbers = {
      {"--runs", &o.runs}, {"--warmup", &o.warmup}, {"--wait-runs", &o.waitRuns},
      {"--rss-runs", &o.rssRuns}};
  for (int i = 1; i < argc; i += 2) {
    std::string key = argv[i];
    if (i + 1 >= argc) Die("missing value for " + key);
    if (text.count(key)) {
      *text[key] = argv[i + 1];
    } else if (numbers.count(key)) {
      *numbers[key] = std::atoi(argv[i + 1]);
    } else {
      Die("unknown option " + key);
    }
  }
  if (o.opener.empty() || o.limit.empty() || o.safecat.empty() || o.peakRss.empty() ||
      o.work.empty()) {
    Die("usage: corvantis-bench --opener P --limit P --safecat P --peak-rss P --work DIR "
        "[--out DIR] [--runs N] [--warmup N] [--bus ADDRESS] [--wait-runs N] [--rss-runs N]");
  }
  if (o.runs < 1 || o.warmup < 0 || o.waitRuns < 0 || o.rssRuns < 0) Die("bad run count");
  return o;
}

struct Case {
  Case(std::string n, std::string c, RunSpec s)
      : name(std::move(n)), contender(std::move(c)), plan(std::move(s)) {}
  std::string name;       // file-name friendly
  std::string contender;  // shown in the tables
  RunSpec plan;
  std::vector<double> visible, exitAfterHandled, launchToExit;
  int failures = 0;
};

RunSpec QueueSpec(const Work& w, const std::vector<std::string>& env, const std::string& program,
                  int docs, bool handleAtOnce) {
  RunSpec s;
  s.argv = {program};
  for (int i = 0; i < docs; ++i) s.argv.push_back(w.docs[static_cast<size_t>(i)]);
  s.env = env;
  s.watchDir = w.queue;
  s.queueFolder = true;
  s.expect = docs;
  s.handleAtOnce = handleAtOnce;
  return s;
}

RunSpec SafecatSpec(const Work& w, const std::vector<std::string>& env, const std::string& program) {
  RunSpec s;
  s.argv = {program, w.safecatTmp, w.safecatNew};
  s.env = env;
  s.stdinPath = w.safecatInput;
  s.watchDir = w.safecatNew;
  s.queueFolder = false;
  s.scratchDir = w.safecatTmp;
  return s;
}

void Record(Case& c, const cvbench::RunResult& r, bool keep) {
  if (!r.ok) {
    std::fprintf(stderr, "corvantis-bench: %s: %s\n", c.name.c_str(), r.error.c_str());
    if (++c.failures > 5) Die("too many failed runs of " + c.name);
    return;
  }
  if (r.leftovers > 0) std::fprintf(stderr, "corvantis-bench: %s: %d stray entries removed\n", c.name.c_str(), r.leftovers);
  if (!keep) return;
  c.visible.push_back(r.visibleMs);
  if (r.exitAfterHandledMs >= 0) c.exitAfterHandled.push_back(r.exitAfterHandledMs);
  c.launchToExit.push_back(r.launchToExitMs);
}

void WriteSamples(const Options& o, const std::string& name, const std::vector<double>& v) {
  if (o.out.empty() || v.empty()) return;
  std::ostringstream s;
  for (double x : v) s << x << "\n";
  WriteFile(o.out + "/" + name + ".txt", s.str());
}

std::string Ms(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, v < 10 ? "%.2f" : "%.1f", v);
  return buf;
}

void Row(const std::string& figure, const std::string& contender, const std::vector<double>& v,
         const std::string& unit = "ms") {
  Summary s = Summarize(v);
  if (s.n == 0) return;
  std::printf("| %s | %s | %d | %s | %s | %s | %s |\n", figure.c_str(), contender.c_str(), s.n,
              Ms(s.min).c_str(), Ms(s.median).c_str(), Ms(s.max).c_str(), unit.c_str());
}

double Median(const std::vector<double>& v) { return Summarize(v).median; }

std::string Ratio(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.empty() || b.empty() || Median(b) <= 0) return "n/a";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", Median(a) / Median(b));
  return buf;
}

std::string FileSystem(const std::string& path) {
  struct statfs st;
  if (::statfs(path.c_str(), &st) != 0) return "unknown";
  switch (static_cast<unsigned long>(st.f_type)) {
    case 0xEF53: return "ext4";
    case 0x01021994: return "tmpfs";
    case 0x58465342: return "xfs";
    case 0x9123683E: return "btrfs";
    case 0x794C7630: return "overlayfs";
    default: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "0x%lx", static_cast<unsigned long>(st.f_type));
      return buf;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o = Parse(argc, argv);
  MakeDir(o.work);
  // The settings folder must be an absolute path.
  char* real = ::realpath(o.work.c_str(), nullptr);
  if (!real) Die("realpath " + o.work + ": " + std::strerror(errno));
  Work w(real, kBurst);
  std::free(real);
  if (!o.out.empty()) MakeDir(o.out);
  int lockFd = cvbench::HoldAgentLock(w);
  cvbench::CheckLimitDocuments(o.limit, w);

  auto plain = cvbench::ContenderEnvironment(w, "");
  auto bus = cvbench::ContenderEnvironment(w, o.bus);
  std::vector<Case> cases;
  cases.emplace_back("visible-opener", "opener", QueueSpec(w, plain, o.opener, 1, true));
  cases.emplace_back("visible-limit", "limit", QueueSpec(w, plain, o.limit, 1, false));
  cases.emplace_back("visible-safecat", "safecat", SafecatSpec(w, plain, o.safecat));
  if (!o.bus.empty()) {
    cases.emplace_back("bus-opener", "opener", QueueSpec(w, bus, o.opener, 1, true));
    cases.emplace_back("bus-limit", "limit", QueueSpec(w, bus, o.limit, 1, false));
    cases.emplace_back("bus-safecat", "safecat", SafecatSpec(w, bus, o.safecat));
  }
  // The agent handles 50 ms after the request appeared: the opener is past
  // its start then.
  cases.emplace_back("late-opener", "opener", QueueSpec(w, plain, o.opener, 1, true));
  cases.back().plan.handleDelayMs = kLateHandleMs;
  cases.emplace_back("burst-opener", "opener", QueueSpec(w, plain, o.opener, kBurst, true));
  cases.emplace_back("burst-limit", "limit", QueueSpec(w, plain, o.limit, kBurst, false));

  for (int round = 0; round < o.warmup + o.runs; ++round) {
    for (auto& c : cases) Record(c, cvbench::RunOnce(c.plan), round >= o.warmup);
  }
  for (auto& c : cases) WriteSamples(o, c.name, c.visible);
  auto byName = [&](const std::string& name) -> Case& {
    for (auto& c : cases) {
      if (c.name == name) return c;
    }
    Die("no case " + name);
  };

  // Peak resident memory, through the static launcher, in turn as well.
  std::vector<Case> rss = {{"rss-opener", "opener", QueueSpec(w, plain, o.opener, 1, true)},
                           {"rss-limit", "limit", QueueSpec(w, plain, o.limit, 1, false)},
                           {"rss-safecat", "safecat", SafecatSpec(w, plain, o.safecat)}};
  std::map<std::string, std::vector<double>> rssMiB;
  for (int round = 0; round < o.rssRuns; ++round) {
    for (auto& c : rss) {
      std::string error;
      long kib = cvbench::PeakRssKiB(o.peakRss, c.plan, &error);
      if (kib < 0) {
        std::fprintf(stderr, "corvantis-bench: %s: %s\n", c.name.c_str(), error.c_str());
        continue;
      }
      rssMiB[c.contender].push_back(static_cast<double>(kib) / 1024.0);
    }
  }

  // Waiting: the request stays unclaimed for 10 s, then is handled.
  std::vector<double> waitCpu, waitWakeups, waitThreads;
  RunSpec wait = QueueSpec(w, plain, o.opener, 1, true);
  wait.sampleWait = true;
  for (int i = 0; i < o.waitRuns; ++i) {
    cvbench::RunResult r = cvbench::RunOnce(wait);
    if (!r.ok) {
      std::fprintf(stderr, "corvantis-bench: waiting: %s\n", r.error.c_str());
      continue;
    }
    double seconds = r.waitSpanMs / 1000.0;
    waitCpu.push_back(r.waitCpuMs / seconds);
    waitWakeups.push_back(static_cast<double>(r.waitSwitches) / seconds);
    waitThreads.push_back(r.threads);
  }
  ::close(lockFd);

  struct utsname u;
  ::uname(&u);
  std::printf("Runs: %d per series after %d warm-up rounds, contenders in turn; file system: %s (%s); "
              "kernel %s; %ld online CPUs.\n\n",
              o.runs, o.warmup, FileSystem(w.queue).c_str(), w.root.c_str(), u.release,
              ::sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("| figure | contender | runs | min | median | max | unit |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const char* n : {"visible-opener", "visible-limit", "visible-safecat"}) {
    Row("spawn → request visible", byName(n).contender, byName(n).visible);
  }
  if (!o.bus.empty()) {
    for (const char* n : {"bus-opener", "bus-limit", "bus-safecat"}) {
      Row("the same, session bus running", byName(n).contender, byName(n).visible);
    }
  }
  Row("32 documents, all visible", "opener", byName("burst-opener").visible);
  Row("32 documents, all visible", "limit", byName("burst-limit").visible);
  Row("\".claimed\" removed → exit", "opener", byName("visible-opener").exitAfterHandled);
  if (!o.bus.empty()) Row("the same, session bus running", "opener", byName("bus-opener").exitAfterHandled);
  Row("the same, handled 50 ms after visible", "opener", byName("late-opener").exitAfterHandled);
  Row("32 handled → exit", "opener", byName("burst-opener").exitAfterHandled);
  for (const char* n : {"visible-opener", "visible-limit", "visible-safecat"}) {
    Row("launch → exit", byName(n).contender, byName(n).launchToExit);
  }
  Row("waiting: CPU time", "opener", waitCpu, "ms/s");
  Row("waiting: wake-ups", "opener", waitWakeups, "1/s");
  Row("waiting: threads", "opener", waitThreads, "");
  for (const char* n : {"opener", "limit", "safecat"}) Row("peak resident memory", n, rssMiB[n], "MiB");

  auto& vo = byName("visible-opener").visible;
  auto& vl = byName("visible-limit").visible;
  auto& vs = byName("visible-safecat").visible;
  std::printf("\nRatios of medians: visible opener/limit %s, opener/safecat %s",
              Ratio(vo, vl).c_str(), Ratio(vo, vs).c_str());
  if (!o.bus.empty()) {
    std::printf("; with the bus opener/limit %s, opener/safecat %s",
                Ratio(byName("bus-opener").visible, byName("bus-limit").visible).c_str(),
                Ratio(byName("bus-opener").visible, byName("bus-safecat").visible).c_str());
  }
  std::printf("; burst opener/limit %s; peak memory opener/safecat %s.\n\n",
              Ratio(byName("burst-opener").visible, byName("burst-limit").visible).c_str(),
              Ratio(rssMiB["opener"], rssMiB["safecat"]).c_str());

  auto met = [](bool ok, bool known) { return !known ? "not measured" : ok ? "met" : "not met"; };
  auto at = [](const std::vector<double>& a, const std::vector<double>& b, double f) {
    return !a.empty() && !b.empty() && Median(a) <= f * Median(b);
  };
  std::printf("| goal (medians) | result |\n|---|---|\n");
  std::printf("| visible: opener ≤ 1.10 × limit | %s |\n", met(at(vo, vl, 1.10), !vo.empty()));
  std::printf("| visible: opener ≤ safecat | %s |\n", met(at(vo, vs, 1.0), !vo.empty()));
  if (!o.bus.empty()) {
    auto& bo = byName("bus-opener").visible;
    std::printf("| with a session bus: opener ≤ 1.10 × limit | %s |\n",
                met(at(bo, byName("bus-limit").visible, 1.10), !bo.empty()));
    std::printf("| with a session bus: opener ≤ safecat | %s |\n",
                met(at(bo, byName("bus-safecat").visible, 1.0), !bo.empty()));
  } else {
    std::printf("| with a session bus | not measured (no bus given) |\n");
  }
  auto& bo32 = byName("burst-opener").visible;
  std::printf("| burst of 32: opener ≤ 1.10 × limit | %s |\n",
              met(at(bo32, byName("burst-limit").visible, 1.10), !bo32.empty()));
  auto& ex = byName("visible-opener").exitAfterHandled;
  std::printf("| \".claimed\" removed → exit ≤ 1 ms | %s |\n", met(!ex.empty() && Median(ex) <= 1, !ex.empty()));
  auto& late = byName("late-opener").exitAfterHandled;
  std::printf("| the same, handled 50 ms after visible | %s |\n", met(!late.empty() && Median(late) <= 1, !late.empty()));
  std::printf("| waiting: ≤ 1 ms CPU per s | %s |\n", met(!waitCpu.empty() && Median(waitCpu) <= 1, !waitCpu.empty()));
  std::printf("| waiting: ≤ 4 wake-ups per s | %s |\n",
              met(!waitWakeups.empty() && Median(waitWakeups) <= 4, !waitWakeups.empty()));
  std::printf("| peak memory: opener ≤ 1.5 × safecat | %s |\n",
              met(at(rssMiB["opener"], rssMiB["safecat"], 1.5), !rssMiB["opener"].empty()));

  int failed = 0;
  for (const auto& c : cases) failed += c.failures;
  if (failed > 0) std::printf("\n%d runs failed and were left out (see standard error).\n", failed);
  return 0;
}
