#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "queue/queue_sys.h"

namespace {

std::optional<std::string> RealGetenv(const char* name) {
  const char* value = ::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> RealUserHome() {
  errno = 0;
  struct passwd* pw = ::getpwuid(::getuid());
  if (!pw || !pw->pw_dir) return std::nullopt;
  return std::string(pw->pw_dir);
}

bool RealIsExecutableFile(const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) return false;
  return ::access(path, X_OK) == 0;
}

std::optional<std::string> RealExePath() {
  std::vector<char> buf(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    if (buf.size() >= (1u << 20)) return std::nullopt;
    buf.resize(buf.size() * 2);
  }
}

// Reads all of `n` bytes from /dev/urandom; false when it cannot.
bool ReadUrandom(unsigned char* out, size_t n) {
  int fd = CVRetryEintr([] { return ::open("/dev/urandom", O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return false;
  size_t done = 0;
  while (done < n) {
    ssize_t got = CVRetryEintr([&] { return ::read(fd, out + done, n - done); });
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  ::close(fd);
  return done == n;
}

// A version 4 UUID: 122 random bits from getrandom (the kernel's pool;
// /dev/urandom, which never blocks, where getrandom is missing or the pool
// is not yet initialised early at boot), the version nibble 4 and the
// variant bits 10. A source that fails leaves the bytes of a weaker mix of
// clock and pid rather than none: the stem must still be made, and the
// exclusive create catches a collision.
void RealUuid(unsigned char out[16]) {
  ssize_t got = CVRetryEintr([&] { return ::getrandom(out, 16, GRND_NONBLOCK); });
  if (got != 16 && !ReadUrandom(out, 16)) {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t a = static_cast<uint64_t>(ts.tv_sec) * 1000000007u ^ static_cast<uint64_t>(ts.tv_nsec);
    uint64_t b = static_cast<uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull ^ a;
    for (int i = 0; i < 8; ++i) {
      out[i] = static_cast<unsigned char>(a >> (8 * i));
      out[8 + i] = static_cast<unsigned char>(b >> (8 * i));
    }
  }
  out[6] = static_cast<unsigned char>((out[6] & 0x0F) | 0x40);
  out[8] = static_cast<unsigned char>((out[8] & 0x3F) | 0x80);
}

double RealClock() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

CVQueueSys MakeReal() {
  CVQueueSys sys;
  sys.openat = [](int dirFd, const char* path, int flags, mode_t mode) {
    return ::openat(dirFd, path, flags, mode);
  };
  sys.mkdirat = [](int dirFd, const char* path, mode_t mode) { return ::mkdirat(dirFd, path, mode); };
  sys.fstat = [](int fd, struct stat* st) { return ::fstat(fd, st); };
  sys.fchmod = [](int fd, mode_t mode) { return ::fchmod(fd, mode); };
  sys.fstatat = [](int dirFd, const char* path, struct stat* st, int flags) {
    return ::fstatat(dirFd, path, st, flags);
  };
  sys.renameat = [](int fromDir, const char* from, int toDir, const char* to) {
    return ::renameat(fromDir, from, toDir, to);
  };
  sys.unlinkat = [](int dirFd, const char* path, int flags) { return ::unlinkat(dirFd, path, flags); };
  sys.write = [](int fd, const void* buf, size_t n) { return ::write(fd, buf, n); };
  sys.fsync = [](int fd) { return ::fsync(fd); };
  sys.close = [](int fd) { return ::close(fd); };
  sys.geteuid = ::geteuid;
  sys.getpid = ::getpid;
  sys.getenv = RealGetenv;
  sys.realUserHome = RealUserHome;
  sys.isExecutableFile = RealIsExecutableFile;
  sys.exePath = RealExePath;
  sys.clock = RealClock;
  sys.uuid = RealUuid;
  return sys;
}

const CVQueueSys* current = nullptr;

}  // namespace

const CVQueueSys& CVQueueSysReal() {
  static const CVQueueSys real = MakeReal();
  return real;
}

const CVQueueSys& CVQueueSysCurrent() { return current ? *current : CVQueueSysReal(); }

CVScopedQueueSys::CVScopedQueueSys(const CVQueueSys& sys) : previous_(current) { current = &sys; }

CVScopedQueueSys::~CVScopedQueueSys() { current = previous_; }
