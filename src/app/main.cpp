// corvantis-opener: hands the documents the desktop opens it with to the
// agent. The controller drives everything from the application's events,
// its tick timer and its exit watch; its quit ends the process with status
// 0 through Platform::Terminate.
#include <unistd.h>

#include "app/desktop_app.h"
#include "app/options.h"
#include "opener/agent_control.h"
#include "opener/opener.h"
#include "platform/alert_presenter.h"
#include "platform/glib_platform_linux.h"
#include "platform/log.h"

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
    return cv::RunAppOption(*option, cv::RealDiagnoseSys(), STDOUT_FILENO);
  }
  LOG = cv::CreateSystemLog("corvantis.opener", "opener");
  // Held for the life of the process and never destroyed: the process ends
  // inside the loop, and nothing may run after the controller is gone.
  static cv::GlibPlatform* platform = new cv::GlibPlatform(cv::CreateAlertPresenter());
  static CVOpener* delegate = new CVOpener(*platform, cv::RealAgentControl());
  static OpenerDelegate* events = new OpenerDelegate(*delegate);
  cv::RunDesktopApplication(argc, argv, *events);
  return 0;
}
