#include "queue/request.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "queue/conf_dir.h"
#include "queue/protocol.h"
#include "queue/queue_sys.h"
#include "queue/request_doc.h"
#include "util/write_all.h"

int64_t lastMs = 0;

namespace {

constexpr const char* kOriginBundled = "mac-opener";
constexpr const char* kOriginDev = "mac-opener-dev";

// Writes `doc` into the new file `tmpName` in `qfd`, flushes and closes it.
// 0 or the first error of write, fsync, close; the file stays either way.
int WriteTemp(const CVQueueSys& sys, int qfd, const std::string& tmpName, const std::string& doc,
              bool* created) {
  *created = false;
  int fd = CVRetryEintr([&] {
    return sys.openat(qfd, tmpName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  });
  if (fd < 0) return errno;
  *created = true;
  int err = CVWriteAll(fd, doc.data(), doc.size(), sys.write);
  if (err == 0 && CVRetryEintr([&] { return sys.fsync(fd); }) != 0) err = errno;
  // EINTR from close: the descriptor is released, and fsync has the data.
  if (sys.close(fd) != 0 && errno != EINTR && err == 0) err = errno;
  return err;
}

bool Exists(const CVQueueSys& sys, int qfd, const std::string& name) {
  struct stat st;
  return sys.fstatat(qfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Opens the queue folder without creating it; with `dir`, only when it is
// still that folder (ESTALE otherwise, the descriptor closed).
int OpenQueueDir(const CVQueueSys& sys, int confFd, const CVQueueDirId* dir) {
  int qfd = CVRetryEintr(
      [&] { return sys.openat(confFd, kCVQueueDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0); });
  if (qfd < 0 || !dir) return qfd;
  struct stat st;
  int err = 0;
  if (sys.fstat(qfd, &st) != 0) {
    err = errno;
  } else if (st.st_dev != dir->dev || st.st_ino != dir->ino) {
    err = ESTALE;
  }
  if (err == 0) return qfd;
  sys.close(qfd);
  errno = err;
  return -1;
}

int Unlink(const CVQueueSys& sys, int qfd, const std::string& name) {
  return CVRetryEintr([&] { return sys.unlinkat(qfd, name.c_str(), 0); });
}

std::optional<std::string> Fail(const CVQueueSys& sys, int qfd, int err) {
  sys.close(qfd);
  errno = err;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> CVWriteRequest(int confFd, const std::string& kind,
                                          const std::optional<std::string>& path, CVQueueDirId* dirOut) {
  const CVQueueSys& sys = CVQueueSysCurrent();
  if (path && CVUtf16Length(*path) > kCVMaxPathUnits) {
    errno = ENAMETOOLONG;
    return std::nullopt;
  }
  int qfd = CVOpenOwnedDir(confFd, kCVQueueDir, true);
  if (qfd < 0) return std::nullopt;
  CVQueueDirId dir;
  if (dirOut) {
    struct stat st;
    if (sys.fstat(qfd, &st) != 0) return Fail(sys, qfd, errno);
    dir = {st.st_dev, st.st_ino};
  }

  double now = sys.clock();
  const char* origin = CVBundledAgent() ? kOriginBundled : kOriginDev;
  auto doc = CVRequestDocument(kind, path, now, static_cast<long long>(sys.getpid()), origin);
  if (!doc) return Fail(sys, qfd, EINVAL);
  if (doc->size() > kCVMaxDocumentBytes) return Fail(sys, qfd, EFBIG);

  unsigned char uuid[16];
  sys.uuid(uuid);
  std::string hex = CVHexDigits(uuid);
  lastMs = CVNextMs(now, lastMs);
  std::string stem = CVFormatStem(lastMs, hex);
  std::string tmpName = CVTempName(hex);
  std::string finalName = CVQueuedName(stem);

  bool created = false;
  int err = WriteTemp(sys, qfd, tmpName, *doc, &created);
  if (err != 0) {
    if (created) Unlink(sys, qfd, tmpName);
    return Fail(sys, qfd, err);
  }
  if (CVRetryEintr([&] { return sys.renameat(qfd, tmpName.c_str(), qfd, finalName.c_str()); }) != 0) {
    err = errno;
    Unlink(sys, qfd, tmpName);
    return Fail(sys, qfd, err);
  }
  sys.close(qfd);
  if (dirOut) *dirOut = dir;
  return stem;
}

int CVRequestState(int confFd, const std::string& stem, const CVQueueDirId* dir) {
  const CVQueueSys& sys = CVQueueSysCurrent();
  int qfd = OpenQueueDir(sys, confFd, dir);
  if (qfd < 0) return errno == ENOENT && !dir ? CVRequestGone : CVRequestUnknown;
  int state = CVRequestGone;
  int err = 0;
  if (Exists(sys, qfd, CVQueuedName(stem))) {
    state = CVRequestQueued;
  } else if (errno != ENOENT) {
    err = errno;
    state = CVRequestUnknown;
  } else if (Exists(sys, qfd, CVClaimedName(stem))) {
    state = CVRequestClaimed;
  }
  sys.close(qfd);
  if (state == CVRequestUnknown) errno = err;
  return state;
}

int CVWithdrawRequest(int confFd, const std::string& stem, const CVQueueDirId* dir) {
  const CVQueueSys& sys = CVQueueSysCurrent();
  int qfd = OpenQueueDir(sys, confFd, dir);
  if (qfd < 0) return errno == ENOENT && !dir ? CVRequestGone : CVRequestUnknown;
  int state = CVRequestGone;
  int err = 0;
  if (Unlink(sys, qfd, CVQueuedName(stem)) == 0) {
    state = CVRequestQueued;
  } else if (errno != ENOENT) {
    err = errno;
    state = CVRequestUnknown;
  } else if (Exists(sys, qfd, CVClaimedName(stem))) {
    state = CVRequestClaimed;
  }
  sys.close(qfd);
  if (state == CVRequestUnknown) errno = err;
  return state;
}
