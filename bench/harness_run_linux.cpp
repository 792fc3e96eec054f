#include "harness_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace cvbench {

namespace {

constexpr int kReportFd = 3;

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<char*> CStrings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// Process-wide CPU nanoseconds (schedstat) and context switches, summed over
// the threads alive now.
struct Sample {
  bool ok = false;
  double cpuMs = 0;
  long switches = 0;
  int threads = 0;
};

Sample TakeSample(pid_t pid) {
  Sample s;
  std::string base = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(base.c_str());
  if (!dir) return s;
  while (struct dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream sched(base + "/" + e->d_name + "/schedstat");
    double ns = 0;
    if (sched >> ns) s.cpuMs += ns / 1e6;
    std::ifstream status(base + "/" + e->d_name + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        s.switches += std::stol(line.substr(line.find(':') + 1));
      }
    }
    ++s.threads;
  }
  ::closedir(dir);
  s.ok = s.threads > 0;
  return s;
}

class Run {
 public:
  Run(const RunSpec& plan, std::vector<std::string> prefix, int reportFd)
      : plan_(plan), prefix_(std::move(prefix)), reportFd_(reportFd) {}
  ~Run() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    if (pidfd_ >= 0) ::close(pidfd_);
    if (ifd_ >= 0) ::close(ifd_);
  }

  // A failed run still ends its child and empties the folders, so that the
  // next run starts clean.
  RunResult Go() {
    bool ok = Start() && Follow();
    if (!ok && pid_ > 0) ::kill(pid_, SIGKILL);
    Reap();
    if (ifd_ >= 0) Clean();
    result_.ok = ok && result_.error.empty();
    return result_;
  }

 private:
  bool Fail(const std::string& error) {
    result_.error = error;
    return false;
  }

  bool Start() {
    ifd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (ifd_ < 0) return Fail(Errno("inotify_init1"));
    uint32_t mask = (plan_.queueFolder ? IN_MOVED_TO : IN_CREATE) | IN_ONLYDIR | IN_DONT_FOLLOW;
    if (::inotify_add_watch(ifd_, plan_.watchDir.c_str(), mask) < 0) {
      return Fail(Errno("watch " + plan_.watchDir));
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, plan_.stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    if (reportFd_ >= 0) posix_spawn_file_actions_adddup2(&fa, reportFd_, kReportFd);
    std::vector<std::string> args = prefix_;
    args.insert(args.end(), plan_.argv.begin(), plan_.argv.end());
    auto argv = CStrings(args);
    auto envp = CStrings(plan_.env);
    start_ = NowMs();
    int rc = ::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
      pid_ = 0;
      errno = rc;
      return Fail(Errno("spawn " + args[0]));
    }
    pidfd_ = PidfdOpen(pid_);
    if (pidfd_ < 0) return Fail(Errno("pidfd_open"));
    return true;
  }

  // Reads the pending inotify events; counts the ones that make output.
  void ReadEvents(double now) {
    alignas(struct inotify_event) char buf[16384];
    for (;;) {
      ssize_t n = ::read(ifd_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      for (ssize_t off = 0; off < n;) {
        auto* ev = reinterpret_cast<struct inotify_event*>(buf + off);
        off += static_cast<ssize_t>(sizeof *ev + ev->len);
        if (ev->len == 0) continue;
        std::string name = ev->name;
        bool counts = plan_.queueFolder ? EndsWith(name, ".json") : name[0] != '.';
        if (!counts) continue;
        names_.push_back(name);
        if (static_cast<int>(names_.size()) == plan_.expect && result_.visibleMs < 0) {
          visibleAt_ = now;
          result_.visibleMs = now - start_;
        }
      }
    }
  }

  // Waits until the deadline or the child's exit; true when it exited.
  bool WaitExitUntil(double deadlineMs) {
    for (;;) {
      double left = deadlineMs - NowMs();
      if (left <= 0) return false;
      struct pollfd p = {pidfd_, POLLIN, 0};
      int rc = ::poll(&p, 1, static_cast<int>(left) + 1);
      if (rc < 0 && errno == EINTR) continue;
      if (rc > 0) {
        exitAt_ = NowMs();
        return true;
      }
    }
  }

  // The agent's part: claim every request seen and remove it at once.
  void Handle() {
    int dfd = ::open(plan_.watchDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const auto& name : names_) {
      std::string claimed = name.substr(0, name.size() - 5) + ".claimed";
      if (::renameat2(dfd, name.c_str(), dfd, claimed.c_str(), RENAME_NOREPLACE) != 0) {
        if (result_.error.empty()) result_.error = Errno("claim " + name);
        continue;
      }
      if (::unlinkat(dfd, claimed.c_str(), 0) != 0 && result_.error.empty()) {
        result_.error = Errno("remove " + claimed);
      }
    }
    handledAt_ = NowMs();
    handled_ = true;
    ::close(dfd);
  }

  bool SampleWait() {
    if (WaitExitUntil(visibleAt_ + plan_.sampleFromMs)) return Fail("exited while waiting");
    Sample a = TakeSample(pid_);
    double aAt = NowMs();
    if (WaitExitUntil(visibleAt_ + plan_.sampleToMs)) return Fail("exited while waiting");
    Sample b = TakeSample(pid_);
    double bAt = NowMs();
    if (!a.ok || !b.ok) return Fail("cannot read /proc/" + std::to_string(pid_) + "/task");
    result_.waitSpanMs = bAt - aAt;
    result_.waitCpuMs = b.cpuMs - a.cpuMs;
    result_.waitSwitches = b.switches - a.switches;
    result_.threads = b.threads;
    return true;
  }

  bool Follow() {
    double limit = start_ + plan_.timeLimitMs;
    bool exited = false;
    while (!(exited && result_.visibleMs >= 0)) {
      double left = limit - NowMs();
      if (left <= 0) return Fail("time limit passed");
      struct pollfd p[2] = {{ifd_, POLLIN, 0}, {pidfd_, POLLIN, 0}};
      int rc = ::poll(p, exited ? 1 : 2, static_cast<int>(left) + 1);
      if (rc < 0 && errno == EINTR) continue;
      double now = NowMs();
      if (rc < 0) return Fail(Errno("poll"));
      if (p[0].revents) ReadEvents(now);
      if (!exited && p[1].revents) {
        exited = true;
        exitAt_ = now;
        ReadEvents(now);  // a rename before the exit is queued before it
        if (result_.visibleMs < 0) {
          Reap();
          result_.error.clear();
          std::ostringstream msg;
          msg << "exited (status " << result_.status << ") after " << names_.size() << " of "
              << plan_.expect << " entries";
          return Fail(msg.str());
        }
      }
      if (result_.visibleMs >= 0 && plan_.queueFolder && plan_.handleAtOnce && !handled_) {
        if (plan_.sampleWait && !SampleWait()) return false;
        if (plan_.handleDelayMs > 0 && WaitExitUntil(visibleAt_ + plan_.handleDelayMs)) {
          return Fail("exited before its request was handled");
        }
        Handle();
        if (!exited && WaitExitUntil(limit)) exited = true;
      }
    }
    result_.launchToExitMs = exitAt_ - start_;
    if (handled_) result_.exitAfterHandledMs = exitAt_ - handledAt_;
    return true;
  }

  void Reap() {
    if (pid_ <= 0) return;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = 0;
    result_.status = status;
    if (result_.error.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
      result_.error = "exit status " + std::to_string(status);
    }
  }

  void Clean() {
    if (plan_.queueFolder && !handled_) Handle();
    int found = EmptyFolder(plan_.watchDir);
    if (!plan_.queueFolder) found -= static_cast<int>(names_.size());
    if (!plan_.scratchDir.empty()) found += EmptyFolder(plan_.scratchDir);
    result_.leftovers = found;
    // Commit this run's removals now, or the next run's first fsync would
    // pay for them.
    int dfd = ::open(plan_.watchDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::syncfs(dfd);
      ::close(dfd);
    }
  }

  const RunSpec& plan_;
  std::vector<std::string> prefix_;
  int reportFd_;
  RunResult result_;
  int ifd_ = -1;
  int pidfd_ = -1;
  pid_t pid_ = 0;
  double start_ = 0, visibleAt_ = 0, exitAt_ = 0, handledAt_ = 0;
  bool handled_ = false;
  std::vector<std::string> names_;
};

}  // namespace

double NowMs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

RunResult RunOnce(const RunSpec& plan) { return Run(plan, {}, -1).Go(); }

long PeakRssKiB(const std::string& launcher, const RunSpec& plan, std::string* error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    *error = Errno("pipe2");
    return -1;
  }
  RunResult r = Run(plan, {launcher, std::to_string(kReportFd)}, fds[1]).Go();
  ::close(fds[1]);
  char buf[64] = {};
  ssize_t n;
  do {
    n = ::read(fds[0], buf, sizeof buf - 1);
  } while (n < 0 && errno == EINTR);
  ::close(fds[0]);
  if (!r.ok) {
    *error = r.error;
    return -1;
  }
  long kib = -1;
  int status = -1;
  if (n <= 0 || std::sscanf(buf, "%ld %d", &kib, &status) != 2 || status != 0) {
    *error = "no report from " + launcher;
    return -1;
  }
  return kib;
}

int EmptyFolder(const std::string& dir) {
  int count = 0;
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return 0;
  DIR* d = ::fdopendir(dfd);
  if (!d) {
    ::close(dfd);
    return 0;
  }
  std::vector<std::string> names;
  while (struct dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  for (const auto& name : names) {
    ::unlinkat(::dirfd(d), name.c_str(), 0);
    ++count;
  }
  ::closedir(d);
  return count;
}

}  // namespace cvbench
