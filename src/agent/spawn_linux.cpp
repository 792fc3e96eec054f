#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "agent/start.h"
#include "platform/log.h"
#include "queue/conf_dir.h"
#include "queue/protocol.h"
#include "util/eintr.h"
#include "util/env.h"
#include "util/process.h"

namespace {

constexpr int kArgSlots = 16;
constexpr int kExtraArgsMax = kArgSlots - 2;

// Opens the output file in this process rather than by a file action: a FIFO
// without a reader then fails at once (ENXIO) instead of blocking the spawn,
// and with it the caller. Returns a descriptor of 3 or above, so that the
// child's dup2 onto 1 and 2 never lands on itself, or -1 with errno set.
int OpenOutput(cv::Env* env, const char* outPath) {
  int fd = CVRetryEintr([&] {
    return env->OpenAt(AT_FDCWD, outPath, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                      0600);
  });
  if (fd < 0) return -1;
  if (fd < 3) {
    int high = env->Fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    env->Close(fd);
    if (high < 0) {
      errno = err;
      return -1;
    }
    fd = high;
  }
  int flags = env->Fcntl(fd, F_GETFL, 0);
  if (flags < 0 || env->Fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    int err = errno;
    env->Close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

std::string AgentLogPath(const std::string& confDir) {
  if (!confDir.empty() && confDir.back() == '/') return confDir + kCVAgentLog;
  return confDir + "/" + kCVAgentLog;
}

}  // namespace

int CVSpawnWithStdout(const char* path, char* const argv[], const char* outPath, pid_t* pidOut) {
  cv::Env* env = cv::CurrentEnv();
  int outFd = OpenOutput(env, outPath);
  if (outFd < 0) return errno;

  // stdin from /dev/null, stdout to the file, stderr as stdout.
  CVSpawnOptions options;
  options.stdio[1] = outFd;
  options.stdio[2] = 1;
  options.newSession = true;
  options.env = env;
  int rc = CVSpawnProcess(path, argv, options, pidOut);
  env->Close(outFd);
  return rc;
}

pid_t CVSpawnAgent(const char* path, const char* const* extraArgs, int* errOut) {
  if (errOut) *errOut = 0;
  cv::Env* env = cv::CurrentEnv();

  char* argv[kArgSlots];
  int argc = 0;
  argv[argc++] = const_cast<char*>(path);
  for (int i = 0; extraArgs && i < kExtraArgsMax && extraArgs[i]; i++) {
    argv[argc++] = const_cast<char*>(extraArgs[i]);
  }
  argv[argc] = nullptr;

  if (env->AccessAt(AT_FDCWD, path, X_OK, 0) != 0) {
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
