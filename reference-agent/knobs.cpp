#include "knobs.h"

namespace cvagent {

namespace {

constexpr double kMaxSeconds = 1e9;

bool Fill(const std::function<const char*(const char*)>& getenv, const char* name,
          std::optional<double>* out, std::string* error) {
  const char* value = getenv(name);
  if (!value || !*value) return true;
  std::optional<double> seconds = ParseSeconds(value);
  if (!seconds) {
    *error = std::string("bad value for ") + name + ": \"" + value +
             "\" (expected seconds, e.g. 2 or 0.5)";
    return false;
  }
  *out = seconds;
  return true;
}

}  // namespace

std::optional<double> ParseSeconds(const std::string& text) {
  double whole = 0;
  double scale = 0;  // 0 while in the integer part
  size_t digits = 0;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.' && scale == 0) {
      scale = 1;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    ++digits;
    if (scale == 0) {
      whole = whole * 10 + (c - '0');
      if (whole > kMaxSeconds) return std::nullopt;
    } else {
      scale /= 10;
      whole += (c - '0') * scale;
    }
  }
  if (digits == 0) return std::nullopt;
  return whole;
}

bool ReadKnobs(const std::function<const char*(const char*)>& getenv, Knobs* knobs,
               std::string* error) {
  std::optional<double> claim, handle, sweep;
  if (!Fill(getenv, kClaimDelayVar, &claim, error)) return false;
  if (!Fill(getenv, kHandleDelayVar, &handle, error)) return false;
  if (!Fill(getenv, kIdleExitVar, &knobs->idleExit, error)) return false;
  if (!Fill(getenv, kSweepIntervalVar, &sweep, error)) return false;
  if (claim) knobs->claimDelay = *claim;
  if (handle) knobs->handleDelay = *handle;
  if (sweep) knobs->sweepInterval = *sweep;
  const char* noLock = getenv(kNoLockVar);
  if (noLock && *noLock) {
    std::string v = noLock;
    if (v != "0" && v != "1") {
      *error = std::string("bad value for ") + kNoLockVar + ": \"" + v + "\" (expected 0 or 1)";
      return false;
    }
    knobs->noLock = v == "1";
  }
  return true;
}

}  // namespace cvagent
