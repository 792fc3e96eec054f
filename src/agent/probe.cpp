#include "agent/probe.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "agent/lock_file.h"
#include "queue/protocol.h"
#include "util/eintr.h"
#include "util/env.h"

namespace {

constexpr size_t kLockReadMax = 512;

}  // namespace

int CVProbeAgent(int confFd, int* pidOut, int* errOut) {
  if (pidOut) *pidOut = 0;
  if (errOut) *errOut = 0;
  cv::Env* env = cv::CurrentEnv();

  // O_NONBLOCK: a FIFO in place of the lock file would block a read-only open.
  int fd = CVRetryEintr(
      [&] { return env->OpenAt(confFd, kCVLockFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0); });
  if (fd < 0) {
    if (errno == ENOENT) return CVAgentAbsent;
    if (errOut) *errOut = errno;
    return CVAgentUnknown;
  }

  if (env->Flock(fd, LOCK_SH | LOCK_NB) == 0) {
    env->Flock(fd, LOCK_UN);
    env->Close(fd);
    return CVAgentAbsent;
  }
  if (errno != EWOULDBLOCK) {
    int err = errno;
    env->Close(fd);
    if (errOut) *errOut = err;
    return CVAgentUnknown;
  }

  if (pidOut) {
    char buf[kLockReadMax];
    ssize_t n = env->Pread(fd, buf, sizeof buf, 0);
    if (n > 0) *pidOut = CVLockFilePid(buf, static_cast<size_t>(n));
  }
  env->Close(fd);
  return CVAgentRunning;
}
