#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace cvtest {

namespace {

int RemoveEntry(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_DP) rmdir(path);
  else unlink(path);
  return 0;
}

}  // namespace

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/cvtest.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
  // Reachable by the unprivileged user of the permission tests.
  chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
  // Make every directory writable again so that permission tests leave
  // nothing behind.
  nftw(
      path_.c_str(),
      [](const char* p, const struct stat* st, int type, struct FTW*) {
        if (type == FTW_D || type == FTW_DNR) chmod(p, (st->st_mode & 07777) | 0700);
        return 0;
      },
      16, FTW_PHYS);
  nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = getenv(name)) old_ = old;
  if (value) setenv(name, value->c_str(), 1);
  else unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (old_) setenv(name_.c_str(), old_->c_str(), 1);
  else unsetenv(name_.c_str());
}

CaptureLog::CaptureLog() : previous_(LOG) { LOG = this; }
CaptureLog::~CaptureLog() { LOG = previous_; }

void CaptureLog::Emit(cv::LogLevel level, const std::string& line, std::string_view stem) {
  lines_.push_back({level, line, std::string(stem)});
}

int CaptureLog::Count(const std::string& text) const {
  return static_cast<int>(std::count_if(lines_.begin(), lines_.end(),
                                        [&](const Line& l) { return l.text == text; }));
}

bool CaptureLog::Contains(const std::string& part) const {
  return std::any_of(lines_.begin(), lines_.end(),
                     [&](const Line& l) { return l.text.find(part) != std::string::npos; });
}

bool CanSwitchUser() { return geteuid() == 0; }

int RunAsUser(uid_t uid, const std::function<int()>& check) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(255);
    }
    _exit(check() & 0xff);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (!WIFEXITED(status)) return -1;
  int rc = WEXITSTATUS(status);
  return rc == 255 ? -1 : rc;
}

std::optional<std::string> ReadFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

bool WriteFile(const std::string& path, const std::string& data, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return close(fd) == 0;
}

int CountOpenFds() {
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  int n = 0;
  while (struct dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  if (!d) return names;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

bool WaitUntil(const std::function<bool()>& done, double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string BuildDir() {
  const char* dir = getenv("CV_BUILD_DIR");
  return dir ? dir : CV_DEFAULT_BUILD_DIR;
}

EnvChanges ProgramEnv(const std::string& settings, const std::optional<std::string>& display,
                      const EnvChanges& extra) {
  EnvChanges env = {
      {"CORVANTIS_AGENT_DIR", settings},
      {"CORVANTIS_LOG_STDERR", "1"},
      {"DISPLAY", display},
      {"WAYLAND_DISPLAY", std::nullopt},
  };
  for (const auto& [name, value] : extra) env[name] = value;
  return env;
}

std::string WriteTract(const TempDir& dir, const std::string& name) {
  std::string path = dir.Join(name);
  EXPECT_TRUE(WriteFile(path, "tract\n")) << path;
  return path;
}

}  // namespace cvtest
