// The desktop application: turns the command line into the controller's
// events and keeps the process alive on the main loop (MainLoop(),
// platform/event_loop_linux.h) until it is ended. No D-Bus: the opener is a
// program without windows that never talks to other instances.
//
// Every argument after the program name is a document, as a desktop file's
// %U passes them (file URIs or paths, relative ones taken against the
// current folder; see app/document_args.h); none is read as an option.
// With documents, OpenURLs comes once with all of them, in order, before
// the loop runs; without, it does not come. Then, once the main loop runs,
// DidFinishLaunching comes once, before any other source of the loop.
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

// The documents of argv[1..argc-1], in order. The current folder is read
// once, and only when some argument is a relative path; when it cannot be
// read, each relative path is marked noFolder (document_args.h).
std::vector<DocumentURL> DocumentURLsFromArguments(int argc, char** argv);

// Runs the application on the main loop on the calling thread.
// Returns only when QuitDesktopApplication is called; the program normally
// ends inside it through Platform::Terminate. Returns 0.
int RunDesktopApplication(int argc, char** argv, DesktopDelegate& delegate);

// Ends the run of RunDesktopApplication once control returns to its loop.
// Does nothing when no run is in progress. Main thread only.
void QuitDesktopApplication();

}  // namespace cv
