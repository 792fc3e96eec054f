// The whole program under stress: a temporary settings folder, the built
// opener and the built reference agent as real processes, and the readings
// the stress tests and the soak take of them (the agent's lines per path,
// what is left in the queue folder, the opener's alert lines).
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_support.h"

namespace cvstress {

using EnvChanges = std::map<std::string, std::optional<std::string>>;

// The built programs (CV_BUILD_DIR, else the tree the test was built in).
std::string OpenerPath();
std::string AgentPath();

// "Corvantis Agent: " + `text`: how an alert shows on stderr without a display.
std::string AlertLine(const std::string& text);

// The fixed texts the stress tests look for.
extern const char* const kNoResponseAlert;  // "A5"
extern const char* const kNotCorvaAlert;    // "not-corva"

// Lines of `text` equal to `line`.
int CountLines(const std::string& text, const std::string& line);
// Lines of `text` starting with `prefix`.
int CountPrefixed(const std::string& text, const std::string& prefix);

// Whether a wait status is a normal exit with status 0.
bool ExitedZero(const std::optional<int>& status);

// Whether an agent process of this user runs anywhere (found by the
// opener's own scan). An opener that must spawn its bundled agent waits for
// such a process, so the cases that need a spawn skip while one runs.
// CV_STRESS_OTHER_AGENTS_OK=1 answers false, for an opener whose scan passes
// over the agents of other settings folders.
bool ForeignAgentRuns(std::string* why);

// One settings folder with its tracts and its logs. Every program started
// here gets the folder in CORVANTIS_AGENT_DIR, log lines on stderr and no
// display. Nothing it starts outlives it (Process kills on destruction).
class Rig {
 public:
  // `settings`: an existing folder to use instead of a fresh one.
  explicit Rig(std::optional<std::string> settings = std::nullopt);

  const std::string& Settings() const { return settingsPath_; }
  std::string QueueDir() const { return settingsPath_ + "/open-requests"; }
  std::string FilesDir() const { return files_.path(); }

  EnvChanges Env(const EnvChanges& extra = {}) const;

  // Creates the tract `name` in the files folder; returns its path.
  std::string Tract(const std::string& name);

  // Starts a reference agent and waits until it holds its lock (false in
  // `*locked` when it does not within 20 s).
  std::unique_ptr<cvtest::Process> StartAgent(const EnvChanges& extra = {}, bool* locked = nullptr);
  // Starts an opener with `args` (no waiting). Its output files are named
  // after a running number, so many can run at once.
  std::unique_ptr<cvtest::Process> StartOpener(const std::vector<std::string>& args, const EnvChanges& extra = {},
                                               const std::string& cwd = "");

  // The lock probe's answer for this settings folder (CVAgentAbsent when
  // the folder cannot be opened).
  int ProbeLock() const;

  // Names in the queue folder ending in `suffix` (all names for "").
  std::vector<std::string> Queue(const std::string& suffix = "") const;

  // The "open <path>" lines of an agent's output, counted per path.
  static void CountOpens(const std::string& out, std::map<std::string, int>* counts);

 private:
  cvtest::TempDir settings_;
  std::string settingsPath_;
  cvtest::TempDir files_;
  cvtest::TempDir logs_;
  int runs_ = 0;
};

// Whether `doc` is a complete open request in the opener's format: a JSON
// object with format "corvantis.open/1", kind "open", a numeric created and
// pid, a string origin and path. `*path` gets the path.
bool CompleteOpenRequest(const std::string& doc, std::string* path);

// A seeded generator; the seed comes from CV_STRESS_SEED when set, and is
// printed so that a failing run can be repeated.
std::mt19937_64 SeededRandom(const char* what);

// A count scaled by CV_STRESS_SCALE (a positive number, default 1), at least 1.
int Scaled(int count);

}  // namespace cvstress
