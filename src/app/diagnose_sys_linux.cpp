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
#include "queue/queue_sys.h"
#include "util/eintr.h"
#include "util/process.h"

namespace cv {

namespace {

double MonotonicNow() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

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

// Pipe ends for the child's stdout and stderr, all O_CLOEXEC.
struct Pipes {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  void CloseAll() {
    for (int* p : {out, err}) {
      for (int i = 0; i < 2; ++i) {
        if (p[i] >= 0) ::close(p[i]);
        p[i] = -1;
      }
    }
  }
};

int SpawnQuery(const std::vector<std::string>& argv, Pipes* pipes, pid_t* pid) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // stdin from /dev/null, stdout and stderr into the pipes.
  CVSpawnOptions options;
  options.stdio[1] = pipes->out[1];
  options.stdio[2] = pipes->err[1];
  return CVSpawnProcess(args[0], args.data(), options, pid);
}

// Reads what is ready on `fd` into `into` (kept to kCommandOutputMax);
// false at the end of the stream or on an error.
bool Drain(int fd, std::string* into) {
  char buf[4096];
  ssize_t n = CVRetryEintr([&] { return ::read(fd, buf, sizeof buf); });
  if (n <= 0) return false;
  size_t room = kCommandOutputMax - std::min(kCommandOutputMax, into->size());
  into->append(buf, std::min(room, static_cast<size_t>(n)));
  return true;
}

// Reaps `pid` if it has exited, without waiting; true once it is gone.
// ECHILD (someone else reaped it) counts as gone, its status unknown (-1).
bool Reaped(pid_t pid, int* status) {
  pid_t r = CVWaitProcess(pid, status, WNOHANG);
  if (r < 0 && errno == ECHILD) *status = -1;
  return r == pid || (r < 0 && errno == ECHILD);
}

void ReapAfterKill(pid_t pid, int* status) {
  ::kill(pid, SIGKILL);
  CVWaitProcess(pid, status, 0);
}

CommandResult QueryResult(int status) {
  CommandResult r;
  r.status = CVDecodeWaitStatus(status).code;
  return r;
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
  sys.clock = [] { return CVQueueSysReal().clock(); };
  sys.exePath = [] { return CVQueueSysReal().exePath(); };
  sys.isExecutableFile = [](const char* path) { return CVQueueSysReal().isExecutableFile(path); };
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
  CommandResult failed;
  if (argv.empty()) {
    failed.spawnErr = EINVAL;
    return failed;
  }
  Pipes pipes;
  if (::pipe2(pipes.out, O_CLOEXEC) != 0 || ::pipe2(pipes.err, O_CLOEXEC) != 0) {
    failed.spawnErr = errno;
    pipes.CloseAll();
    return failed;
  }
  pid_t pid = 0;
  int rc = SpawnQuery(argv, &pipes, &pid);
  ::close(pipes.out[1]);
  ::close(pipes.err[1]);
  pipes.out[1] = pipes.err[1] = -1;
  if (rc != 0) {
    pipes.CloseAll();
    failed.spawnErr = rc;
    return failed;
  }

  // Read both streams until they end, then wait for the exit, never past
  // the deadline; a child still running then is killed.
  double deadline = MonotonicNow() + timeoutSeconds;
  std::string out, err;
  bool outOpen = true, errOpen = true;
  int status = 0;
  bool reaped = false;
  for (;;) {
    if (!outOpen && !errOpen && Reaped(pid, &status)) {
      reaped = true;
      break;
    }
    double left = deadline - MonotonicNow();
    if (left <= 0) break;
    int waitMs = static_cast<int>(left * 1000) + 1;
    if (!outOpen && !errOpen) waitMs = std::min(waitMs, 10);
    struct pollfd fds[2];
    nfds_t n = 0;
    if (outOpen) fds[n++] = {pipes.out[0], POLLIN, 0};
    if (errOpen) fds[n++] = {pipes.err[0], POLLIN, 0};
    int ready = ::poll(fds, n, waitMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      bool isOut = fds[i].fd == pipes.out[0];
      if (!Drain(fds[i].fd, isOut ? &out : &err)) (isOut ? outOpen : errOpen) = false;
    }
  }
  pipes.CloseAll();
  // A child that exited while something it left running keeps its output
  // open has still answered.
  if (!reaped) reaped = Reaped(pid, &status);
  CommandResult r;
  if (reaped) {
    r = QueryResult(status);
  } else {
    ReapAfterKill(pid, &status);
    r.timedOut = true;
  }
  r.out = std::move(out);
  r.err = std::move(err);
  return r;
}

}  // namespace cv
