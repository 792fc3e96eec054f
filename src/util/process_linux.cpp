#include "util/process.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "util/eintr.h"

namespace {

int SetAttributes(posix_spawnattr_t* attr, bool newSession) {
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (newSession) flags |= POSIX_SPAWN_SETSID;
  int rc = posix_spawnattr_setsigdefault(attr, &all);
  if (rc == 0) rc = posix_spawnattr_setsigmask(attr, &none);
  if (rc == 0) rc = posix_spawnattr_setflags(attr, flags);
  return rc;
}

int SetFileActions(posix_spawn_file_actions_t* actions, const int stdio[3]) {
  int rc = 0;
  for (int fd = 0; fd < 3 && rc == 0; ++fd) {
    if (stdio[fd] == kCVStdioInherit) continue;
    if (stdio[fd] == kCVStdioNull) {
      rc = posix_spawn_file_actions_addopen(actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    } else {
      rc = posix_spawn_file_actions_adddup2(actions, stdio[fd], fd);
    }
  }
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(actions, 3);
  return rc;
}

double MonotonicNow() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
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

// Reads what is ready on `fd` into `into` (kept to cv::kCommandOutputMax);
// false at the end of the stream or on an error.
bool Drain(int fd, std::string* into) {
  char buf[4096];
  ssize_t n = CVRetryEintr([&] { return ::read(fd, buf, sizeof buf); });
  if (n <= 0) return false;
  size_t room = cv::kCommandOutputMax - std::min(cv::kCommandOutputMax, into->size());
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

cv::CommandResult QueryResult(int status) {
  cv::CommandResult r;
  r.status = CVDecodeWaitStatus(status).code;
  return r;
}

}  // namespace

int CVSpawnProcess(const char* path, char* const argv[], const CVSpawnOptions& options, pid_t* pidOut) {
  posix_spawnattr_t attr;
  int rc = posix_spawnattr_init(&attr);
  if (rc != 0) return rc;
  posix_spawn_file_actions_t actions;
  rc = posix_spawn_file_actions_init(&actions);
  if (rc != 0) {
    posix_spawnattr_destroy(&attr);
    return rc;
  }
  pid_t pid = 0;
  rc = SetAttributes(&attr, options.newSession);
  if (rc == 0) rc = SetFileActions(&actions, options.stdio);
  char* const* envp = options.envp ? options.envp : environ;
  if (rc == 0) rc = (options.env ? options.env : cv::CurrentEnv())->Spawn(&pid, path, &actions, &attr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc == 0 && pidOut) *pidOut = pid;
  return rc;
}

pid_t CVWaitProcess(pid_t pid, int* status, int options, cv::Env* env) {
  cv::Env* e = env ? env : cv::CurrentEnv();
  return CVRetryEintr([&] { return e->WaitPid(pid, status, options); });
}



CVProcessExit CVDecodeWaitStatus(int status) {
  CVProcessExit exit;
  if (WIFEXITED(status)) exit.code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) exit.signal = WTERMSIG(status);
  return exit;
}

cv::CommandResult CVRunCommand(const std::vector<std::string>& argv, double timeoutSeconds) {
  cv::CommandResult failed;
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
  cv::CommandResult r;
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
