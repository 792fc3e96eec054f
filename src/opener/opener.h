// CVOpener: the controller. Entry points used by the application layer are
// fixed here; the rest of the class is declared by the controller itself.
// (Placeholder: the controller replaces this file with the full declaration,
// keeping these signatures.)
#pragma once

#include <vector>

#include "opener/agent_control.h"
#include "opener/document_url.h"
#include "platform/platform.h"

class CVOpener {
 public:
  // Opens the settings folder once and looks for the agent copy. The
  // platform and the agent control must outlive the controller.
  CVOpener(cv::Platform& platform, cv::AgentControl& agents);

  void openURLs(const std::vector<cv::DocumentURL>& urls);
  void applicationDidFinishLaunching();
  bool applicationShouldHandleReopen(bool hasVisibleWindows);
  bool applicationSupportsSecureRestorableState() const { return true; }
};
