#include "queue/request.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "queue/conf_dir.h"
#include "queue/protocol.h"
#include "queue/request_doc.h"
#include "util/eintr.h"
#include "util/env.h"
#include "util/write_all.h"

int64_t lastMs = 0;

namespace {

constexpr const char* kOriginBundled = "mac-opener";
constexpr const char* kOriginDev = "mac-opener-dev";

// Writes `doc` into the new file `tmpName` in `qfd`, flushes and closes it.
// 0 or the first error of write, fsync, close; the file stays either way.
int WriteTemp(cv::Env* env, int qfd, const std::string& tmpName, const std::string& doc, bool* created) {
  *created = false;
  int fd = CVRetryEintr([&] {
    return env->OpenAt(qfd, tmpName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  });
  if (fd < 0) return errno;
  *created = true;
  int err = CVWriteAll(fd, doc.data(), doc.size(), env);
  if (err == 0 && CVRetryEintr([&] { return env->Fsync(fd); }) != 0) err = errno;
  // EINTR from close: the descriptor is released, and fsync has the data.
  if (env->Close(fd) != 0 && errno != EINTR && err == 0) err = errno;
  return err;
}

bool Exists(cv::Env* env, int qfd, const std::string& name) {
  struct stat st;
  return env->FstatAt(qfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Opens the queue folder without creating it; with `dir`, only when it is
// still that folder (ESTALE otherwise, the descriptor closed).
int OpenQueueDir(cv::Env* env, int confFd, const CVQueueDirId* dir) {
  int qfd = CVRetryEintr(
      [&] { return env->OpenAt(confFd, kCVQueueDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0); });
  if (qfd < 0 || !dir) return qfd;
  struct stat st;
  int err = 0;
  if (env->Fstat(qfd, &st) != 0) {
    err = errno;
  } else if (st.st_dev != dir->dev || st.st_ino != dir->ino) {
    err = ESTALE;
  }
  if (err == 0) return qfd;
  env->Close(qfd);
  errno = err;
  return -1;
}

int Unlink(cv::Env* env, int qfd, const std::string& name) {
  return CVRetryEintr([&] { return env->UnlinkAt(qfd, name.c_str(), 0); });
}

std::optional<std::string> Fail(cv::Env* env, int qfd, int err) {
  env->Close(qfd);
  errno = err;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> CVWriteRequest(int confFd, const std::string& kind,
                                          const std::optional<std::string>& path, CVQueueDirId* dirOut) {
  cv::Env* env = cv::CurrentEnv();
  if (path && CVUtf16Length(*path) > kCVMaxPathUnits) {
    errno = ENAMETOOLONG;
    return std::nullopt;
  }
  int qfd = CVOpenOwnedDir(confFd, kCVQueueDir, true);
  if (qfd < 0) return std::nullopt;
  CVQueueDirId dir;
  if (dirOut) {
    struct stat st;
    if (env->Fstat(qfd, &st) != 0) return Fail(env, qfd, errno);
    dir = {st.st_dev, st.st_ino};
  }

  double now = env->WallClock();
  const char* origin = CVBundledAgent() ? kOriginBundled : kOriginDev;
  auto doc = CVRequestDocument(kind, path, now, static_cast<long long>(env->GetPid()), origin);
  if (!doc) return Fail(env, qfd, EINVAL);
  if (doc->size() > kCVMaxDocumentBytes) return Fail(env, qfd, EFBIG);

  unsigned char uuid[16];
  env->Uuid(uuid);
  std::string hex = CVHexDigits(uuid);
  lastMs = CVNextMs(now, lastMs);
  std::string stem = CVFormatStem(lastMs, hex);
  std::string tmpName = CVTempName(hex);
  std::string finalName = CVQueuedName(stem);

  bool created = false;
  int err = WriteTemp(env, qfd, tmpName, *doc, &created);
  if (err != 0) {
    if (created) Unlink(env, qfd, tmpName);
    return Fail(env, qfd, err);
  }
  if (CVRetryEintr([&] { return env->RenameAt(qfd, tmpName.c_str(), qfd, finalName.c_str()); }) != 0) {
    err = errno;
    Unlink(env, qfd, tmpName);
    return Fail(env, qfd, err);
  }
  env->Close(qfd);
  if (dirOut) *dirOut = dir;
  return stem;
}

namespace {

// The state of `stem`'s request; with `withdraw`, its ".json" file is
// removed instead of looked for, so that Queued means taken back. Once
// ".json" is known absent, ".claimed" is looked for either way.
int RequestStateOf(int confFd, const std::string& stem, const CVQueueDirId* dir, bool withdraw) {
  cv::Env* env = cv::CurrentEnv();
  int qfd = OpenQueueDir(env, confFd, dir);
  if (qfd < 0) return errno == ENOENT && !dir ? CVRequestGone : CVRequestUnknown;
  std::string queued = CVQueuedName(stem);
  bool found = withdraw ? Unlink(env, qfd, queued) == 0 : Exists(env, qfd, queued);
  int state = CVRequestGone;
  int err = 0;
  if (found) {
    state = CVRequestQueued;
  } else if (errno != ENOENT) {
    err = errno;
    state = CVRequestUnknown;
  } else if (Exists(env, qfd, CVClaimedName(stem))) {
    state = CVRequestClaimed;
  }
  env->Close(qfd);
  if (state == CVRequestUnknown) errno = err;
  return state;
}

}  // namespace

int CVRequestState(int confFd, const std::string& stem, const CVQueueDirId* dir) {
  return RequestStateOf(confFd, stem, dir, false);
}

int CVWithdrawRequest(int confFd, const std::string& stem, const CVQueueDirId* dir) {
  return RequestStateOf(confFd, stem, dir, true);
}
