#include "stress_rig.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "agent/probe.h"
#include "agent/scan.h"

namespace cvstress {

const char* const kNoResponseAlert =
    "Corvantis Agent didn't respond. Check its menu bar icon (quit and reopen it if it's stuck), then open the "
    "tract again.";
const char* const kNotCorvaAlert = "Corvantis opens .corva files only.";

std::string OpenerPath() { return cvtest::BuildDir() + "/Corvantis.app/Contents/MacOS/corvantis-opener"; }
std::string AgentPath() { return cvtest::BuildDir() + "/Corvantis.app/Contents/Resources/agent/CorvantisAgent"; }

std::string AlertLine(const std::string& text) { return "Corvantis Agent: " + text; }

int CountLines(const std::string& text, const std::string& line) {
  auto lines = cvtest::Lines(text);
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

int CountPrefixed(const std::string& text, const std::string& prefix) {
  int n = 0;
  for (const std::string& l : cvtest::Lines(text)) n += l.compare(0, prefix.size(), prefix) == 0;
  return n;
}

bool ExitedZero(const std::optional<int>& status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

bool ForeignAgentRuns(std::string* why) {
  // For an opener whose scan passes over the agents of other settings folders.
  if (const char* ok = getenv("CV_STRESS_OTHER_AGENTS_OK"); ok && std::string(ok) == "1") return false;
  pid_t young = 0;
  pid_t old = CVFindOldFrozenAgent(0, &young);
  if (old == 0 && young == 0) return false;
  *why = "another agent process runs: pid " + std::to_string(old ? old : young);
  return true;
}

Rig::Rig(std::optional<std::string> settings) : settingsPath_(settings.value_or(settings_.path())) {}

EnvChanges Rig::Env(const EnvChanges& extra) const {
  EnvChanges env = {
      {"CORVANTIS_AGENT_DIR", settingsPath_},
      {"CORVANTIS_LOG_STDERR", "1"},
      {"DISPLAY", std::nullopt},
      {"WAYLAND_DISPLAY", std::nullopt},
      {"CORVANTIS_AGENT_CLAIM_DELAY", std::nullopt},
      {"CORVANTIS_AGENT_HANDLE_DELAY", std::nullopt},
      {"CORVANTIS_AGENT_IDLE_EXIT", std::nullopt},
      {"CORVANTIS_AGENT_NO_LOCK", std::nullopt},
  };
  for (const auto& [k, v] : extra) env[k] = v;
  return env;
}

std::string Rig::Tract(const std::string& name) {
  std::string path = files_.Join(name);
  cvtest::WriteFile(path, "tract\n");
  return path;
}

std::unique_ptr<cvtest::Process> Rig::StartAgent(const EnvChanges& extra, bool* locked) {
  int n = ++runs_;
  auto agent = std::make_unique<cvtest::Process>(std::vector<std::string>{AgentPath()}, Env(extra),
                                                 logs_.Join("agent" + std::to_string(n) + ".out"),
                                                 logs_.Join("agent" + std::to_string(n) + ".err"));
  bool ok = agent->pid() > 0 && cvtest::WaitUntil([&] { return ProbeLock() == CVAgentRunning; }, 20);
  if (locked) *locked = ok;
  return agent;
}

std::unique_ptr<cvtest::Process> Rig::StartOpener(const std::vector<std::string>& args, const EnvChanges& extra,
                                                  const std::string& cwd) {
  int n = ++runs_;
  std::vector<std::string> argv = {OpenerPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<cvtest::Process>(argv, Env(extra), logs_.Join("opener" + std::to_string(n) + ".out"),
                                           logs_.Join("opener" + std::to_string(n) + ".err"), cwd);
}

int Rig::ProbeLock() const {
  int fd = open(settingsPath_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return CVAgentAbsent;
  int r = CVProbeAgent(fd, nullptr, nullptr);
  close(fd);
  return r;
}

std::vector<std::string> Rig::Queue(const std::string& suffix) const {
  std::vector<std::string> out;
  for (const std::string& n : cvtest::ListDir(QueueDir())) {
    if (n.size() >= suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
      out.push_back(n);
  }
  return out;
}

void Rig::CountOpens(const std::string& out, std::map<std::string, int>* counts) {
  for (const std::string& l : cvtest::Lines(out)) {
    if (l.compare(0, 5, "open ") == 0) ++(*counts)[l.substr(5)];
  }
}

bool CompleteOpenRequest(const std::string& doc, std::string* path) {
  nlohmann::json j = nlohmann::json::parse(doc, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return false;
  auto str = [&](const char* k) { return j.contains(k) && j[k].is_string(); };
  auto num = [&](const char* k) { return j.contains(k) && j[k].is_number(); };
  if (!str("format") || j["format"] != "corvantis.open/1" || !str("kind") || j["kind"] != "open") return false;
  if (!num("created") || !num("pid") || !str("origin") || !str("path")) return false;
  *path = j["path"].get<std::string>();
  return true;
}

std::mt19937_64 SeededRandom(const char* what) {
  uint64_t seed = std::random_device{}();
  if (const char* s = getenv("CV_STRESS_SEED")) seed = strtoull(s, nullptr, 10);
  fprintf(stderr, "%s: CV_STRESS_SEED=%llu\n", what, static_cast<unsigned long long>(seed));
  return std::mt19937_64(seed);
}

int Scaled(int count) {
  double scale = 1;
  if (const char* s = getenv("CV_STRESS_SCALE")) scale = strtod(s, nullptr);
  if (!(scale > 0)) scale = 1;
  return std::max(1, static_cast<int>(count * scale));
}

}  // namespace cvstress
