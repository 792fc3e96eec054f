// Helpers of the request-queue tests: descriptor counting, file modes, an
// Env with a fixed clock, UUID or executable path, and one that remembers
// the temporary file and fails the calls made on it.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "queue/request.h"
#include "test_support.h"
#include "util/env.h"

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

// The system with the clock, the UUID or the executable path fixed where a
// test sets them; every other call goes to `target`. Not installed by
// itself: install it with cv::ScopedEnv, or wrap it in TmpFaults.
class PinnedEnv : public cv::EnvWrapper {
 public:
  explicit PinnedEnv(cv::Env* target = cv::Env::Default()) : EnvWrapper(target) {}

  std::optional<double> clock;                       // WallClock
  std::optional<std::array<unsigned char, 16>> uuid;  // Uuid
  std::optional<std::string> exePath;                // ExePath

  double WallClock() override { return clock ? *clock : EnvWrapper::WallClock(); }
  void Uuid(unsigned char out[16]) override {
    if (!uuid) return EnvWrapper::Uuid(out);
    std::copy(uuid->begin(), uuid->end(), out);
  }
  std::optional<std::string> ExePath() override { return exePath ? exePath : EnvWrapper::ExePath(); }
};

inline std::array<unsigned char, 16> UuidOf(const unsigned char (&bytes)[16]) {
  std::array<unsigned char, 16> out;
  std::copy(bytes, bytes + 16, out.begin());
  return out;
}

// `target` (the real system unless given), with counts and faults on the
// temporary request file: set the *Err fields to make that call fail with
// that errno (close still closes). Installed as the current Env while the
// object lives. A test may subclass it to look at or change a call further
// (calling TmpFaults::Call to keep the counts).
class TmpFaults : public cv::EnvWrapper {
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

  explicit TmpFaults(cv::Env* target = cv::Env::Default()) : EnvWrapper(target), guard_(this) {}

  int OpenAt(int dirFd, const char* path, int flags, mode_t mode) override {
    bool tmp = EndsWith(path, ".tmp");
    if (tmp && tmpOpenErr) {
      errno = tmpOpenErr;
      return -1;
    }
    int fd = EnvWrapper::OpenAt(dirFd, path, flags, mode);
    if (tmp) tmpFd = fd;
    return fd;
  }
  ssize_t Write(int fd, const void* buf, size_t n) override {
    if (fd != tmpFd) return EnvWrapper::Write(fd, buf, n);
    ++writes;
    if (writeZero) return 0;
    if (writeErr) {
      errno = writeErr;
      return -1;
    }
    return EnvWrapper::Write(fd, buf, n);
  }
  int Fsync(int fd) override {
    if (fd != tmpFd) return EnvWrapper::Fsync(fd);
    ++fsyncs;
    if (fsyncErr) {
      errno = fsyncErr;
      return -1;
    }
    return EnvWrapper::Fsync(fd);
  }
  int Close(int fd) override {
    if (fd != tmpFd) return EnvWrapper::Close(fd);
    ++tmpCloses;
    tmpFd = -1;
    int rc = EnvWrapper::Close(fd);
    if (closeErr) {
      errno = closeErr;
      return -1;
    }
    return rc;
  }
  int RenameAt(int a, const char* from, int b, const char* to) override {
    ++renames;
    if (renameErr) {
      errno = renameErr;
      return -1;
    }
    return EnvWrapper::RenameAt(a, from, b, to);
  }
  int UnlinkAt(int dirFd, const char* path, int flags) override {
    ++unlinks;
    if (unlinkErr) {
      errno = unlinkErr;
      return -1;
    }
    return EnvWrapper::UnlinkAt(dirFd, path, flags);
  }

 private:
  cv::ScopedEnv guard_;
};

}  // namespace cvqueuetest
