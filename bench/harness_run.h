// One measured launch of a contender: spawned with posix_spawn, its output
// files watched with inotify, its exit watched through a pidfd. The harness
// plays the agent: once every expected request is visible it claims each
// (rename to ".claimed", failing if the name is gone) and removes it at
// once, as an agent that handles requests instantly would.
//
// After each run the folders are emptied and the file system is synced, so
// that no run pays for the metadata of the one before.
//
// All instants are CLOCK_MONOTONIC. A run that fails (the contender exits
// before its files appear, or something takes longer than the time limit)
// is reported in `error` and leaves no child behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cvbench {

// Monotonic milliseconds.
double NowMs();

struct RunSpec {
  std::vector<std::string> argv;      // argv[0] is the program's path
  std::vector<std::string> env;       // the whole environment, "NAME=value"
  std::string stdinPath = "/dev/null";
  // The folder whose new entries count, and how: queue-folder mode counts
  // IN_MOVED_TO of names ending in ".json" and claims them; otherwise every
  // IN_CREATE of a name not starting with "." counts and is removed after.
  std::string watchDir;
  bool queueFolder = true;
  int expect = 1;                     // entries that make the run's output visible
  // Queue-folder mode: claim and remove the requests as soon as all are
  // visible (the opener waits for that); otherwise only after the exit.
  bool handleAtOnce = false;
  // ... or that many milliseconds after they became visible.
  double handleDelayMs = 0;
  // Extra folder emptied after the run (safecat's temporary folder).
  std::string scratchDir;
  // Waiting measurement: after the output is visible, sample the process at
  // +`sampleFromMs` and +`sampleToMs` and only then claim. Both instants lie
  // half-way between two 0.25 s ticks of an opener started just before the
  // request became visible, so that the span holds exactly 38 ticks, however
  // a tick is placed within a millisecond or two.
  bool sampleWait = false;
  double sampleFromMs = 625;
  double sampleToMs = 10125;
  double timeLimitMs = 30000;
};

struct RunResult {
  bool ok = false;
  std::string error;
  double visibleMs = -1;            // spawn -> the expected-th entry seen
  double exitAfterHandledMs = -1;   // last ".claimed" removed -> exit seen (queue mode)
  double launchToExitMs = -1;       // spawn -> exit seen
  int status = 0;                   // raw wait status
  // Waiting samples (sampleWait): CPU time of all threads in ms and context
  // switches (voluntary + involuntary, all threads) between the samples.
  double waitSpanMs = 0;
  double waitCpuMs = 0;
  long waitSwitches = 0;
  int threads = 0;                  // threads seen at the second sample
  int leftovers = 0;                // entries found in the folders after the run
};

// Runs `plan` once. The folders must exist and be empty.
RunResult RunOnce(const RunSpec& plan);

// Runs `plan.argv` through the static peak-memory launcher `launcher`
// (corvantis-peak-rss) and returns the peak resident memory in KiB, or -1
// with `*error` set. Output handling as in RunOnce.
long PeakRssKiB(const std::string& launcher, const RunSpec& plan, std::string* error);

// Removes every entry of `dir` (not recursing). Returns how many there were.
int EmptyFolder(const std::string& dir);

}  // namespace cvbench
