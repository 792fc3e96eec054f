// Helpers of the request-queue tests: descriptor counting, file modes and a
// copy of the real system-call table that remembers the temporary file.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "queue/queue_sys.h"
#include "queue/request.h"
#include "test_support.h"

namespace cvqueuetest {

// A settings folder in a fresh temporary directory, opened as the controller
// holds it, with lastMs back at 0.
class SettingsFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lastMs = 0;
    conf_ = open(tmp_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(conf_, 0);
  }
  void TearDown() override { close(conf_); }
  std::string Queue() const { return tmp_.Join("open-requests"); }

  cvtest::TempDir tmp_;
  int conf_ = -1;
};

// Names parameterized cases after their `name` field.
struct ByName {
  template <class P>
  std::string operator()(const ::testing::TestParamInfo<P>& info) const {
    return info.param.name;
  }
};

using cvtest::CountOpenFds;

// Permission bits (07777) of `path` without following a final link; -1 when
// it does not exist.
inline int ModeOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline bool EndsWith(const char* s, const char* tail) {
  std::string a(s), b(tail);
  return a.size() >= b.size() && a.compare(a.size() - b.size(), b.size(), b) == 0;
}

// The real table, with counts and faults on the temporary request file:
// set the *Err fields to make that call fail with that errno (close still
// closes). Installed while the object lives.
class TmpFaults {
 public:
  int writeErr = 0;     // every write to the temporary file fails
  bool writeZero = false;  // every write returns 0
  int fsyncErr = 0;
  int closeErr = 0;
  int renameErr = 0;
  int unlinkErr = 0;    // the clean-up unlinkat fails
  int tmpOpenErr = 0;   // creating the temporary file fails

  int tmpFd = -1;
  int writes = 0, fsyncs = 0, tmpCloses = 0, renames = 0, unlinks = 0;

  TmpFaults() : sys_(CVQueueSysReal()) {
    const CVQueueSys& real = CVQueueSysReal();
    sys_.openat = [this, &real](int dirFd, const char* path, int flags, mode_t mode) {
      bool tmp = EndsWith(path, ".tmp");
      if (tmp && tmpOpenErr) {
        errno = tmpOpenErr;
        return -1;
      }
      int fd = real.openat(dirFd, path, flags, mode);
      if (tmp) tmpFd = fd;
      return fd;
    };
    sys_.write = [this, &real](int fd, const void* buf, size_t n) -> ssize_t {
      if (fd != tmpFd) return real.write(fd, buf, n);
      ++writes;
      if (writeZero) return 0;
      if (writeErr) {
        errno = writeErr;
        return -1;
      }
      return real.write(fd, buf, n);
    };
    sys_.fsync = [this, &real](int fd) {
      if (fd != tmpFd) return real.fsync(fd);
      ++fsyncs;
      if (fsyncErr) {
        errno = fsyncErr;
        return -1;
      }
      return real.fsync(fd);
    };
    sys_.close = [this, &real](int fd) {
      if (fd != tmpFd) return real.close(fd);
      ++tmpCloses;
      tmpFd = -1;
      int rc = real.close(fd);
      if (closeErr) {
        errno = closeErr;
        return -1;
      }
      return rc;
    };
    sys_.renameat = [this, &real](int a, const char* from, int b, const char* to) {
      ++renames;
      if (renameErr) {
        errno = renameErr;
        return -1;
      }
      return real.renameat(a, from, b, to);
    };
    sys_.unlinkat = [this, &real](int dirFd, const char* path, int flags) {
      ++unlinks;
      if (unlinkErr) {
        errno = unlinkErr;
        return -1;
      }
      return real.unlinkat(dirFd, path, flags);
    };
    guard_ = new CVScopedQueueSys(sys_);
  }
  ~TmpFaults() { delete guard_; }
  TmpFaults(const TmpFaults&) = delete;
  TmpFaults& operator=(const TmpFaults&) = delete;

  CVQueueSys& sys() { return sys_; }

 private:
  CVQueueSys sys_;
  CVScopedQueueSys* guard_ = nullptr;
};

}  // namespace cvqueuetest
