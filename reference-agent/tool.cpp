#include "tool.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "agent_lock.h"
#include "console.h"
#include "queue/conf_dir.h"
#include "queue/protocol.h"
#include "request_doc.h"
#include "request_queue.h"

namespace cvagent {

namespace {

constexpr const char* kUsage =
    "usage: CorvantisAgent                 run the agent\n"
    "       CorvantisAgent --tool status   show the request queue and the lock\n"
    "       CorvantisAgent --tool help     explain commands, output and knobs\n";

int Status() {
  std::optional<std::string> path = CVConfDir();
  if (!path) {
    Complain("no settings folder: set CORVANTIS_AGENT_DIR, APPDATA or HOME to an absolute path");
    return kExitUsage;
  }
  std::string out = "settings " + EscapeForLine(*path) + "\n";
  int confFd = OpenExistingDir(*path);
  if (confFd < 0 && errno != ENOENT) {
    Complain("cannot open the settings folder " + *path + ": " + strerror(errno));
    return kExitFailure;
  }
  std::vector<std::string> queued, claimed;
  int pid = 0, err = 0;
  LockState lock = LockState::kFree;
  if (confFd >= 0) {
    std::vector<std::string> names;
    int rc = ListQueueNames(confFd, &names);
    if (rc == 0) lock = PeekAgentLock(confFd, &pid, &err);
    close(confFd);
    if (rc != 0) {
      Complain(std::string("cannot read " CV_QUEUE_DIR ": ") + strerror(rc));
      return kExitFailure;
    }
    for (const std::string& name : names) {
      if (std::optional<std::string> stem = QueuedStem(name)) queued.push_back(*stem);
      if (std::optional<std::string> stem = ClaimedStem(name)) claimed.push_back(*stem);
    }
  }
  std::sort(queued.begin(), queued.end());
  std::sort(claimed.begin(), claimed.end());
  for (const std::string& stem : queued) out += "queued " + EscapeForLine(stem) + "\n";
  for (const std::string& stem : claimed) out += "claimed " + EscapeForLine(stem) + "\n";
  switch (lock) {
    case LockState::kFree:
      out += "agent not running\n";
      break;
    case LockState::kHeld:
      out += "agent running (pid " + std::to_string(pid) + ")\n";
      break;
    case LockState::kUnknown:
      out += std::string("agent unknown (") + strerror(err) + ")\n";
      break;
  }
  int rc = WriteAll(STDOUT_FILENO, out);
  if (rc != 0) {
    Complain(std::string("cannot write to standard output: ") + strerror(rc));
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

const char* HelpText() {
  return "usage: CorvantisAgent                 run the agent\n"
         "       CorvantisAgent --tool COMMAND  a tool run: never takes the lock\n"
         "\n"
         "Tool commands:\n"
         "  status  print \"settings FOLDER\", then \"queued STEM\" and \"claimed STEM\"\n"
         "          lines in stem order, then \"agent running (pid N)\",\n"
         "          \"agent not running\" or \"agent unknown (ERROR)\"; exit 0\n"
         "  help    print this text\n"
         "\n"
         "The agent uses the settings folder $CORVANTIS_AGENT_DIR, else\n"
         "$APPDATA/Corvantis, else $HOME/Corvantis, else the user's home directory\n"
         "+ /Corvantis. It holds an exclusive flock on " CV_LOCK_FILE " there for its\n"
         "whole life and writes {\"pid\":N} into it. It claims each request\n"
         CV_QUEUE_DIR "/STEM.json (names starting with \".\" are left alone) by\n"
         "renaming it to STEM.claimed, handles the requests in stem order by\n"
         "writing one line for each on standard output, then removes STEM.claimed:\n"
         "  open PATH              open the document at PATH\n"
         "  reopen                 launched or re-activated without a document\n"
         "  rejected STEM: REASON  unreadable, not JSON, unknown format or kind\n"
         "In PATH and STEM, \"\\\" is written \"\\\\\" and control characters \"\\xNN\".\n"
         "Its own messages go to standard error. SIGTERM or SIGINT: exit 0.\n"
         "\n"
         "Environment knobs (seconds, e.g. 2 or 0.5; empty counts as unset):\n"
         "  CORVANTIS_AGENT_CLAIM_DELAY=S   wait S s after first seeing a request\n"
         "                                  before claiming it (a large value plays\n"
         "                                  an agent that holds the lock and never\n"
         "                                  claims)\n"
         "  CORVANTIS_AGENT_HANDLE_DELAY=S  keep a claimed request S s before\n"
         "                                  handling and removing it\n"
         "  CORVANTIS_AGENT_IDLE_EXIT=S     exit 0 after S s with nothing queued or\n"
         "                                  claimed (unset: run until signalled)\n"
         "  CORVANTIS_AGENT_NO_LOCK=1       never take " CV_LOCK_FILE " (plays an older\n"
         "                                  agent); 0 or unset: take it\n"
         "  CORVANTIS_AGENT_SWEEP_INTERVAL=S  remove writers' temporary files\n"
         "                                  (.HEX.tmp) older than 36 hours at start\n"
         "                                  and every S s (unset: 3600)\n"
         "\n"
         "Exit status: 0 done; 1 failure while running; 2 bad arguments, bad knob\n"
         "or no usable settings folder; 3 another agent holds " CV_LOCK_FILE ".\n";
}

int RunTool(int argc, const char* const* args) {
  if (argc == 1 && strcmp(args[0], "status") == 0) return Status();
  if (argc == 1 && strcmp(args[0], "help") == 0) {
    return WriteAll(STDOUT_FILENO, HelpText()) == 0 ? kExitOk : kExitFailure;
  }
  if (argc == 0) Complain("--tool needs a command");
  else if (argc > 1) Complain(std::string("too many arguments after --tool ") + args[0]);
  else Complain(std::string("unknown tool command \"") + args[0] + "\"");
  WriteAll(STDERR_FILENO, kUsage);
  return kExitUsage;
}

}  // namespace cvagent
