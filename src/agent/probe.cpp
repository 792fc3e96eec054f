#include "agent/probe.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "agent/agent_sys.h"
#include "agent/lock_file.h"
#include "queue/protocol.h"
#include "util/eintr.h"

namespace {

constexpr size_t kLockReadMax = 512;

}  // namespace

int CVProbeAgent(int confFd, int* pidOut, int* errOut) {
  if (pidOut) *pidOut = 0;
  if (errOut) *errOut = 0;
  const cv::AgentSys& sys = cv::AgentSysCalls();

  // O_NONBLOCK: a FIFO in place of the lock file would block a read-only open.
  int fd = CVRetryEintr(
      [&] { return sys.openat(confFd, kCVLockFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0); });
  if (fd < 0) {
    if (errno == ENOENT) return CVAgentAbsent;
    if (errOut) *errOut = errno;
    return CVAgentUnknown;
  }

  if (sys.flock(fd, LOCK_SH | LOCK_NB) == 0) {
    sys.flock(fd, LOCK_UN);
    sys.close(fd);
    return CVAgentAbsent;
  }
  if (errno != EWOULDBLOCK) {
    int err = errno;
    sys.close(fd);
    if (errOut) *errOut = err;
    return CVAgentUnknown;
  }

  if (pidOut) {
    char buf[kLockReadMax];
    ssize_t n = sys.pread(fd, buf, sizeof buf, 0);
    if (n > 0) *pidOut = CVLockFilePid(buf, static_cast<size_t>(n));
  }
  sys.close(fd);
  return CVAgentRunning;
}
