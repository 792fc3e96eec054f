#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "agent/probe.h"
#include "agent/scan.h"
#include "app/diagnose_sys.h"
#include "queue/conf_dir.h"
#include "util/eintr.h"
#include "util/env.h"
#include "util/process.h"

namespace cv {

namespace {

int ListDir(int dirFd, std::vector<std::string>* names) {
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
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    names->push_back(e->d_name);
  }
  int err = errno;
  ::closedir(dir);
  return err;
}

DiagnoseSys MakeReal() {
  DiagnoseSys sys;
  sys.getenv = [](const char* name) -> std::optional<std::string> {
    const char* v = ::getenv(name);
    if (!v) return std::nullopt;
    return std::string(v);
  };
  sys.openat = [](int dirFd, const char* path, int flags) {
    return CVRetryEintr([&] { return ::openat(dirFd, path, flags); });
  };
  sys.fstat = [](int fd, struct stat* st) { return ::fstat(fd, st); };
  sys.fstatvfs = [](int fd, struct statvfs* st) { return ::fstatvfs(fd, st); };
  sys.fstatat = [](int dirFd, const char* path, struct stat* st, int flags) {
    return ::fstatat(dirFd, path, st, flags);
  };
  sys.faccessat = [](int dirFd, const char* path, int mode) { return ::faccessat(dirFd, path, mode, AT_EACCESS); };
  sys.close = [](int fd) { return ::close(fd); };
  sys.listDir = ListDir;
  sys.geteuid = ::geteuid;
  sys.clock = [] { return Env::Default()->WallClock(); };
  sys.exePath = [] { return Env::Default()->ExePath(); };
  sys.isExecutableFile = [](const char* path) { return Env::Default()->IsExecutableFile(path); };
  sys.bundledAgent = CVBundledAgent;
  sys.probeAgent = CVProbeAgent;
  sys.findOldAgent = [](pid_t* young) { return CVFindOldFrozenAgent(0, young); };
  sys.runCommand = RunCommand;
  return sys;
}

}  // namespace

const DiagnoseSys& RealDiagnoseSys() {
  static const DiagnoseSys real = MakeReal();
  return real;
}

CommandResult RunCommand(const std::vector<std::string>& argv, double timeoutSeconds) {
  return CVRunCommand(argv, timeoutSeconds);
}

}  // namespace cv
