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
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "harness_run.h"
#include "harness_stats.h"
#include "queue/request_doc.h"

extern char** environ;

namespace {

using cvbench::RunSpec;
using cvbench::Summarize;
using cvbench::Summary;

constexpr int kBurst = 32;
constexpr double kLateHandleMs = 50;

struct Options {
  std::string opener, limit, safecat, peakRss, work, out, bus;
  int runs = 30, warmup = 3, waitRuns = 3, rssRuns = 5;
};

[[noreturn]] void Die(const std::string& message) {
  std::fprintf(stderr, "corvantis-bench: %s\n", message.c_str());
  std::exit(1);
}

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

void MakeDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) Die("mkdir " + path + ": " + std::strerror(errno));
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary);
  f << data;
  if (!f) Die("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The layout below the work folder.
struct Work {
  std::string root, settings, queue, home, runtime, safecatTmp, safecatNew, safecatInput;
  std::vector<std::string> docs;

  explicit Work(const std::string& dir) : root(dir) {
    settings = root + "/settings";
    queue = settings + "/open-requests";
    home = root + "/home";
    runtime = root + "/runtime";
    safecatTmp = root + "/safecat-tmp";
    safecatNew = root + "/safecat-new";
    safecatInput = root + "/safecat-input.json";
    for (const auto& d : {root, settings, queue, home, runtime, safecatTmp, safecatNew, root + "/docs"}) {
      MakeDir(d);
    }
    for (int i = 0; i < kBurst; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/docs/plan-%02d.corva", i);
      docs.push_back(root + name);
      WriteFile(docs.back(), "Corvantis sample tract\n");
    }
    // safecat delivers the bytes of one request document.
    WriteFile(safecatInput, *CVRequestDocument("open", docs[0], 1.7e9 + 0.123456789, 4242, "mac-opener"));
  }
};

// Holds "agent.lock" with an exclusive flock, naming this process, for the
// life of the harness: to the opener an agent runs.
int HoldAgentLock(const Work& w) {
  std::string path = w.settings + "/agent.lock";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) Die("open " + path + ": " + std::strerror(errno));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) Die("lock " + path + ": " + std::strerror(errno));
  std::string doc = "{\"pid\":" + std::to_string(::getpid()) + "}";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, doc.data(), doc.size(), 0) != static_cast<ssize_t>(doc.size())) {
    Die("write " + path);
  }
  return fd;
}

// The contenders' environment: the harness's own without display, bus and
// settings variables, plus the work folder's settings, home and runtime
// folder, the log on standard error and, when given, the session bus.
std::vector<std::string> Environment(const Work& w, const std::string& bus) {
  static const char* kDropped[] = {"DISPLAY=", "WAYLAND_DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=",
                                   "XDG_RUNTIME_DIR=", "HOME=", "CORVANTIS_", "APPDATA="};
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    bool drop = false;
    for (const char* prefix : kDropped) drop = drop || std::strncmp(*e, prefix, std::strlen(prefix)) == 0;
    if (!drop) env.emplace_back(*e);
  }
  env.push_back("CORVANTIS_AGENT_DIR=" + w.settings);
  env.push_back("CORVANTIS_LOG_STDERR=1");
  env.push_back("HOME=" + w.home);
  env.push_back("XDG_RUNTIME_DIR=" + w.runtime);
  if (!bus.empty()) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus);
  return env;
}

// Runs `argv` with standard input from `in` and output into `out`; its
// exit status, or -1.
int RunToFile(const std::vector<std::string>& args, const std::string& in, const std::string& out) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  int rc = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Compares the limit program's documents with the opener's builder over
// many clock readings and two paths. Prints the count of differences;
// dies when more than 1 % differ (a real fault in the limit's bytes).
void CheckDocuments(const Options& o, const Work& w) {
  constexpr int kReadings = 20000;
  std::mt19937_64 rng(20261210);
  std::ostringstream values;
  std::vector<std::pair<double, long long>> readings;
  for (int i = 0; i < kReadings; ++i) {
    double sec = 1.7e9 + static_cast<double>(rng() % 200000000);
    double created = sec + static_cast<double>(rng() % 1000000000) / 1e9;
    long long pid = 1 + static_cast<long long>(rng() % 4194304);
    readings.emplace_back(created, pid);
    char line[64];
    std::snprintf(line, sizeof line, "%.17g %lld\n", created, pid);
    values << line;
  }
  WriteFile(w.root + "/check-in", values.str());
  int differ = 0;
  std::string example;
  for (const std::string& path : {w.docs[0], w.root + "/a \"q\" \\ \xc3\xa9\t\x01\x1f\x7f/x.corva"}) {
    if (RunToFile({o.limit, "--print", path}, w.root + "/check-in", w.root + "/check-out") != 0) {
      Die("the limit program failed in --print");
    }
    std::istringstream got(ReadFile(w.root + "/check-out"));
    std::string line;
    for (const auto& [created, pid] : readings) {
      if (!std::getline(got, line)) Die("the limit program printed too few documents");
      std::string want = *CVRequestDocument("open", path, created, pid, "mac-opener");
      if (line != want) {
        ++differ;
        if (example.empty()) example = "limit " + line + "\nopener " + want;
      }
    }
  }
  std::printf("Document check: the limit program's bytes equal the opener's for %d of %d documents",
              2 * kReadings - differ, 2 * kReadings);
  if (differ > 0) std::printf(" (the others differ only in the digits of \"created\")");
  std::printf("\n\n");
  if (differ * 100 > 2 * kReadings) Die("too many documents differ:\n" + example);
  if (!example.empty()) {
    // Any difference must lie in the "created" number alone.
    std::string a = example.substr(6, example.find('\n') - 6);
    std::string b = example.substr(example.find("\nopener ") + 8);
    auto strip = [](std::string s) {
      size_t at = s.find("\"created\":");
      size_t end = s.find(',', at);
      return s.erase(at, end - at);
    };
    if (strip(a) != strip(b)) Die("documents differ beyond \"created\":\n" + example);
  }
}

struct Case {
  Case(std::string n, std::string c, RunSpec s)
      : name(std::move(n)), contender(std::move(c)), spec(std::move(s)) {}
  std::string name;       // file-name friendly
  std::string contender;  // shown in the tables
  RunSpec spec;
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
  Work w(real);
  std::free(real);
  if (!o.out.empty()) MakeDir(o.out);
  int lockFd = HoldAgentLock(w);
  CheckDocuments(o, w);

  auto plain = Environment(w, "");
  auto bus = Environment(w, o.bus);
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
  cases.back().spec.handleDelayMs = kLateHandleMs;
  cases.emplace_back("burst-opener", "opener", QueueSpec(w, plain, o.opener, kBurst, true));
  cases.emplace_back("burst-limit", "limit", QueueSpec(w, plain, o.limit, kBurst, false));

  for (int round = 0; round < o.warmup + o.runs; ++round) {
    for (auto& c : cases) Record(c, cvbench::RunOnce(c.spec), round >= o.warmup);
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
      long kib = cvbench::PeakRssKiB(o.peakRss, c.spec, &error);
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
  std::printf("| visible: opener ≤ 1.25 × limit | %s |\n", met(at(vo, vl, 1.25), !vo.empty()));
  std::printf("| visible: opener ≤ safecat | %s |\n", met(at(vo, vs, 1.0), !vo.empty()));
  if (!o.bus.empty()) {
    auto& bo = byName("bus-opener").visible;
    std::printf("| with a session bus: opener ≤ 1.25 × limit | %s |\n",
                met(at(bo, byName("bus-limit").visible, 1.25), !bo.empty()));
    std::printf("| with a session bus: opener ≤ safecat | %s |\n",
                met(at(bo, byName("bus-safecat").visible, 1.0), !bo.empty()));
  } else {
    std::printf("| with a session bus | not measured (no bus given) |\n");
  }
  auto& bo32 = byName("burst-opener").visible;
  std::printf("| burst of 32: opener ≤ 1.25 × limit | %s |\n",
              met(at(bo32, byName("burst-limit").visible, 1.25), !bo32.empty()));
  auto& ex = byName("visible-opener").exitAfterHandled;
  std::printf("| \".claimed\" removed → exit ≤ 5 ms | %s |\n", met(!ex.empty() && Median(ex) <= 5, !ex.empty()));
  auto& late = byName("late-opener").exitAfterHandled;
  std::printf("| the same, handled 50 ms after visible | %s |\n", met(!late.empty() && Median(late) <= 5, !late.empty()));
  std::printf("| waiting: ≤ 2 ms CPU per s | %s |\n", met(!waitCpu.empty() && Median(waitCpu) <= 2, !waitCpu.empty()));
  std::printf("| waiting: ≤ 4 wake-ups per s | %s |\n",
              met(!waitWakeups.empty() && Median(waitWakeups) <= 4, !waitWakeups.empty()));
  std::printf("| peak memory: opener ≤ 2 × safecat | %s |\n",
              met(at(rssMiB["opener"], rssMiB["safecat"], 2.0), !rssMiB["opener"].empty()));

  int failed = 0;
  for (const auto& c : cases) failed += c.failures;
  if (failed > 0) std::printf("\n%d runs failed and were left out (see standard error).\n", failed);
  return 0;
}
