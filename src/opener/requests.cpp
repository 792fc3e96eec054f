#include <cerrno>

#include "opener/opener.h"
#include "platform/log.h"
#include "queue/request.h"

namespace {

// The last component of `path`, trailing "/" ignored ("/" stays "/").
std::string LastComponent(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  std::string trimmed = path.substr(0, end);
  if (trimmed == "/") return trimmed;
  size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace

uint64_t CVOpener::outstanding() const { return _reqs.size(); }

bool CVOpener::post(const std::string& kind, const std::optional<std::string>& path) {
  if (_cfd < 0) {
    alert(confErrorText(_cfdErr), "A1");
    return false;
  }
  watchQueue();
  errno = 0;
  std::optional<std::string> stem = CVWriteRequest(_cfd, kind, path);
  watchQueue();
  if (!stem) {
    int err = errno;
    alert(confErrorText(err), "A1");
    return false;
  }
  auto req = std::make_shared<CVRequest>();
  req->stem = *stem;
  req->kind = kind;
  req->label = path ? LastComponent(*path) : kind;
  _reqs.push_back(req);
  LOG->Write(cv::LogLevel::kDefault, "request %{public}@ (%{public}@: %{public}@, %{private}@)",
             {req->stem, req->kind, req->label, path ? *path : std::string()}, req->stem);
  return true;
}

void CVOpener::removeRequest(const std::shared_ptr<CVRequest>& req) {
  for (auto it = _reqs.begin(); it != _reqs.end(); ++it) {
    if (*it == req) {
      _reqs.erase(it);
      return;
    }
  }
}

uint64_t CVOpener::withdrawPending() {
  uint64_t count = 0;
  auto snapshot = _reqs;
  for (const auto& req : snapshot) {
    if (req->claimedAt) continue;
    if (_cfd < 0) {
      removeRequest(req);
      continue;
    }
    switch (CVWithdrawRequest(_cfd, req->stem)) {
      case CVRequestGone:
        removeRequest(req);
        break;
      case CVRequestClaimed:
        req->claimedAt = platform_.Now();
        break;
      case CVRequestQueued:
        LOG->Write(cv::LogLevel::kDefault, "withdrew %{public}@", {req->stem}, req->stem);
        removeRequest(req);
        ++count;
        break;
    }
  }
  return count;
}

bool CVOpener::anyPending() const {
  for (const auto& req : _reqs) {
    if (!req->claimedAt) return true;
  }
  return false;
}

void CVOpener::extendClaim(double seconds) {
  double candidate = platform_.Now() + seconds;
  if (!_claimBy || candidate > *_claimBy) _claimBy = candidate;
}
