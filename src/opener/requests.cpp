#include <cerrno>
#include <cstring>

#include "opener/alert_texts.h"
#include "opener/display_text.h"
#include "opener/document_path.h"
#include "opener/opener.h"
#include "platform/log.h"
#include "queue/request.h"

uint64_t CVOpener::outstanding() const { return _reqs.size(); }

std::string CVOpener::badPathText(cv::PathFault fault, const std::string& path) {
  std::string name = "\u201C" + cv::DisplayText(cv::LastComponent(path), cv::kDisplayNameMax) + "\u201D";
  const char* text = fault == cv::PathFault::kTooLong   ? cvtext::kPathTooLong
                     : fault == cv::PathFault::kNoFolder ? cvtext::kPathNoFolder
                                                         : cvtext::kPathNotUtf8;
  std::string out = text;
  out.replace(out.find("%@"), 2, name);
  return out;
}

bool CVOpener::post(const std::string& kind, const std::optional<std::string>& path,
                    cv::PathFault* faultOut) {
  if (faultOut) *faultOut = cv::PathFault::kNone;
  if (_cfd < 0) {
    alert(confErrorText(_cfdErr), "A1");
    return false;
  }
  watchQueue();
  errno = 0;
  CVQueueDirId dir;
  std::optional<std::string> stem = CVWriteRequest(_cfd, kind, path, &dir);
  watchQueue();
  if (!stem) {
    int err = errno;
    // ENAMETOOLONG and EINVAL are the document's own fault only when its
    // path shows it; otherwise they came from the folder like any other.
    cv::PathFault fault = cv::PathFault::kNone;
    if (path && (err == ENAMETOOLONG || err == EINVAL)) fault = cv::PathFaultOf(*path);
    bool matches = (fault == cv::PathFault::kTooLong && err == ENAMETOOLONG) ||
                   (fault == cv::PathFault::kNotUtf8 && err == EINVAL);
    if (!matches) {
      alert(confErrorText(err), "A1");
      return false;
    }
    LOG->Write(cv::LogLevel::kDefault, "not posted (%{public}s): %{private}@",
               {fault == cv::PathFault::kTooLong ? "path too long" : "path not UTF-8", *path});
    if (faultOut) {
      *faultOut = fault;
    } else {
      alert(badPathText(fault, *path), "bad-path");
    }
    return false;
  }
  auto req = std::make_shared<CVRequest>();
  req->stem = *stem;
  req->kind = kind;
  req->label = path ? cv::LastComponent(*path) : kind;
  req->dir = dir;
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

uint64_t CVOpener::withdrawPending(const std::string& reason) {
  uint64_t count = 0;
  _unwithdrawn = 0;
  auto snapshot = _reqs;
  for (const auto& req : snapshot) {
    if (req->claimedAt) continue;
    if (_cfd < 0) {
      removeRequest(req);
      continue;
    }
    switch (CVWithdrawRequest(_cfd, req->stem, &req->dir)) {
      case CVRequestGone:
        removeRequest(req);
        break;
      case CVRequestClaimed:
        req->claimedAt = platform_.Now();
        break;
      case CVRequestQueued:
        if (reason.empty()) {
          LOG->Write(cv::LogLevel::kDefault, "withdrew %{public}@", {req->stem}, req->stem);
        } else {
          LOG->Write(cv::LogLevel::kDefault, "withdrew %{public}@ (%{public}@)", {req->stem, reason}, req->stem);
        }
        removeRequest(req);
        ++count;
        break;
      case CVRequestUnknown: {
        int err = errno;
        LOG->Write(cv::LogLevel::kDefault, "not withdrawn %{public}@ (%{public}s)", {req->stem, strerror(err)},
                   req->stem);
        removeRequest(req);
        ++_unwithdrawn;
        _unwithdrawnErr = err;
        break;
      }
    }
  }
  return count;
}

void CVOpener::alertAfterWithdrawal(const std::string& message, const std::string& code) {
  if (_unwithdrawn == 0) {
    alert(message, code);
    return;
  }
  _unwithdrawn = 0;
  // The folder's name leads elsewhere now (ESTALE), or nowhere (ENOENT).
  bool moved = _unwithdrawnErr == ESTALE || _unwithdrawnErr == ENOENT;
  std::string reason = moved ? "its folder was moved or replaced" : strerror(_unwithdrawnErr);
  std::string out = cvtext::kNotWithdrawn;
  out.replace(out.find("%@"), 2, reason);
  alert(out, "A7");
}

bool CVOpener::anyPending() const {
  for (const auto& req : _reqs) {
    if (!req->claimedAt) return true;
  }
  return false;
}

bool CVOpener::anyClaimed() const {
  for (const auto& req : _reqs) {
    if (req->claimedAt) return true;
  }
  return false;
}

uint64_t CVOpener::dropUnhandledClaims() {
  uint64_t lost = 0;
  auto snapshot = _reqs;
  for (const auto& req : snapshot) {
    if (!req->claimedAt) continue;
    if (_cfd >= 0 && CVRequestState(_cfd, req->stem, &req->dir) == CVRequestGone) {
      LOG->Write(cv::LogLevel::kDefault, "handled %{public}@", {req->stem}, req->stem);
    } else {
      LOG->Write(cv::LogLevel::kDefault, "not handled, agent gone: %{public}@", {req->stem}, req->stem);
      ++lost;
    }
    removeRequest(req);
  }
  return lost;
}

void CVOpener::extendClaim(double seconds) {
  double candidate = platform_.Now() + seconds;
  if (!_claimBy || candidate > *_claimBy) _claimBy = candidate;
}
