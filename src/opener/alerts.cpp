#include "opener/conf_error_text.h"
#include "opener/opener.h"
#include "platform/log.h"

std::string CVOpener::confErrorText(int err) { return CVConfErrorText(err); }

void CVOpener::alert(const std::string& message, const std::string& code) {
  LOG->Write(cv::LogLevel::kError, "alert %{public}@: %{private}@", {code, message});
  _alertQueue.push_back(message);
  if (_alerting || !_launched) return;
  _alerting = true;
  while (!_alertQueue.empty()) {
    std::string text = _alertQueue.front();
    _alertQueue.pop_front();
    platform_.Activate();
    platform_.RunModalAlert("Corvantis Agent", text);
  }
  _alerting = false;
}

void CVOpener::flushAlerts() {
  if (_alertQueue.empty() || _alerting) return;
  std::string last = _alertQueue.back();
  _alertQueue.pop_back();
  alert(last, "queued");
}
