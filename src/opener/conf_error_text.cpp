#include "opener/conf_error_text.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "opener/display_text.h"
#include "queue/conf_dir.h"
#include "util/env.h"

namespace {

// `path` with a leading home-folder prefix written as "~". Only a whole
// component matches: with HOME=/home/u, "/home/u/x" is "~/x" and "/home/u2"
// stays as it is.
std::string AbbreviateHome(const std::string& path) {
  std::optional<std::string> value = cv::CurrentEnv()->GetEnv("HOME");
  if (!value || value->empty() || (*value)[0] != '/') return path;
  std::string home = *value;
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home == "/") return path;
  if (path.compare(0, home.size(), home) != 0) return path;
  if (path.size() == home.size()) return "~";
  if (path[home.size()] != '/') return path;
  return "~" + path.substr(home.size());
}

}  // namespace

std::string CVConfErrorText(int err) {
  std::optional<std::string> dir = CVConfDir();
  std::string where = dir ? cv::DisplayText(AbbreviateHome(*dir), cv::kDisplayPathMax) : "~/Corvantis";
  std::string reason;
  if (err == EINVAL && !dir) {
    reason = "its location isn't an absolute path";
  } else {
    reason = strerror(err != 0 ? err : EIO);
  }
  return "Corvantis can't reach its settings folder (" + where + "): " + reason + ".";
}
