// corvantis-alert: shows one message of the opener in a window and exits 0
// once the person has dismissed it; exits 1 at once when no display can be
// opened, 2 on a bad command line. The opener runs it once per alert, and
// with "--end-startup" once when a launch that showed nothing is done.
#include <gtk/gtk.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "alert/alert_args.h"
#include "alert/alert_window.h"

#if defined(__SANITIZE_ADDRESS__)
// The toolkit and the libraries under it (fontconfig, D-Bus) keep caches
// for the life of the process and never free them: under the sanitizer
// build their leak reports would make every dismissal a failure. Memory
// errors are still reported.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
#endif

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

int main(int argc, char** argv) {
  // The window shares the opener's stderr, which may be a pipe nobody reads
  // any more: a toolkit warning written there must not end the window
  // before the person has read it.
  signal(SIGPIPE, SIG_IGN);
  cv::AlertArgs args;
  std::string error;
  if (!cv::ParseAlertArgs(argc, argv, &args, &error)) {
    std::fprintf(stderr,
                 "corvantis-alert: %s\nusage: corvantis-alert [--primary TEXT] [--] MESSAGE\n"
                 "       corvantis-alert --end-startup\n",
                 error.c_str());
    return cv::kAlertUsage;
  }
  // Read before GDK starts: opening the display consumes them.
  std::string x11Id = Env("DESKTOP_STARTUP_ID");
  std::string startupId = x11Id.empty() ? Env("XDG_ACTIVATION_TOKEN") : x11Id;
  cv::SetAlertIdentity();
  if (args.endStartup) {
    int status = cv::EndStartupSequence(x11Id);
    if (status == cv::kAlertNoDisplay) {
      std::fprintf(stderr, "corvantis-alert: cannot open display %s\n", Env("DISPLAY").c_str());
    }
    return status;
  }

  // GTK sees no argument of ours: the message is never taken for one of
  // its options.
  int gtkArgc = 1;
  char* gtkArgvStore[] = {argv[0], nullptr};
  char** gtkArgv = gtkArgvStore;
  if (!gtk_init_check(&gtkArgc, &gtkArgv)) {
    const char* display = std::getenv("DISPLAY");
    std::fprintf(stderr, "corvantis-alert: cannot open display %s\n", display != nullptr ? display : "(unset)");
    return cv::kAlertNoDisplay;
  }
  cv::RunAlertWindow(args, startupId);
  return cv::kAlertDismissed;
}
