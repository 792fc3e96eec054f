#include <signal.h>

#include "opener/opener.h"
#include "platform/log.h"

namespace {

std::string SignalName(int signo) {
  switch (signo) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(signo);
  }
}

}  // namespace

void CVOpener::terminationRequested(int signo) {
  if (_terminating) return;
  _terminating = true;
  _quitting = true;
  if (_tick) {
    _tick->Invalidate();
    _tick.reset();
  }
  std::string name = SignalName(signo);
  LOG->Write(cv::LogLevel::kDefault, "received %{public}s; ending", {name});
  // Left queued, a request would be opened by whichever agent starts next,
  // perhaps hours later, with nobody waiting for it.
  withdrawPending("received " + name);
  for (const auto& req : _reqs) {
    LOG->Write(cv::LogLevel::kDefault, "left to the agent: %{public}@", {req->stem}, req->stem);
  }
  platform_.TerminateBySignal(signo);
}
