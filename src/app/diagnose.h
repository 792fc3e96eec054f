// corvantis-opener --diagnose: what a person whose double-click "did
// nothing" needs to know, gathered without posting, starting or changing
// anything. The settings folder is opened read-only and never created or
// tightened; the queue folder is only listed; the lock is only probed (a
// shared lock held for an instant, never waited for); the service manager
// is only asked (one `systemctl --user show`, with a time-out). No log
// line is written.
//
// Main thread only. Every system call goes through the Env given, which is
// installed as the current Env (ScopedEnv) while the facts are gathered, so
// that the functions with fixed arguments it calls (CVConfDir, the "A1"
// wording of CVConfErrorText) see the same system; the questions about the
// agent (the lock probe, the scan for agents without the lock, the bundled
// copy) go to the AgentControl given.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "opener/agent_control.h"
#include "util/env.h"

namespace cv {

// The user service the opener asks to start the agent, and the query.
inline constexpr const char* kAgentServiceUnit = "corvantis.agent.service";
inline constexpr const char* kSystemctl = "/usr/bin/systemctl";
inline constexpr double kServiceQuerySeconds = 5;
// Requests listed one a line; the rest are counted.
inline constexpr size_t kListedRequestsMax = 40;

// The settings folder as the opener would meet it at its next run.
struct FolderFacts {
  std::string source;                // the setting that decided, e.g. "CORVANTIS_AGENT_DIR"
  std::optional<std::string> value;  // its value (none for the password database)
  std::optional<std::string> path;   // CVConfDir()
  // 0 when usable. Otherwise the error number the opener's open of the
  // folder, or its first request write, would meet (EINVAL: no path); the
  // "A1" text words it.
  int err = 0;
  std::string errWhere;   // "" for the folder itself, else what failed inside it
  bool missing = false;   // usable, not there yet: the opener creates it (mode 0700)
  mode_t mode = 0;        // the folder's permission bits, when it exists
  bool tightens = false;  // group or other bits set: the opener sets 0700
  // Usable, but its owner may not search it until it is tightened: nothing
  // inside (the queue folder, the lock file) was looked at.
  bool hidden = false;
};

// A folder that the opener tightens (group or other bits set) is judged as
// it will be once its mode is 0700, which gives its owner read, write and
// search permission: a plain EACCES of the folder as it is does not count.
// What would make the tightening itself fail counts: a read-only file
// system (EROFS), an immutable folder (EPERM, as access(2) reports it).

// One request file in the queue folder.
struct QueuedRequest {
  std::string stem;
  bool claimed = false;              // <stem>.claimed; else <stem>.json
  std::optional<double> ageSeconds;  // now minus the stem's milliseconds; none when they overflow
};

struct QueueFacts {
  bool looked = false;                  // the folder was open for listing
  bool present = false;                 // the queue folder exists and was listed
  int err = 0;                          // why it could not be listed (not ENOENT)
  mode_t mode = 0;                      // its permission bits, when present
  bool tightens = false;                // group or other bits set: the opener sets 0700
  std::vector<QueuedRequest> requests;  // in stem order (the order of posting)
  size_t beingWritten = 0;              // ".<hex>.tmp" files
  size_t others = 0;                    // names that are no request
};

struct AgentFacts {
  bool probed = false;   // the lock was probed (the folder exists and is this user's)
  int probe = 0;         // CVAgentAbsent, CVAgentRunning or CVAgentUnknown
  int pid = 0;           // the lock file's pid after CVAgentRunning (0: none named)
  int err = 0;           // after CVAgentUnknown
  bool scanned = false;  // agents without the lock were looked for (the lock is free)
  pid_t old = 0;         // one running more than 19 s without the lock
  pid_t young = 0;       // one of 19 s or younger (starting)
};

struct ServiceFacts {
  enum State {
    kNotAsked,   // systemctl could not be run, or did not answer in time
    kNoManager,  // systemctl answered with a failure: no user service manager
    kAnswered,
  };
  State state = kNotAsked;
  std::string loadState;    // "loaded", "not-found", "masked", ...
  std::string activeState;  // "active", "inactive", "failed", ...
  std::string detail;       // kNotAsked / kNoManager: why, for a person
  // `systemctl --user start` would start it (the opener's first way).
  bool installed() const { return state == kAnswered && loadState == "loaded"; }
  bool active() const { return installed() && (activeState == "active" || activeState == "reloading"); }
};

struct AlertFacts {
  bool windows = false;  // a display is named and the alert program is there
  std::string display;   // "DISPLAY=:0" or "WAYLAND_DISPLAY=wayland-0"; "" when neither is set
  std::string program;   // where corvantis-alert is looked for ("" when the program's place is unknown)
  bool programFound = false;
};

struct Diagnosis {
  FolderFacts folder;
  AgentFacts agent;
  QueueFacts queue;
  std::optional<std::string> exe;           // this program
  std::optional<std::string> bundledAgent;  // AgentControl::BundledAgent()
  ServiceFacts service;
  AlertFacts alerts;
};

// Gathers every fact, with `env` the current Env for the duration. Opens
// nothing for writing; every descriptor it opens is closed before it
// returns. `env` must not be null.
Diagnosis Diagnose(Env* env, AgentControl& agents);

// Whether a document opened now would reach an agent, and the reason for a
// person. It would exactly when the settings folder is usable and one of:
//   1. an agent holds the lock on agent.lock;
//   2. the lock is free and the user service is installed (LoadState
//      "loaded") and not active, so that `systemctl --user start` starts it;
//   3. the lock is free, the user service is not installed or no user
//      service manager answers, the bundled agent copy is there, and no
//      agent has run more than 19 s without the lock (one that is younger
//      is starting, and the opener waits for it).
// Not when the lock cannot be probed, nor when the user service is already
// active while nobody holds the lock (its agent takes no requests from this
// settings folder: the opener would wait 90 s and report that it didn't
// respond).
struct Verdict {
  bool reaches = false;
  std::string why;
};
Verdict Judge(const Diagnosis& d);

// The report: aligned "label: value" lines, each ending in "\n". An
// unusable folder is worded by CVConfErrorText, from the current Env: call
// it with the Env of Diagnose current, as RunDiagnose does.
std::string FormatDiagnosis(const Diagnosis& d, const Verdict& v);

// Diagnose, Judge and FormatDiagnosis, all with `env` the current Env:
// stores the report in `report` and returns the exit status, 0 when a
// document would reach an agent, else 1.
int RunDiagnose(Env* env, AgentControl& agents, std::string* report);

}  // namespace cv
