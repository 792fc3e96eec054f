#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "util/eintr.h"
#include "util/env.h"
#include "util/process.h"

namespace cv {

namespace {

double ClockSeconds(clockid_t id) {
  struct timespec ts;
  ::clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
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

class PosixEnv : public Env {
 public:
  int OpenAt(int dirFd, const char* path, int flags, mode_t mode) override {
    return ::openat(dirFd, path, flags, mode);
  }
  int Close(int fd) override { return ::close(fd); }
  ssize_t Read(int fd, void* buf, size_t n) override { return ::read(fd, buf, n); }
  ssize_t Pread(int fd, void* buf, size_t n, off_t offset) override { return ::pread(fd, buf, n, offset); }
  ssize_t Write(int fd, const void* buf, size_t n) override { return ::write(fd, buf, n); }
  int Fsync(int fd) override { return ::fsync(fd); }
  int Fstat(int fd, struct stat* st) override { return ::fstat(fd, st); }
  int FstatAt(int dirFd, const char* path, struct stat* st, int flags) override {
    return ::fstatat(dirFd, path, st, flags);
  }
  int Fstatvfs(int fd, struct statvfs* st) override { return ::fstatvfs(fd, st); }
  int Fchmod(int fd, mode_t mode) override { return ::fchmod(fd, mode); }
  int MkdirAt(int dirFd, const char* path, mode_t mode) override { return ::mkdirat(dirFd, path, mode); }
  int RenameAt(int fromDir, const char* from, int toDir, const char* to) override {
    return ::renameat(fromDir, from, toDir, to);
  }
  int UnlinkAt(int dirFd, const char* path, int flags) override { return ::unlinkat(dirFd, path, flags); }
  int AccessAt(int dirFd, const char* path, int mode, int flags) override {
    return ::faccessat(dirFd, path, mode, flags);
  }
  int ReadLinkAt(int dirFd, const char* path, std::string* out) override;
  int Flock(int fd, int op) override { return ::flock(fd, op); }
  int Fcntl(int fd, int cmd, int arg) override { return ::fcntl(fd, cmd, arg); }
  int ListDir(int dirFd, std::vector<std::string>* names) override;

  uid_t GetUid() override { return ::getuid(); }
  uid_t GetEuid() override { return ::geteuid(); }
  pid_t GetPid() override { return ::getpid(); }
  std::optional<std::string> GetEnv(const char* name) override {
    const char* value = ::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
  }
  std::optional<std::string> RealUserHome() override {
    errno = 0;
    struct passwd* pw = ::getpwuid(::getuid());
    if (!pw || !pw->pw_dir) return std::nullopt;
    return std::string(pw->pw_dir);
  }
  std::optional<std::string> ExePath() override {
    std::string path;
    if (ReadLinkAt(AT_FDCWD, "/proc/self/exe", &path) != 0) return std::nullopt;
    return path;
  }
  int GetCwd(std::string* out) override {
    std::string buf(4096, '\0');
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
      if (errno != ERANGE) return -1;
      buf.resize(buf.size() * 2);
    }
    buf.resize(std::strlen(buf.c_str()));
    *out = std::move(buf);
    return 0;
  }
  bool IsExecutableFile(const char* path) override {
    struct stat st;
    if (::stat(path, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) return false;
    return ::access(path, X_OK) == 0;
  }

  double WallClock() override { return ClockSeconds(CLOCK_REALTIME); }
  double MonotonicClock() override { return ClockSeconds(CLOCK_MONOTONIC); }
  double BootClock() override { return ClockSeconds(CLOCK_BOOTTIME); }
  void Uuid(unsigned char out[16]) override;

  int Spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attr,
            char* const argv[], char* const envp[]) override {
    return ::posix_spawn(pid, path, actions, attr, argv, envp);
  }
  pid_t WaitPid(pid_t pid, int* status, int options) override { return ::waitpid(pid, status, options); }
  int Kill(pid_t pid, int signo) override { return ::kill(pid, signo); }
  int PidfdOpen(pid_t pid) override { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
  CommandResult RunCommand(const std::vector<std::string>& argv, double timeoutSeconds) override {
    return CVRunCommand(argv, timeoutSeconds);
  }

  int InotifyInit(int flags) override { return ::inotify_init1(flags); }
  int InotifyAddWatch(int fd, const char* path, uint32_t mask) override {
    return ::inotify_add_watch(fd, path, mask);
  }
  int SignalFd(const sigset_t* mask) override { return ::signalfd(-1, mask, SFD_NONBLOCK | SFD_CLOEXEC); }

  int Socket(int domain, int type, int protocol) override { return ::socket(domain, type, protocol); }
  ssize_t SendMsg(int fd, const struct msghdr* msg, int flags) override { return ::sendmsg(fd, msg, flags); }
  int MemfdCreate(const char* name, unsigned int flags) override { return ::memfd_create(name, flags); }
};

int PosixEnv::ReadLinkAt(int dirFd, const char* path, std::string* out) {
  std::string buf(4096, '\0');
  for (;;) {
    ssize_t n = ::readlinkat(dirFd, path, buf.data(), buf.size());
    if (n < 0) return -1;
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      *out = std::move(buf);
      return 0;
    }
    if (buf.size() >= (1u << 20)) {
      errno = ENAMETOOLONG;
      return -1;
    }
    buf.resize(buf.size() * 2);
  }
}

int PosixEnv::ListDir(int dirFd, std::vector<std::string>* names) {
  // A descriptor of its own: closedir closes it, and the caller's keeps its
  // offset.
  int fd = CVRetryEintr([&] { return ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return errno;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    int err = errno;
    ::close(fd);
    return err;
  }
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(dir);
    if (!e) break;
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names->push_back(e->d_name);
  }
  int err = errno;
  ::closedir(dir);
  return err;
}

// A version 4 UUID: 122 random bits from getrandom (the kernel's pool;
// /dev/urandom, which never blocks, where getrandom is missing or the pool
// is not yet initialised early at boot), the version nibble 4 and the
// variant bits 10. A source that fails leaves the bytes of a weaker mix of
// clock and pid rather than none: the stem must still be made, and the
// exclusive create catches a collision.
void PosixEnv::Uuid(unsigned char out[16]) {
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

Env* g_current = nullptr;

}  // namespace

Env::~Env() = default;

Env* Env::Default() {
  static PosixEnv* real = new PosixEnv;  // never destroyed: used until the process ends
  return real;
}

Env* CurrentEnv() { return g_current ? g_current : Env::Default(); }

ScopedEnv::ScopedEnv(Env* env) : previous_(g_current) { g_current = env; }

ScopedEnv::~ScopedEnv() { g_current = previous_; }

}  // namespace cv
