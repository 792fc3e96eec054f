// The operating system as the opener, --diagnose and the agent-control code
// see it. Every system call of theirs goes through an Env: the file system,
// the environment and password database, clocks, random bytes, processes,
// descriptors for events, and the journal's socket. Nothing outside
// env_linux.cpp and the Platform's own main loop calls the system directly.
//
// Where the code is an object, the Env is passed to its constructor. Where a
// function's arguments are fixed (CVWriteRequest, CVProbeAgent, CVConfDir...),
// it uses CurrentEnv(): the real one unless a test installed its own for a
// scope with ScopedEnv. Both are the same interface, so a test fakes a call
// once, whichever way the code reaches it.
//
// A test subclasses EnvWrapper, which forwards every call to another Env,
// and overrides only the calls it fails or fakes:
//
//   class FailingFsync : public cv::EnvWrapper {
//    public:
//     FailingFsync() : EnvWrapper(cv::Env::Default()) {}
//     int Fsync(int) override { errno = EIO; return -1; }
//   };
//   FailingFsync env;
//   cv::ScopedEnv guard(&env);
//
// Every call behaves as the system call it is named after: the same
// arguments, the same result, -1 (or nullopt, or false) with errno set on
// failure. None retries on EINTR; callers use CVRetryEintr. Callers pass
// the close-on-exec flag where a call takes one (O_CLOEXEC, SOCK_CLOEXEC,
// IN_CLOEXEC, MFD_CLOEXEC); PidfdOpen and SignalFd set it themselves.
// Main thread only.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cv {

// The outcome of running a short query program (Env::RunCommand).
struct CommandResult {
  int spawnErr = 0;       // not 0: the program did not start (that error); nothing else is set
  bool timedOut = false;  // it did not exit in time and was killed (status then -1)
  int status = -1;        // its exit status 0..255, or -1 when a signal ended it
  std::string out;        // what it wrote to stdout, at most kCommandOutputMax bytes
  std::string err;        // what it wrote to stderr, at most kCommandOutputMax bytes
};

inline constexpr size_t kCommandOutputMax = 65536;

class Env {
 public:
  Env() = default;
  virtual ~Env();
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;

  // The real system. Never null, never destroyed.
  static Env* Default();

  // ---- Files and folders
  virtual int OpenAt(int dirFd, const char* path, int flags, mode_t mode) = 0;
  virtual int Close(int fd) = 0;
  virtual ssize_t Read(int fd, void* buf, size_t n) = 0;
  virtual ssize_t Pread(int fd, void* buf, size_t n, off_t offset) = 0;
  virtual ssize_t Write(int fd, const void* buf, size_t n) = 0;
  virtual int Fsync(int fd) = 0;
  virtual int Fstat(int fd, struct stat* st) = 0;
  virtual int FstatAt(int dirFd, const char* path, struct stat* st, int flags) = 0;
  virtual int Fstatvfs(int fd, struct statvfs* st) = 0;
  virtual int Fchmod(int fd, mode_t mode) = 0;
  virtual int MkdirAt(int dirFd, const char* path, mode_t mode) = 0;
  virtual int RenameAt(int fromDir, const char* from, int toDir, const char* to) = 0;
  virtual int UnlinkAt(int dirFd, const char* path, int flags) = 0;
  // faccessat(dirFd, path, mode, flags); AT_EACCESS asks for the effective user.
  virtual int AccessAt(int dirFd, const char* path, int mode, int flags) = 0;
  // readlinkat: the whole target in *out, however long (up to 1 MiB).
  virtual int ReadLinkAt(int dirFd, const char* path, std::string* out) = 0;
  virtual int Flock(int fd, int op) = 0;
  // fcntl with one int argument (F_GETFL, F_SETFL, F_GETFD, F_DUPFD_CLOEXEC...).
  virtual int Fcntl(int fd, int cmd, int arg) = 0;
  // The names in the directory open as `dirFd` ("." and ".." left out), in
  // no particular order. Does not close or move `dirFd`. 0, or the error.
  virtual int ListDir(int dirFd, std::vector<std::string>* names) = 0;

  // ---- This process and its user
  virtual uid_t GetUid() = 0;
  virtual uid_t GetEuid() = 0;
  virtual pid_t GetPid() = 0;
  // The value, or nullopt when unset.
  virtual std::optional<std::string> GetEnv(const char* name) = 0;
  // pw_dir of the password-database entry of the real user id; nullopt
  // when there is no entry or its home directory is null.
  virtual std::optional<std::string> RealUserHome() = 0;
  // The path of the running program (/proc/self/exe); nullopt when unknown.
  virtual std::optional<std::string> ExePath() = 0;
  // getcwd: the current folder's path, however long; 0, or -1 with errno
  // set (ENOENT: the folder was removed; EACCES: a folder above it may not
  // be read).
  virtual int GetCwd(std::string* out) = 0;
  // Whether `path` is a regular file that the real user may execute.
  virtual bool IsExecutableFile(const char* path) = 0;

  // ---- Time and chance
  // Wall-clock seconds since 1970, with the fraction (CLOCK_REALTIME).
  virtual double WallClock() = 0;
  // Seconds from an arbitrary origin (CLOCK_MONOTONIC): never goes back.
  virtual double MonotonicClock() = 0;
  // Seconds since boot, time suspended included (CLOCK_BOOTTIME).
  virtual double BootClock() = 0;
  // 16 bytes of a random (version 4) UUID.
  virtual void Uuid(unsigned char out[16]) = 0;

  // ---- Processes
  // posix_spawn; 0 or the error number (errno is not the channel).
  virtual int Spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                    const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) = 0;
  virtual pid_t WaitPid(pid_t pid, int* status, int options) = 0;
  virtual int Kill(pid_t pid, int signo) = 0;
  // pidfd_open(pid, 0).
  virtual int PidfdOpen(pid_t pid) = 0;
  // Runs argv[0] (a full path, not searched) with argv, stdin on /dev/null,
  // stdout and stderr captured, no other descriptor, default signal
  // actions and none blocked, this process's environment; kills it after
  // `timeoutSeconds`. The child is reaped on every path.
  virtual CommandResult RunCommand(const std::vector<std::string>& argv, double timeoutSeconds) = 0;

  // ---- Event descriptors
  virtual int InotifyInit(int flags) = 0;
  virtual int InotifyAddWatch(int fd, const char* path, uint32_t mask) = 0;
  // signalfd(-1, mask, SFD_NONBLOCK | SFD_CLOEXEC).
  virtual int SignalFd(const sigset_t* mask) = 0;

  // ---- Sockets and memory files (the journal)
  virtual int Socket(int domain, int type, int protocol) = 0;
  virtual ssize_t SendMsg(int fd, const struct msghdr* msg, int flags) = 0;
  virtual int MemfdCreate(const char* name, unsigned int flags) = 0;
};

// Forwards every call to `target`. Tests subclass it and override the calls
// they care about. `target` must outlive the wrapper.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  int OpenAt(int dirFd, const char* path, int flags, mode_t mode) override {
    return target_->OpenAt(dirFd, path, flags, mode);
  }
  int Close(int fd) override { return target_->Close(fd); }
  ssize_t Read(int fd, void* buf, size_t n) override { return target_->Read(fd, buf, n); }
  ssize_t Pread(int fd, void* buf, size_t n, off_t offset) override { return target_->Pread(fd, buf, n, offset); }
  ssize_t Write(int fd, const void* buf, size_t n) override { return target_->Write(fd, buf, n); }
  int Fsync(int fd) override { return target_->Fsync(fd); }
  int Fstat(int fd, struct stat* st) override { return target_->Fstat(fd, st); }
  int FstatAt(int dirFd, const char* path, struct stat* st, int flags) override {
    return target_->FstatAt(dirFd, path, st, flags);
  }
  int Fstatvfs(int fd, struct statvfs* st) override { return target_->Fstatvfs(fd, st); }
  int Fchmod(int fd, mode_t mode) override { return target_->Fchmod(fd, mode); }
  int MkdirAt(int dirFd, const char* path, mode_t mode) override { return target_->MkdirAt(dirFd, path, mode); }
  int RenameAt(int fromDir, const char* from, int toDir, const char* to) override {
    return target_->RenameAt(fromDir, from, toDir, to);
  }
  int UnlinkAt(int dirFd, const char* path, int flags) override { return target_->UnlinkAt(dirFd, path, flags); }
  int AccessAt(int dirFd, const char* path, int mode, int flags) override {
    return target_->AccessAt(dirFd, path, mode, flags);
  }
  int ReadLinkAt(int dirFd, const char* path, std::string* out) override {
    return target_->ReadLinkAt(dirFd, path, out);
  }
  int Flock(int fd, int op) override { return target_->Flock(fd, op); }
  int Fcntl(int fd, int cmd, int arg) override { return target_->Fcntl(fd, cmd, arg); }
  int ListDir(int dirFd, std::vector<std::string>* names) override { return target_->ListDir(dirFd, names); }

  uid_t GetUid() override { return target_->GetUid(); }
  uid_t GetEuid() override { return target_->GetEuid(); }
  pid_t GetPid() override { return target_->GetPid(); }
  std::optional<std::string> GetEnv(const char* name) override { return target_->GetEnv(name); }
  std::optional<std::string> RealUserHome() override { return target_->RealUserHome(); }
  std::optional<std::string> ExePath() override { return target_->ExePath(); }
  int GetCwd(std::string* out) override { return target_->GetCwd(out); }
  bool IsExecutableFile(const char* path) override { return target_->IsExecutableFile(path); }

  double WallClock() override { return target_->WallClock(); }
  double MonotonicClock() override { return target_->MonotonicClock(); }
  double BootClock() override { return target_->BootClock(); }
  void Uuid(unsigned char out[16]) override { target_->Uuid(out); }

  int Spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attr,
            char* const argv[], char* const envp[]) override {
    return target_->Spawn(pid, path, actions, attr, argv, envp);
  }
  pid_t WaitPid(pid_t pid, int* status, int options) override { return target_->WaitPid(pid, status, options); }
  int Kill(pid_t pid, int signo) override { return target_->Kill(pid, signo); }
  int PidfdOpen(pid_t pid) override { return target_->PidfdOpen(pid); }
  CommandResult RunCommand(const std::vector<std::string>& argv, double timeoutSeconds) override {
    return target_->RunCommand(argv, timeoutSeconds);
  }

  int InotifyInit(int flags) override { return target_->InotifyInit(flags); }
  int InotifyAddWatch(int fd, const char* path, uint32_t mask) override {
    return target_->InotifyAddWatch(fd, path, mask);
  }
  int SignalFd(const sigset_t* mask) override { return target_->SignalFd(mask); }

  int Socket(int domain, int type, int protocol) override { return target_->Socket(domain, type, protocol); }
  ssize_t SendMsg(int fd, const struct msghdr* msg, int flags) override { return target_->SendMsg(fd, msg, flags); }
  int MemfdCreate(const char* name, unsigned int flags) override { return target_->MemfdCreate(name, flags); }

 private:
  Env* target_;
};

// The Env in force for code whose arguments are fixed: Env::Default()
// unless a ScopedEnv is alive.
Env* CurrentEnv();

// Makes `env` the current Env for its own lifetime and restores the one
// before after. `env` must outlive the guard. Guards nest.
class ScopedEnv {
 public:
  explicit ScopedEnv(Env* env);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  Env* previous_;
};

}  // namespace cv
