// The desktop application: a GApplication that turns the command line into
// the controller's events and keeps the process alive until it is ended.
//
// Every argument after the program name is a document, as a desktop file's
// %U passes them (file URIs or paths, relative ones taken against the
// current folder); none is read as an option. With documents, OpenURLs
// comes once with all of them, in order; without, it does not come. Then,
// once the main loop runs, DidFinishLaunching comes once.
#pragma once

#include <vector>

#include "opener/document_url.h"

namespace cv {

class DesktopDelegate {
 public:
  virtual ~DesktopDelegate() = default;
  virtual void OpenURLs(const std::vector<DocumentURL>& urls) = 0;
  virtual void DidFinishLaunching() = 0;
};

// Runs the application (G_APPLICATION_HANDLES_OPEN |
// G_APPLICATION_NON_UNIQUE, no application id, so no D-Bus) on the default
// main context. The application holds itself, so this returns only when
// the loop is quit (g_application_quit on g_application_get_default(),
// which is this application while it runs); the program normally ends
// inside it through Platform::Terminate. Returns the application's status.
int RunDesktopApplication(int argc, char** argv, DesktopDelegate& delegate);

}  // namespace cv
