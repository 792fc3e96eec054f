// The harness's work folder: the settings folder with its queue folder, the
// home and runtime folders the contenders get, safecat's folders and input,
// and the documents. Also the agent lock the harness holds, the contenders'
// environment and the check of the limit program's document bytes.
// Every failure here ends the harness with a message (Die).
#pragma once

#include <string>
#include <vector>

namespace cvbench {

[[noreturn]] void Die(const std::string& message);
// mkdir with mode 0700; an existing folder is fine.
void MakeDir(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);

struct Work {
  // Creates the layout below the existing folder `dir` (an absolute path)
  // with `docs` documents "docs/plan-NN.corva".
  Work(const std::string& dir, int docs);

  std::string root, settings, queue, home, runtime;
  std::string safecatTmp, safecatNew, safecatInput;  // safecat's input: one request document
  std::vector<std::string> docs;
};

// Opens "agent.lock" in the settings folder, takes an exclusive flock and
// writes {"pid":<this process>} into it: to the opener an agent runs for as
// long as the returned descriptor stays open.
int HoldAgentLock(const Work& w);

// The contenders' environment: the harness's own without DISPLAY,
// WAYLAND_DISPLAY, DBUS_SESSION_BUS_ADDRESS, XDG_RUNTIME_DIR, HOME, APPDATA
// and CORVANTIS_*; then CORVANTIS_AGENT_DIR (the settings folder),
// CORVANTIS_LOG_STDERR=1, HOME and XDG_RUNTIME_DIR of the work folder and,
// when `bus` is not empty, DBUS_SESSION_BUS_ADDRESS=bus.
std::vector<std::string> ContenderEnvironment(const Work& w, const std::string& bus);

// Compares the documents of `limit --print` with the opener's own builder
// over 20,000 clock readings and two paths (a plain one, and one with
// quotes, backslash, UTF-8 and control characters). Prints one line with
// the result. Dies when a document differs anywhere but in the digits of
// "created", or when more than 1 % differ.
void CheckLimitDocuments(const std::string& limit, const Work& w);

}  // namespace cvbench
