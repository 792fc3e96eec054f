#include "app/desktop_app.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "app/document_args.h"
#include "platform/event_loop_linux.h"
#include "util/env.h"

namespace cv {

namespace {

// The quit flag of the run in progress, or null.
bool* gQuit = nullptr;

// The current folder, spelt as the shell keeps it (PWD, when it names
// this very folder) or else as getcwd spells it; nullopt when getcwd
// fails: the folder was removed, or a folder above it may not be read.
std::optional<std::string> CurrentFolder() {
  Env* env = CurrentEnv();
  std::string cwd;
  if (env->GetCwd(&cwd) != 0) return std::nullopt;
  std::optional<std::string> pwd = env->GetEnv("PWD");
  struct stat here, there;
  if (pwd && !pwd->empty() && (*pwd)[0] == '/' && env->FstatAt(AT_FDCWD, ".", &here, 0) == 0 &&
      env->FstatAt(AT_FDCWD, pwd->c_str(), &there, 0) == 0 && here.st_dev == there.st_dev &&
      here.st_ino == there.st_ino) {
    return pwd;
  }
  return cwd;
}

}  // namespace

std::vector<DocumentURL> DocumentURLsFromArguments(int argc, char** argv) {
  std::vector<DocumentURL> urls;
  std::optional<std::string> cwd;
  bool haveCwd = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg(argv[i]);
    bool absolute = !arg.empty() && arg[0] == '/';
    if (!haveCwd && !absolute && !HasURIScheme(arg)) {
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
  EventLoop& loop = MainLoop();
  EventLoop::SourceId launch = loop.AddFirst([&delegate] { delegate.DidFinishLaunching(); });
  bool quit = false;
  bool* outer = gQuit;
  gQuit = &quit;
  loop.RunUntil([&quit] { return quit; });
  gQuit = outer;
  loop.Remove(launch);
  return 0;
}

void QuitDesktopApplication() {
  if (gQuit != nullptr) *gQuit = true;
}

}  // namespace cv
