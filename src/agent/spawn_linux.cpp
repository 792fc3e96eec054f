#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "agent/agent_sys.h"
#include "agent/start.h"
#include "platform/log.h"
#include "queue/conf_dir.h"
#include "queue/protocol.h"

namespace {

constexpr int kArgSlots = 16;
constexpr int kExtraArgsMax = kArgSlots - 2;

// Opens the output file in this process rather than by a file action: a FIFO
// without a reader then fails at once (ENXIO) instead of blocking the spawn,
// and with it the caller. Returns a descriptor of 3 or above, so that the
// child's dup2 onto 1 and 2 never lands on itself, or -1 with errno set.
int OpenOutput(const cv::AgentSys& sys, const char* outPath) {
  int fd;
  do {
    fd = sys.openat(AT_FDCWD, outPath,
                    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  if (fd < 3) {
    int high = sys.fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    sys.close(fd);
    if (high < 0) {
      errno = err;
      return -1;
    }
    fd = high;
  }
  int flags = sys.fcntl(fd, F_GETFL, 0);
  if (flags < 0 || sys.fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    int err = errno;
    sys.close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

int SetAgentAttributes(posix_spawnattr_t* attr) {
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  int rc = posix_spawnattr_setsigdefault(attr, &all);
  if (rc == 0) rc = posix_spawnattr_setsigmask(attr, &none);
  if (rc == 0) {
    rc = posix_spawnattr_setflags(
        attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);
  }
  return rc;
}

int SetAgentFileActions(posix_spawn_file_actions_t* actions, int outFd) {
  int rc = posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(actions, outFd, 1);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(actions, 1, 2);
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(actions, 3);
  return rc;
}

std::string AgentLogPath(const std::string& confDir) {
  if (!confDir.empty() && confDir.back() == '/') return confDir + kCVAgentLog;
  return confDir + "/" + kCVAgentLog;
}

}  // namespace

int CVSpawnWithStdout(const char* path, char* const argv[], const char* outPath, pid_t* pidOut) {
  const cv::AgentSys& sys = cv::AgentSysCalls();
  int outFd = OpenOutput(sys, outPath);
  if (outFd < 0) return errno;

  posix_spawnattr_t attr;
  int rc = posix_spawnattr_init(&attr);
  if (rc != 0) {
    sys.close(outFd);
    return rc;
  }
  posix_spawn_file_actions_t actions;
  rc = posix_spawn_file_actions_init(&actions);
  if (rc != 0) {
    posix_spawnattr_destroy(&attr);
    sys.close(outFd);
    return rc;
  }
  rc = SetAgentAttributes(&attr);
  if (rc == 0) rc = SetAgentFileActions(&actions, outFd);
  if (rc == 0) rc = sys.posix_spawn(pidOut, path, &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  sys.close(outFd);
  return rc;
}

pid_t CVSpawnAgent(const char* path, const char* const* extraArgs, int* errOut) {
  if (errOut) *errOut = 0;
  const cv::AgentSys& sys = cv::AgentSysCalls();

  char* argv[kArgSlots];
  int argc = 0;
  argv[argc++] = const_cast<char*>(path);
  for (int i = 0; extraArgs && i < kExtraArgsMax && extraArgs[i]; i++) {
    argv[argc++] = const_cast<char*>(extraArgs[i]);
  }
  argv[argc] = nullptr;

  if (sys.access(path, X_OK) != 0) {
    if (errOut) *errOut = errno;
    return -1;
  }

  pid_t pid = 0;
  int err = EINVAL;
  if (std::optional<std::string> conf = CVConfDir()) {
    err = CVSpawnWithStdout(path, argv, AgentLogPath(*conf).c_str(), &pid);
  }
  if (err != 0) {
    LOG->Write(cv::LogLevel::kError, "spawn with agent.log failed (%{public}s); retrying without it",
               {strerror(err)});
    err = CVSpawnWithStdout(path, argv, "/dev/null", &pid);
  }
  if (errOut) *errOut = err;
  return err == 0 ? pid : -1;
}
