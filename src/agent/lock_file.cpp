#include "agent/lock_file.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include <nlohmann/json.hpp>

namespace {

constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
constexpr int64_t kMax = std::numeric_limits<int32_t>::max();

int PidFromNumber(const nlohmann::json& v) {
  if (v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    return u <= static_cast<uint64_t>(kMax) ? static_cast<int>(u) : 0;
  }
  if (v.is_number_integer()) {
    int64_t i = v.get<int64_t>();
    return i >= kMin && i <= kMax ? static_cast<int>(i) : 0;
  }
  double d = std::trunc(v.get<double>());
  if (!std::isfinite(d)) return 0;
  if (d < static_cast<double>(kMin) || d > static_cast<double>(kMax)) return 0;
  return static_cast<int>(d);
}

}  // namespace

int CVLockFilePid(const char* data, size_t len) {
  // A NUL byte is never part of a JSON text; the parser would take it for
  // the end of input and ignore what follows.
  if (len == 0 || memchr(data, '\0', len) != nullptr) return 0;
  nlohmann::json doc = nlohmann::json::parse(data, data + len, nullptr, false);
  if (!doc.is_object()) return 0;
  auto it = doc.find("pid");
  if (it == doc.end() || !it->is_number()) return 0;
  return PidFromNumber(*it);
}
