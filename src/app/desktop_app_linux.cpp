#include "app/desktop_app.h"

#include <glib.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

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

// The current folder, spelt as the shell keeps it (PWD, when it names
// this very folder) or else as getcwd spells it; nullopt when getcwd
// fails: the folder was removed, or a folder above it may not be read.
std::optional<std::string> CurrentFolder() {
  std::vector<char> buf(PATH_MAX);
  while (getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return std::nullopt;
    buf.resize(buf.size() * 2);
  }
  const char* pwd = getenv("PWD");
  struct stat here, there;
  if (pwd != nullptr && pwd[0] == '/' && stat(".", &here) == 0 && stat(pwd, &there) == 0 &&
      here.st_dev == there.st_dev && here.st_ino == there.st_ino) {
    return std::string(pwd);
  }
  return std::string(buf.data());
}

}  // namespace

std::vector<DocumentURL> DocumentURLsFromArguments(int argc, char** argv) {
  std::vector<DocumentURL> urls;
  std::optional<std::string> cwd;
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
