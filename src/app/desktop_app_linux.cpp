#include "app/desktop_app.h"

#include <glib.h>

#include <string>

#include "app/document_args.h"

namespace cv {

namespace {

GMainLoop* gRunning = nullptr;

struct Launch {
  DesktopDelegate* delegate = nullptr;
  guint idle = 0;
};

gboolean FinishLaunching(gpointer data) {
  auto* launch = static_cast<Launch*>(data);
  launch->idle = 0;
  launch->delegate->DidFinishLaunching();
  return G_SOURCE_REMOVE;
}

std::string CurrentFolder() {
  char* dir = g_get_current_dir();
  std::string copy(dir);
  g_free(dir);
  return copy;
}

}  // namespace

std::vector<DocumentURL> DocumentURLsFromArguments(int argc, char** argv) {
  std::vector<DocumentURL> urls;
  std::string cwd;
  bool haveCwd = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg(argv[i]);
    if (!haveCwd && !g_path_is_absolute(arg.c_str()) && !HasURIScheme(arg)) {
      cwd = CurrentFolder();
      haveCwd = true;
    }
    urls.push_back(DocumentURLFromArgument(arg, cwd));
  }
  return urls;
}

int RunDesktopApplication(int argc, char** argv, DesktopDelegate& delegate) {
  std::vector<DocumentURL> urls = DocumentURLsFromArguments(argc, argv);
  if (!urls.empty()) delegate.OpenURLs(urls);
  // The end of launching comes from the loop, after the open event and
  // before any other source: a descriptor that became ready meanwhile (the
  // queue watch) is dispatched only once the controller has launched.
  Launch launch;
  launch.delegate = &delegate;
  launch.idle = g_idle_add_full(G_PRIORITY_HIGH, FinishLaunching, &launch, nullptr);
  GMainLoop* loop = g_main_loop_new(g_main_context_default(), FALSE);
  GMainLoop* outer = gRunning;
  gRunning = loop;
  g_main_loop_run(loop);
  gRunning = outer;
  g_main_loop_unref(loop);
  if (launch.idle != 0) g_source_remove(launch.idle);
  return 0;
}

void QuitDesktopApplication() {
  if (gRunning != nullptr) g_main_loop_quit(gRunning);
}

}  // namespace cv
