#include "agent/kickstart.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "agent/agent_sys.h"
#include "agent/start.h"

const char kCVServiceManager[] = "/usr/bin/systemctl";

namespace {

constexpr size_t kUnitMax = 320;

// File actions of the request: /dev/null on 0, 1 and 2, nothing else open.
int AddNullStdio(posix_spawn_file_actions_t* actions) {
  int rc = posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_addopen(actions, 2, "/dev/null", O_WRONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(actions, 3);
  return rc;
}

// The service manager's client starts with every signal at its default
// action and none blocked, whatever this process ignores or blocks (the
// opener ignores SIGPIPE and reads its termination signals from a
// descriptor).
int SetDefaultSignals(posix_spawnattr_t* attr) {
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  int rc = posix_spawnattr_setsigdefault(attr, &all);
  if (rc == 0) rc = posix_spawnattr_setsigmask(attr, &none);
  if (rc == 0) rc = posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  return rc;
}

}  // namespace

int CVKickstartProgram(const char* program, const char* label) {
  const cv::AgentSys& sys = cv::AgentSysCalls();
  char unit[kUnitMax];
  snprintf(unit, sizeof unit, "%s.service", label);
  char* argv[] = {const_cast<char*>(program), const_cast<char*>("--user"),
                  const_cast<char*>("start"), unit, nullptr};

  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) return -1;
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    posix_spawnattr_destroy(&attr);
    return -1;
  }
  pid_t pid = 0;
  int rc = SetDefaultSignals(&attr);
  if (rc == 0) rc = AddNullStdio(&actions);
  if (rc == 0) rc = sys.posix_spawn(&pid, program, &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return -1;

  int status = 0;
  while (sys.waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if ((status & 0x7f) != 0) return -1;
  return (status >> 8) & 0xff;
}

int CVKickstart(const char* label) { return CVKickstartProgram(kCVServiceManager, label); }
