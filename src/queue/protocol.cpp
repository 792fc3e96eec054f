#include "queue/protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

bool IsDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string CVFormatStem(int64_t ms, const std::string& hex) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%013lld", static_cast<long long>(ms));
  return std::string(buf) + "-" + hex;
}

bool CVIsLowerHex(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool CVParseStem(const std::string& stem, std::optional<int64_t>* msOut) {
  size_t dash = stem.find('-');
  if (dash == std::string::npos || dash < kCVStemMinDigits) return false;
  std::string digits = stem.substr(0, dash);
  std::string hex = stem.substr(dash + 1);
  if (!IsDigits(digits) || hex.size() != kCVStemHexDigits || !CVIsLowerHex(hex)) return false;
  std::optional<int64_t> ms = 0;
  for (char c : digits) {
    int d = c - '0';
    if (*ms > (INT64_MAX - d) / 10) {
      ms.reset();
      break;
    }
    *ms = *ms * 10 + d;
  }
  if (msOut) *msOut = ms;
  return true;
}

std::string CVQueuedName(const std::string& stem) { return stem + kCVQueuedSuffix; }

std::string CVClaimedName(const std::string& stem) { return stem + kCVClaimedSuffix; }

std::string CVTempName(const std::string& hex) { return "." + hex + kCVTempSuffix; }

CVQueueName CVParseQueueName(const std::string& name) {
  CVQueueName out;
  const size_t tempSize = 1 + kCVStemHexDigits + std::strlen(kCVTempSuffix);
  if (name.size() == tempSize && name[0] == '.' && EndsWith(name, kCVTempSuffix) &&
      CVIsLowerHex(name.substr(1, kCVStemHexDigits))) {
    out.kind = CVQueueName::kTemp;
    return out;
  }
  for (const char* suffix : {kCVQueuedSuffix, kCVClaimedSuffix}) {
    std::string tail = suffix;
    if (!EndsWith(name, tail)) continue;
    std::string stem = name.substr(0, name.size() - tail.size());
    std::optional<int64_t> ms;
    if (!CVParseStem(stem, &ms)) return out;
    out.kind = tail == kCVQueuedSuffix ? CVQueueName::kQueued : CVQueueName::kClaimed;
    out.stem = stem;
    out.ms = ms;
    return out;
  }
  return out;
}

std::optional<std::string> CVStemBefore(const std::string& name, const std::string& suffix) {
  if (name.empty() || name[0] == '.') return std::nullopt;
  if (name.size() <= suffix.size() || !EndsWith(name, suffix)) return std::nullopt;
  return name.substr(0, name.size() - suffix.size());
}

std::optional<std::string> CVBundleOf(const std::string& exePath) {
  const std::string programDir = std::string("/") + kCVBundleProgramDir;
  size_t slash = exePath.rfind('/');
  if (slash == std::string::npos || slash < programDir.size()) return std::nullopt;
  size_t at = slash - programDir.size();
  if (exePath.compare(at, programDir.size(), programDir) != 0) return std::nullopt;
  return exePath.substr(0, at);
}
