// A second process holding a flock, for the lock-probe tests.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace cvtest {

// A second process that holds a flock on `path` (LOCK_EX or LOCK_SH) until
// the object goes away; the child is reaped then.
class LockHolder {
 public:
  LockHolder(const std::string& path, int op) {
    int ready[2];
    int release[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return;
    if (pipe2(release, O_CLOEXEC) != 0) {
      close(ready[0]);
      close(ready[1]);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release[1]);
      int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      char ok = (fd >= 0 && flock(fd, op | LOCK_NB) == 0) ? 'y' : 'n';
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      char c;
      while (read(release[0], &c, 1) < 0 && errno == EINTR) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    char ok = 'n';
    if (pid_ > 0 && read(ready[0], &ok, 1) == 1) locked_ = ok == 'y';
    close(ready[0]);
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  ~LockHolder() {
    if (release_ >= 0) close(release_);
    int status;
    if (pid_ > 0) waitpid(pid_, &status, 0);
  }
  bool locked() const { return locked_; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool locked_ = false;
};

}  // namespace cvtest
