// corvantis-opener: hands the documents the desktop opens it with to the
// agent. The controller drives everything from the application's events,
// its tick timer and its exit watch; its quit ends the process with status
// 0 through Platform::Terminate.
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "app/desktop_app.h"
#include "app/options.h"
#include "opener/agent_control.h"
#include "opener/conf_error_text.h"
#include "opener/opener.h"
#include "platform/alert_presenter.h"
#include "platform/event_loop_linux.h"
#include "platform/log.h"
#include "platform/loop_platform_linux.h"

namespace {

class OpenerDelegate : public cv::DesktopDelegate {
 public:
  explicit OpenerDelegate(CVOpener& opener) : opener_(opener) {}
  void OpenURLs(const std::vector<cv::DocumentURL>& urls) override { opener_.openURLs(urls); }
  void DidFinishLaunching() override { opener_.applicationDidFinishLaunching(); }

 private:
  CVOpener& opener_;
};

}  // namespace

int main(int argc, char** argv) {
  if (auto option = cv::ParseAppOption(argc, argv)) {
    return cv::RunAppOption(*option, cv::CurrentEnv(), cv::RealAgentControl(), STDOUT_FILENO);
  }
  // A reader that went away (stderr a pipe closed early) must not end the
  // opener between writing a request and following it: the write fails and
  // loses its line. Children get the default action back (posix_spawn).
  struct sigaction ignore;
  std::memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  LOG = cv::CreateSystemLog("corvantis.opener", "opener");
  // The loop's own descriptor comes first. Without one left for it, nothing
  // can be followed: say so, and post nothing.
  if (int err = cv::PrepareMainLoop(); err != 0) {
    std::string text = CVConfErrorText(err);
    LOG->Write(cv::LogLevel::kError, "alert %{public}@: %{private}@", {"A1", text});
    cv::StderrAlertPresenter().Show("Corvantis Agent", text, [] {});
    return 0;
  }
  // Held for the life of the process and never destroyed: the process ends
  // inside the loop, and nothing may run after the controller is gone.
  static cv::LinuxPlatform* platform = new cv::LinuxPlatform(cv::CreateAlertPresenter());
  static CVOpener* delegate = new CVOpener(*platform, cv::RealAgentControl());
  static OpenerDelegate* events = new OpenerDelegate(*delegate);
  cv::RunDesktopApplication(argc, argv, *events);
  return 0;
}
