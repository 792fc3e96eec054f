// The environment knobs of the reference agent, read once at start. They
// exist for the tests and the demo: they slow the agent down, make it quit
// when idle, or make it play an older agent that never locks.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace cvagent {

inline constexpr const char* kClaimDelayVar = "CORVANTIS_AGENT_CLAIM_DELAY";
inline constexpr const char* kHandleDelayVar = "CORVANTIS_AGENT_HANDLE_DELAY";
inline constexpr const char* kIdleExitVar = "CORVANTIS_AGENT_IDLE_EXIT";
inline constexpr const char* kNoLockVar = "CORVANTIS_AGENT_NO_LOCK";
inline constexpr const char* kSweepIntervalVar = "CORVANTIS_AGENT_SWEEP_INTERVAL";

// A writer's temporary file older than this is litter of a writer that died
// (36 hours outlives any write); the agent removes it at start and every
// sweep interval.
inline constexpr double kStaleTemporarySeconds = 36 * 3600.0;

struct Knobs {
  double claimDelay = 0;            // seconds from first sight of a request to its claim
  double handleDelay = 0;           // seconds from the claim to handling and removal
  std::optional<double> idleExit;   // exit after this long with nothing queued or in hand
  bool noLock = false;              // never take "agent.lock"
  double sweepInterval = 3600;      // seconds between two sweeps of stale temporary files
};

// Parses a number of seconds: plain decimal digits with an optional fraction
// ("2", "0.5", "1e3" is refused), at most 1e9. Anything else, a sign, blanks,
// "inf" or "nan" included, is refused. Returns nullopt when refused.
std::optional<double> ParseSeconds(const std::string& text);

// Reads the knobs through `getenv` (a test passes its own). An unset or
// empty variable keeps the default. A value that does not parse leaves
// `*knobs` partly filled and returns false with `*error` naming the variable.
// CORVANTIS_AGENT_NO_LOCK accepts "0" and "1" only.
bool ReadKnobs(const std::function<const char*(const char*)>& getenv, Knobs* knobs,
               std::string* error);

}  // namespace cvagent
