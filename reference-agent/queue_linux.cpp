#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "queue/conf_dir.h"
#include "queue/protocol.h"
#include "request_queue.h"
#include "util/eintr.h"

namespace cvagent {

namespace {

constexpr uint32_t kWatchMask = IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE_SELF |
                                IN_MOVE_SELF | IN_ONLYDIR;

int OpenAtRetry(int dirFd, const char* name, int flags) {
  return CVRetryEintr([&] { return openat(dirFd, name, flags); });
}

int RenameNoReplace(int dirFd, const std::string& from, const std::string& to) {
  int rc = CVRetryEintr([&] { return renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE); });
  if (rc == 0) return 0;
  if (errno != EINVAL) return errno;
  // A file system without RENAME_NOREPLACE: test, then rename.
  struct stat st;
  if (fstatat(dirFd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  rc = CVRetryEintr([&] { return renameat(dirFd, from.c_str(), dirFd, to.c_str()); });
  return rc == 0 ? 0 : errno;
}

int ReadNames(int baseFd, const char* path, std::vector<std::string>* names) {
  int fd = OpenAtRetry(baseFd, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    int saved = errno;
    close(fd);
    return saved;
  }
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (!entry) break;
    std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  int saved = errno;
  closedir(dir);
  return saved;
}

}  // namespace

std::unique_ptr<LinuxRequestQueue> LinuxRequestQueue::Open(int confFd, int* err) {
  *err = 0;
  int ifd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (ifd < 0) {
    *err = errno;
    return nullptr;
  }
  std::unique_ptr<LinuxRequestQueue> queue(new LinuxRequestQueue(confFd, ifd));
  int rc = queue->Reopen();
  if (rc != 0) {
    *err = rc;
    return nullptr;
  }
  return queue;
}

LinuxRequestQueue::~LinuxRequestQueue() {
  if (dirFd_ >= 0) close(dirFd_);
  close(inotifyFd_);
}

int LinuxRequestQueue::Reopen() {
  int fd = CVOpenOwnedDir(confFd_, kCVQueueDir, /*noFollow=*/true);
  if (fd < 0) return errno;
  // The watch goes through the descriptor, so it lands on the folder just
  // opened even when the name is replaced meanwhile.
  char procPath[64];
  snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
  int wd = inotify_add_watch(inotifyFd_, procPath, kWatchMask);
  if (wd < 0) {
    int saved = errno;
    close(fd);
    return saved;
  }
  if (watch_ >= 0 && watch_ != wd) inotify_rm_watch(inotifyFd_, watch_);
  if (dirFd_ >= 0) close(dirFd_);
  dirFd_ = fd;
  watch_ = wd;
  return 0;
}

bool LinuxRequestQueue::StillCurrent() {
  struct stat byName, held;
  if (fstatat(confFd_, kCVQueueDir, &byName, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (fstat(dirFd_, &held) != 0) return false;
  return byName.st_dev == held.st_dev && byName.st_ino == held.st_ino;
}

void LinuxRequestQueue::DrainEvents() {
  alignas(struct inotify_event) char buf[4096];
  while (CVRetryEintr([&] { return read(inotifyFd_, buf, sizeof buf); }) > 0) {
  }
}

int LinuxRequestQueue::List(std::vector<std::string>* names) {
  names->clear();
  if (!StillCurrent()) {
    int rc = Reopen();
    if (rc != 0) return rc;
  }
  return ReadNames(dirFd_, ".", names);
}

int OpenExistingDir(const std::string& path) {
  return OpenAtRetry(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int ListQueueNames(int confFd, std::vector<std::string>* names) {
  names->clear();
  int rc = ReadNames(confFd, kCVQueueDir, names);
  return rc == ENOENT ? 0 : rc;
}


int LinuxRequestQueue::Claim(const std::string& stem) {
  return RenameNoReplace(dirFd_, CVQueuedName(stem), CVClaimedName(stem));
}

int LinuxRequestQueue::ReadClaimed(const std::string& stem, size_t limit, std::string* doc) {
  doc->clear();
  std::string name = CVClaimedName(stem);
  int fd = OpenAtRetry(dirFd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int saved = errno;
    close(fd);
    return saved;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return EINVAL;
  }
  char buf[8192];
  for (;;) {
    ssize_t n = CVRetryEintr([&] { return read(fd, buf, sizeof buf); });
    if (n < 0) {
      int saved = errno;
      close(fd);
      return saved;
    }
    if (n == 0) break;
    doc->append(buf, static_cast<size_t>(n));
    if (doc->size() > limit) {
      close(fd);
      doc->clear();
      return EFBIG;
    }
  }
  close(fd);
  return 0;
}

int LinuxRequestQueue::RemoveIfOlder(const std::string& name, double maxAge, bool* removed) {
  *removed = false;
  struct stat st;
  if (fstatat(dirFd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return 0;
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return errno;
  double age = static_cast<double>(now.tv_sec - st.st_mtim.tv_sec) +
               static_cast<double>(now.tv_nsec - st.st_mtim.tv_nsec) / 1e9;
  if (!(age > maxAge)) return 0;
  if (unlinkat(dirFd_, name.c_str(), 0) != 0) return errno;
  *removed = true;
  return 0;
}

int LinuxRequestQueue::RemoveClaimed(const std::string& stem) {
  std::string name = CVClaimedName(stem);
  if (unlinkat(dirFd_, name.c_str(), 0) == 0) return 0;
  if (errno != EISDIR) return errno;
  if (unlinkat(dirFd_, name.c_str(), AT_REMOVEDIR) == 0) return 0;
  return errno;
}

}  // namespace cvagent
