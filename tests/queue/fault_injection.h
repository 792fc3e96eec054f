// A fault-injecting Env for the request queue: it numbers every call that
// can fail (open, mkdir, stat, chmod, rename, unlink, write,
// fsync, close) and makes the Nth one fail, once or from then on for every
// call of the same kind, with an errno, an interruption (EINTR) or a short
// write. What it injected is recorded, so that a test can tell which step
// failed. Installed while the object lives; main thread only.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "util/env.h"

namespace cvqueuetest {

enum class Fault {
  kError,  // the call fails with `err`
  kEintr,  // the call fails with EINTR (a retry goes through, unless persistent)
  kShort,  // a write stores one byte only (persistent: every write from the
           // Nth call on); other calls are left alone
};

enum class Call { kOpenat, kMkdirat, kFstat, kFchmod, kFstatat, kRenameat, kUnlinkat, kWrite, kFsync, kClose };

inline const char* CallName(Call c) {
  static const char* const kNames[] = {"openat", "mkdirat", "fstat",   "fchmod", "fstatat",
                                       "renameat", "unlinkat", "write", "fsync", "close"};
  return kNames[static_cast<int>(c)];
}

class FaultInjection : public cv::EnvWrapper {
 public:
  // Fails call number `failAt` (1-based; 0: none) with `fault`. With
  // `persistent`, every later call of the same kind fails as well (a full
  // disk stays full); for kEintr each of them is interrupted once and goes
  // through when made again at once. Every call goes on to `target` (the
  // real system unless given; a test pins the clock and the UUID there).
  FaultInjection(int failAt, Fault fault, int err, bool persistent, cv::Env* target = cv::Env::Default())
      : EnvWrapper(target), failAt_(failAt), fault_(fault), err_(err), persistent_(persistent), guard_(this) {}
  FaultInjection(const FaultInjection&) = delete;
  FaultInjection& operator=(const FaultInjection&) = delete;

  int OpenAt(int dirFd, const char* path, int flags, mode_t mode) override {
    if (Inject(Call::kOpenat)) return -1;
    int fd = EnvWrapper::OpenAt(dirFd, path, flags, mode);
    std::string p = path;
    if (fd >= 0 && p.size() > 4 && p.compare(p.size() - 4, 4, ".tmp") == 0) tmpFd_ = fd;
    return fd;
  }
  int MkdirAt(int dirFd, const char* path, mode_t mode) override {
    return Inject(Call::kMkdirat) ? -1 : EnvWrapper::MkdirAt(dirFd, path, mode);
  }
  int Fstat(int fd, struct stat* st) override { return Inject(Call::kFstat) ? -1 : EnvWrapper::Fstat(fd, st); }
  int Fchmod(int fd, mode_t mode) override { return Inject(Call::kFchmod) ? -1 : EnvWrapper::Fchmod(fd, mode); }
  int FstatAt(int dirFd, const char* path, struct stat* st, int flags) override {
    return Inject(Call::kFstatat) ? -1 : EnvWrapper::FstatAt(dirFd, path, st, flags);
  }
  int RenameAt(int a, const char* from, int b, const char* to) override {
    return Inject(Call::kRenameat) ? -1 : EnvWrapper::RenameAt(a, from, b, to);
  }
  int UnlinkAt(int dirFd, const char* path, int flags) override {
    return Inject(Call::kUnlinkat) ? -1 : EnvWrapper::UnlinkAt(dirFd, path, flags);
  }
  ssize_t Write(int fd, const void* buf, size_t n) override {
    if (fault_ == Fault::kShort) {
      bool cut = Inject(Call::kWrite) && n > 1;
      return EnvWrapper::Write(fd, buf, cut ? 1 : n);
    }
    return Inject(Call::kWrite) ? -1 : EnvWrapper::Write(fd, buf, n);
  }
  int Fsync(int fd) override { return Inject(Call::kFsync) ? -1 : EnvWrapper::Fsync(fd); }
  int Close(int fd) override {
    bool tmp = fd == tmpFd_;
    if (tmp) tmpFd_ = -1;
    // A failing close still releases the descriptor, as on Linux.
    int rc = EnvWrapper::Close(fd);
    if (Inject(Call::kClose)) {
      if (!failedTmpClose_) failedTmpClose_ = tmp;
      return -1;
    }
    return rc;
  }

  int calls() const { return calls_; }        // fallible calls made
  int injected() const { return injected_; }  // faults injected
  // The kind of the first call that was made to fail, if any.
  std::optional<Call> first() const { return first_; }
  // Whether the first failed close was that of the temporary file.
  bool firstCloseWasTmp() const { return failedTmpClose_.value_or(false); }

 private:
  // Counts the call; true when it is to fail, with errno set.
  bool Inject(Call c) {
    ++calls_;
    bool hit = calls_ == failAt_ || (persistent_ && first_ == c && !retryOk_);
    if (fault_ == Fault::kShort) {
      hit = c == Call::kWrite && failAt_ > 0 && (calls_ == failAt_ || (persistent_ && calls_ > failAt_));
    }
    retryOk_ = false;
    if (!hit) return false;
    if (!first_) first_ = c;
    ++injected_;
    if (fault_ == Fault::kEintr) retryOk_ = persistent_;
    errno = fault_ == Fault::kEintr ? EINTR : err_;
    return true;
  }

  int failAt_;
  Fault fault_;
  int err_;
  bool persistent_;
  int calls_ = 0;
  int injected_ = 0;
  bool retryOk_ = false;
  std::optional<Call> first_;
  std::optional<bool> failedTmpClose_;
  int tmpFd_ = -1;
  cv::ScopedEnv guard_;
};

}  // namespace cvqueuetest
