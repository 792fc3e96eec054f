#include <cctype>

#include "opener/alert_texts.h"
#include "opener/opener.h"
#include "platform/log.h"
#include "queue/limits.h"

namespace {

// Whether `path`'s extension (after the last "." of its last component,
// trailing "/" ignored) is "corva" in any letter case.
bool IsTractPath(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  size_t start = path.rfind('/', end == 0 ? 0 : end - 1);
  start = start == std::string::npos ? 0 : start + 1;
  if (start >= end) return false;
  std::string name = path.substr(start, end - start);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = name.substr(dot + 1);
  if (ext.size() != 5) return false;
  for (size_t i = 0; i < ext.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(ext[i])) != "corva"[i]) return false;
  }
  return true;
}

}  // namespace

void CVOpener::openURLs(const std::vector<cv::DocumentURL>& urls) {
  _sawEvent = true;
  std::vector<std::string> accepted;
  bool rejected = false;
  // A document whose path cannot go into a request is skipped; the event
  // goes on. One "bad-path" alert per event, naming the first such
  // document found: a name without a folder is found here, a path that
  // cannot be written when it is posted.
  cv::PathFault firstFault = cv::PathFault::kNone;
  std::string firstBadPath;
  for (const auto& url : urls) {
    if (!url.isFile || url.path.empty() || !IsTractPath(url.path)) {
      rejected = true;
    } else if (url.noFolder) {
      LOG->Write(cv::LogLevel::kDefault, "not posted (%{public}s): %{private}@", {"no current folder", url.path});
      if (firstFault == cv::PathFault::kNone) {
        firstFault = cv::PathFault::kNoFolder;
        firstBadPath = url.path;
      }
    } else {
      accepted.push_back(url.path);
    }
  }
  if (rejected) alert(cvtext::kNotCorva, "not-corva");

  uint64_t present = outstanding();
  uint64_t room = present < kCVMaxRequests ? kCVMaxRequests - present : 0;
  if (accepted.size() > room) {
    alert(cvtext::kTooMany, "A6");
    accepted.resize(room);
  }

  // A failure of the settings folder ("A1") stops the event.
  bool posted = false;
  for (const auto& path : accepted) {
    cv::PathFault fault = cv::PathFault::kNone;
    if (post("open", path, &fault)) {
      posted = true;
      continue;
    }
    if (fault == cv::PathFault::kNone) break;
    if (firstFault == cv::PathFault::kNone) {
      firstFault = fault;
      firstBadPath = path;
    }
  }

  if (_launched && posted) ensureAgent();
  if (firstFault != cv::PathFault::kNone) alert(badPathText(firstFault, firstBadPath), "bad-path");
  if (_launched) startTick();
}

void CVOpener::applicationDidFinishLaunching() {
  _launched = true;
  _launchedAt = platform_.Now();
  if (!_reqs.empty()) ensureAgent();
  startTick();
  flushAlerts();
}
