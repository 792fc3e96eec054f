// Every operating-system call of the request queue goes through this table:
// the file-system calls, the environment and password database, the clock,
// the UUID source and the path of the running executable. The logic in
// conf_dir.cpp and request.cpp never calls the system directly.
//
// Tests replace single entries to inject faults (a short write, EINTR, a
// failing fsync or rename, a clock stepped back, a fixed UUID, a different
// executable path):
//
//   CVQueueSys sys = CVQueueSysReal();
//   sys.fsync = [](int) { errno = EIO; return -1; };
//   CVScopedQueueSys guard(sys);
//
// Entries behave like the system calls they stand for: -1 (or nullopt) with
// errno set on failure. Main thread only; the current table is process state.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <string>

#include "util/eintr.h"

struct CVQueueSys {
  std::function<int(int dirFd, const char* path, int flags, mode_t mode)> openat;
  std::function<int(int dirFd, const char* path, mode_t mode)> mkdirat;
  std::function<int(int fd, struct stat* st)> fstat;
  std::function<int(int fd, mode_t mode)> fchmod;
  std::function<int(int dirFd, const char* path, struct stat* st, int flags)> fstatat;
  std::function<int(int fromDir, const char* from, int toDir, const char* to)> renameat;
  std::function<int(int dirFd, const char* path, int flags)> unlinkat;
  std::function<ssize_t(int fd, const void* buf, size_t n)> write;
  std::function<int(int fd)> fsync;
  std::function<int(int fd)> close;

  std::function<uid_t()> geteuid;
  std::function<pid_t()> getpid;
  // getenv: the value, or nullopt when unset.
  std::function<std::optional<std::string>(const char* name)> getenv;
  // pw_dir of the password-database entry of the real user id; nullopt when
  // there is no entry or its home directory is null.
  std::function<std::optional<std::string>()> realUserHome;
  // Whether `path` is a regular file that the real user may execute.
  std::function<bool(const char* path)> isExecutableFile;
  // The path of the running program (/proc/self/exe); nullopt when unknown.
  std::function<std::optional<std::string>()> exePath;

  // Wall-clock seconds since 1970, with the fraction of a second.
  std::function<double()> clock;
  // 16 bytes of a random (version 4) UUID.
  std::function<void(unsigned char out[16])> uuid;
};

// The table of real calls.
const CVQueueSys& CVQueueSysReal();

// The table in use: the real one unless a CVScopedQueueSys is alive.
const CVQueueSys& CVQueueSysCurrent();

// Installs `sys` as the current table for its own lifetime and restores the
// previous one after. `sys` must outlive the guard. Guards nest.
class CVScopedQueueSys {
 public:
  explicit CVScopedQueueSys(const CVQueueSys& sys);
  ~CVScopedQueueSys();
  CVScopedQueueSys(const CVScopedQueueSys&) = delete;
  CVScopedQueueSys& operator=(const CVScopedQueueSys&) = delete;

 private:
  const CVQueueSys* previous_;
};
