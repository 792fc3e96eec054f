#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "agent_lock.h"
#include "queue/protocol.h"
#include "util/eintr.h"

namespace cvagent {

namespace {

constexpr size_t kLockReadBytes = 512;

int FlockRetry(int fd, int op) {
  return CVRetryEintr([&] { return flock(fd, op); });
}

int PidFromContent(const std::string& content) {
  nlohmann::json doc = nlohmann::json::parse(content, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) return 0;
  auto it = doc.find("pid");
  if (it == doc.end() || !it->is_number()) return 0;
  double v = it->get<double>();
  if (!std::isfinite(v) || v < 0 || v > 2147483647.0) return 0;
  return static_cast<int>(v);
}

}  // namespace

int TakeAgentLock(int confFd, double patience, int* err) {
  *err = 0;
  int fd =
      CVRetryEintr([&] { return openat(confFd, kCVLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600); });
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int saved = errno;
    close(fd);
    *err = saved;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    *err = EINVAL;
    return -1;
  }
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::duration<double>(patience);
  for (;;) {
    if (FlockRetry(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    int saved = errno;
    if (saved != EWOULDBLOCK || std::chrono::steady_clock::now() >= giveUp) {
      close(fd);
      *err = saved;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int WritePid(int lockFd, pid_t pid) {
  std::string content = "{\"pid\":" + std::to_string(pid) + "}";
  if (CVRetryEintr([&] { return ftruncate(lockFd, 0); }) != 0) return errno;
  ssize_t n = CVRetryEintr([&] { return pwrite(lockFd, content.data(), content.size(), 0); });
  if (n < 0) return errno;
  return static_cast<size_t>(n) == content.size() ? 0 : EIO;
}

LockState PeekAgentLock(int confFd, int* pid, int* err) {
  *pid = 0;
  *err = 0;
  int fd =
      CVRetryEintr([&] { return openat(confFd, kCVLockFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) {
    if (errno == ENOENT) return LockState::kFree;
    *err = errno;
    return LockState::kUnknown;
  }
  if (FlockRetry(fd, LOCK_SH | LOCK_NB) == 0) {
    FlockRetry(fd, LOCK_UN);
    close(fd);
    return LockState::kFree;
  }
  if (errno != EWOULDBLOCK) {
    int saved = errno;
    close(fd);
    *err = saved;
    return LockState::kUnknown;
  }
  char buf[kLockReadBytes];
  ssize_t n = CVRetryEintr([&] { return pread(fd, buf, sizeof buf, 0); });
  close(fd);
  if (n > 0) *pid = PidFromContent(std::string(buf, static_cast<size_t>(n)));
  return LockState::kHeld;
}

}  // namespace cvagent
