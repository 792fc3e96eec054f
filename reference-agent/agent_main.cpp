// CorvantisAgent, the reference agent: takes the lock in the settings folder
// and works off the request queue until signalled (or idle, when asked).
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent_lock.h"
#include "agent_loop.h"
#include "console.h"
#include "knobs.h"
#include "queue/conf_dir.h"
#include "queue/protocol.h"
#include "request_queue.h"
#include "tool.h"
#include "waiter_linux.h"

namespace cvagent {
namespace {

// How long a lock attempt may keep failing before another agent is assumed:
// far longer than a probe's shared lock, far shorter than the 19 s start-up
// allowance.
constexpr double kLockPatience = 2.0;

int RunAgent(int extraArgs) {
  if (extraArgs > 0) Complain("ignoring " + std::to_string(extraArgs) + " argument(s)");
  Knobs knobs;
  std::string error;
  if (!ReadKnobs([](const char* name) { return getenv(name); }, &knobs, &error)) {
    Complain(error);
    return kExitUsage;
  }
  int rc = BlockStopSignals();
  if (rc != 0) {
    Complain(std::string("cannot block stop signals: ") + strerror(rc));
    return kExitFailure;
  }
  std::optional<std::string> folder = CVConfDir();
  int confFd = CVOpenConfDir();
  if (confFd < 0) {
    int saved = errno;
    if (!folder) {
      Complain("no settings folder: set CORVANTIS_AGENT_DIR, APPDATA or HOME to an absolute path");
    } else {
      Complain("cannot open the settings folder " + *folder + ": " + strerror(saved));
    }
    return kExitUsage;
  }
  int lockFd = -1;
  if (!knobs.noLock) {
    int err = 0;
    lockFd = TakeAgentLock(confFd, kLockPatience, &err);
    if (lockFd < 0 && err == EWOULDBLOCK) {
      int pid = 0, peekErr = 0;
      PeekAgentLock(confFd, &pid, &peekErr);
      Complain("another agent holds " CV_LOCK_FILE " (pid " + std::to_string(pid) + "); exiting");
      close(confFd);
      return kExitLockHeld;
    }
    if (lockFd < 0) {
      Complain(std::string("cannot lock " CV_LOCK_FILE ": ") + strerror(err));
      close(confFd);
      return kExitFailure;
    }
    rc = WritePid(lockFd, getpid());
    if (rc != 0) Complain(std::string("cannot write the pid into " CV_LOCK_FILE ": ") + strerror(rc));
  }
  int err = 0;
  std::unique_ptr<LinuxRequestQueue> queue = LinuxRequestQueue::Open(confFd, &err);
  if (!queue) {
    Complain(std::string("cannot open " CV_QUEUE_DIR ": ") + strerror(err));
    return kExitFailure;
  }
  std::unique_ptr<LinuxWaiter> waiter = LinuxWaiter::Create(*queue, &err);
  if (!waiter) {
    Complain(std::string("cannot watch for signals: ") + strerror(err));
    return kExitFailure;
  }
  Complain("running (pid " + std::to_string(getpid()) + ", settings folder " +
           folder.value_or("?") + (knobs.noLock ? ", without the lock)" : ")"));
  ConsoleOutput out;
  AgentLoop loop(*queue, *waiter, out, knobs);
  int status = loop.Run();
  Complain(status == kExitOk ? "stopped" : "stopped after a failure");
  // The lock and the folders go with the process.
  return status;
}

}  // namespace
}  // namespace cvagent

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "--tool") == 0) return cvagent::RunTool(argc - 2, argv + 2);
  return cvagent::RunAgent(argc > 1 ? argc - 1 : 0);
}
