// The queue folder (queue/protocol.h) as the agent loop sees it. The loop talks
// only to this interface; queue_linux.cpp is the real folder, and a test can
// put a fake in its place.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace cvagent {

class RequestQueue {
 public:
  virtual ~RequestQueue() = default;

  // Every name in the queue folder, in no particular order. Returns 0, or
  // the errno of the failing call (`*names` then holds what was read).
  virtual int List(std::vector<std::string>* names) = 0;

  // Claims the request: renames <stem>.json to <stem>.claimed in one step
  // that never replaces an existing <stem>.claimed. Returns 0, or the errno
  // of the rename: ENOENT when the request was withdrawn or taken by another
  // process, EEXIST when <stem>.claimed already exists.
  virtual int Claim(const std::string& stem) = 0;

  // Reads <stem>.claimed without following a symbolic link and without
  // blocking on a FIFO. Returns 0 with the bytes in `*doc`; EINVAL when it is
  // not a regular file; EFBIG when it is longer than `limit` bytes; or the
  // errno of the failing call.
  virtual int ReadClaimed(const std::string& stem, size_t limit, std::string* doc) = 0;

  // Removes <stem>.claimed (a directory of that name too, when empty).
  // Returns 0, or the errno of the removal.
  virtual int RemoveClaimed(const std::string& stem) = 0;

  // Removes the file `name` when it is a regular file whose modification
  // time lies more than `maxAge` seconds before the wall clock; anything
  // else (a younger file, one dated in the future, a directory, a symbolic
  // link, which is not followed, a FIFO) stays. Sets `*removed` to whether
  // it removed the file. Returns 0, or the errno of the failing call (ENOENT
  // when the name has gone).
  virtual int RemoveIfOlder(const std::string& name, double maxAge, bool* removed) = 0;
};

// The real queue folder below the settings folder `confFd` (which stays the
// caller's). Opens, and creates when missing, the queue folder with mode 0700,
// refusing a symbolic link, and watches it with inotify. When the folder is
// removed or replaced while the agent runs, the next List() opens the new one
// and moves the watch to it.
class LinuxRequestQueue : public RequestQueue {
 public:
  // Returns nullptr with `*err` set to the errno of the failing step.
  static std::unique_ptr<LinuxRequestQueue> Open(int confFd, int* err);
  ~LinuxRequestQueue() override;
  LinuxRequestQueue(const LinuxRequestQueue&) = delete;
  LinuxRequestQueue& operator=(const LinuxRequestQueue&) = delete;

  // The inotify descriptor: readable when names in the folder changed. It is
  // the same descriptor for the object's whole life.
  int watchFd() const { return inotifyFd_; }
  // Reads and drops the pending inotify events; never blocks.
  void DrainEvents();

  int List(std::vector<std::string>* names) override;
  int Claim(const std::string& stem) override;
  int ReadClaimed(const std::string& stem, size_t limit, std::string* doc) override;
  int RemoveClaimed(const std::string& stem) override;
  int RemoveIfOlder(const std::string& name, double maxAge, bool* removed) override;

 private:
  LinuxRequestQueue(int confFd, int inotifyFd) : confFd_(confFd), inotifyFd_(inotifyFd) {}
  // Opens the queue folder (again) and watches it; 0 or errno.
  int Reopen();
  // Whether the queue folder's name still names the folder that dirFd_ holds.
  bool StillCurrent();

  int confFd_;
  int inotifyFd_;
  int dirFd_ = -1;
  int watch_ = -1;
};

}  // namespace cvagent

namespace cvagent {

// For the status tool, which must change nothing: opens the existing
// directory `path` read-only (no creation). Returns the descriptor or -1
// with errno set.
int OpenExistingDir(const std::string& path);

// The names in the queue folder of `confFd` without creating it or following a
// symbolic link in its place. A missing folder gives no names and 0;
// otherwise 0 or the errno of the failing call.
int ListQueueNames(int confFd, std::vector<std::string>* names);

}  // namespace cvagent
