#include "platform/alert_presenter.h"

#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>

#include "util/write_all.h"

namespace cv {

void StderrAlertPresenter::Show(const std::string&, const std::string& informativeText,
                                std::function<void()> dismissed) {
  // A write that fails (stderr closed, or a pipe without a reader: the
  // opener ignores SIGPIPE) loses the text and nothing else.
  int saved = errno;
  std::string text = "Corvantis Agent: " + informativeText + "\n";
  CVWriteAll(STDERR_FILENO, text.data(), text.size());
  errno = saved;
  dismissed();
}

namespace {

// Finds the alert program at the first alert, so that a launch that shows
// none does no work for it before its first request.
class FirstAlertPresenter : public AlertPresenter {
 public:
  FirstAlertPresenter(Env* env, EventLoop& loop) : env_(env), loop_(loop) {}
  void Show(const std::string& messageText, const std::string& informativeText,
            std::function<void()> dismissed) override {
    if (!window_) window_ = std::make_unique<WindowAlertPresenter>(AlertProgramPath(), env_, loop_);
    window_->Show(messageText, informativeText, std::move(dismissed));
  }
  void EndStartupFeedback() override {
    // Most launches come without an identifier: nothing to look up then.
    std::optional<std::string> id = env_->GetEnv("DESKTOP_STARTUP_ID");
    if (!window_ && (!id || id->empty())) return;
    if (!window_) window_ = std::make_unique<WindowAlertPresenter>(AlertProgramPath(), env_, loop_);
    window_->EndStartupFeedback();
  }
  void EndAll() override {
    if (window_) window_->EndAll();
  }

 private:
  Env* env_;
  EventLoop& loop_;
  std::unique_ptr<WindowAlertPresenter> window_;
};

}  // namespace

std::string AlertProgramPath() {
  std::optional<std::string> exe = CurrentEnv()->ExePath();
  if (!exe) return "";
  const std::string& self = *exe;
  size_t slash = self.rfind('/');
  if (slash == std::string::npos) return "";
  return self.substr(0, slash + 1) + "corvantis-alert";
}

std::unique_ptr<AlertPresenter> CreateAlertPresenter(Env* env, EventLoop& loop) {
  return std::make_unique<FirstAlertPresenter>(env, loop);
}

}  // namespace cv
