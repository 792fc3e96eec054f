#include "queue/conf_dir.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "queue/queue_sys.h"

namespace {

// "Corvantis" below `base` with exactly one "/" between: "" gives the bare
// name, a base of only slashes gives "/Corvantis".
std::string JoinComponent(const std::string& base, const char* name) {
  if (base.empty()) return name;
  size_t end = base.find_last_not_of('/');
  if (end == std::string::npos) return std::string("/") + name;
  return base.substr(0, end + 1) + "/" + name;
}

std::optional<std::string> ResolveBase(const CVQueueSys& sys) {
  if (auto appData = sys.getenv("APPDATA")) return *appData;
  if (auto home = sys.getenv("HOME")) return home->empty() ? std::string("/") : *home;
  return sys.realUserHome();
}

}  // namespace

std::optional<std::string> CVConfDir() {
  const CVQueueSys& sys = CVQueueSysCurrent();
  std::optional<std::string> path;
  auto override = sys.getenv("CORVANTIS_AGENT_DIR");
  if (override && !override->empty()) {
    path = *override;
  } else {
    auto base = ResolveBase(sys);
    if (!base) return std::nullopt;
    path = JoinComponent(*base, "Corvantis");
  }
  if (path->empty() || (*path)[0] != '/') return std::nullopt;
  return path;
}

int CVOpenOwnedDir(int baseFd, const char* path, bool noFollow) {
  const CVQueueSys& sys = CVQueueSysCurrent();
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0);
  int fd = sys.openat(baseFd, path, flags, 0);
  if (fd < 0 && errno == ENOENT) {
    if (sys.mkdirat(baseFd, path, 0700) != 0 && errno != EEXIST) return -1;
    fd = sys.openat(baseFd, path, flags, 0);
  }
  if (fd < 0) return -1;

  struct stat st;
  if (sys.fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != sys.geteuid()) {
    sys.close(fd);
    errno = EPERM;
    return -1;
  }
  if ((st.st_mode & 077) != 0 && sys.fchmod(fd, 0700) != 0) {
    int err = errno;
    sys.close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

int CVOpenConfDir() {
  auto path = CVConfDir();
  if (!path) {
    errno = EINVAL;
    return -1;
  }
  return CVOpenOwnedDir(AT_FDCWD, path->c_str(), false);
}

std::optional<std::string> CVBundledAgent() {
  static const std::string kMacOS = "/Contents/MacOS";
  const CVQueueSys& sys = CVQueueSysCurrent();
  auto exe = sys.exePath();
  if (!exe) return std::nullopt;
  size_t slash = exe->rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  std::string dir = exe->substr(0, slash);
  if (dir.size() < kMacOS.size() || dir.compare(dir.size() - kMacOS.size(), kMacOS.size(), kMacOS) != 0) {
    return std::nullopt;
  }
  std::string agent = dir.substr(0, dir.size() - kMacOS.size()) + "/Contents/Resources/agent/CorvantisAgent";
  if (!sys.isExecutableFile(agent.c_str())) return std::nullopt;
  return agent;
}
