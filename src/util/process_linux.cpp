#include "util/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "util/eintr.h"

namespace {

int SetAttributes(posix_spawnattr_t* attr, bool newSession) {
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (newSession) flags |= POSIX_SPAWN_SETSID;
  int rc = posix_spawnattr_setsigdefault(attr, &all);
  if (rc == 0) rc = posix_spawnattr_setsigmask(attr, &none);
  if (rc == 0) rc = posix_spawnattr_setflags(attr, flags);
  return rc;
}

int SetFileActions(posix_spawn_file_actions_t* actions, const int stdio[3]) {
  int rc = 0;
  for (int fd = 0; fd < 3 && rc == 0; ++fd) {
    if (stdio[fd] == kCVStdioInherit) continue;
    if (stdio[fd] == kCVStdioNull) {
      rc = posix_spawn_file_actions_addopen(actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    } else {
      rc = posix_spawn_file_actions_adddup2(actions, stdio[fd], fd);
    }
  }
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(actions, 3);
  return rc;
}

}  // namespace

int CVSpawnProcess(const char* path, char* const argv[], const CVSpawnOptions& options, pid_t* pidOut) {
  posix_spawnattr_t attr;
  int rc = posix_spawnattr_init(&attr);
  if (rc != 0) return rc;
  posix_spawn_file_actions_t actions;
  rc = posix_spawn_file_actions_init(&actions);
  if (rc != 0) {
    posix_spawnattr_destroy(&attr);
    return rc;
  }
  pid_t pid = 0;
  rc = SetAttributes(&attr, options.newSession);
  if (rc == 0) rc = SetFileActions(&actions, options.stdio);
  if (rc == 0) rc = options.spawn(&pid, path, &actions, &attr, argv, options.envp ? options.envp : environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc == 0 && pidOut) *pidOut = pid;
  return rc;
}

pid_t CVWaitProcess(pid_t pid, int* status, int options, CVWaitCall wait) {
  return CVRetryEintr([&] { return wait(pid, status, options); });
}

CVProcessExit CVDecodeWaitStatus(int status) {
  CVProcessExit exit;
  if (WIFEXITED(status)) exit.code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) exit.signal = WTERMSIG(status);
  return exit;
}
