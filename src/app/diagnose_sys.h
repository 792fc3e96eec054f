// Everything --diagnose learns from the system goes through this table:
// the environment, read-only looks at the settings folder, the lock probe,
// the process scan, the program's own location and one service-manager
// query. Nothing in it creates, writes, removes, starts or locks anything
// (the lock probe holds a shared lock for an instant and never waits).
// Tests pass a table of their own; entries behave like the calls they are
// named after (-1, or nullopt, with errno set on failure).
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "util/env.h"

namespace cv {

struct DiagnoseSys {
  // The value, or nullopt when unset.
  std::function<std::optional<std::string>(const char* name)> getenv;
  std::function<int(int dirFd, const char* path, int flags)> openat;
  std::function<int(int fd, struct stat* st)> fstat;
  std::function<int(int fd, struct statvfs* st)> fstatvfs;
  std::function<int(int dirFd, const char* path, struct stat* st, int flags)> fstatat;
  // faccessat with AT_EACCESS: may the effective user do `mode` there.
  std::function<int(int dirFd, const char* path, int mode)> faccessat;
  std::function<int(int fd)> close;
  // The names in the directory open as `dirFd` ("." and ".." left out), in
  // no particular order. Does not close or move `dirFd`. 0, or the error.
  std::function<int(int dirFd, std::vector<std::string>* names)> listDir;
  std::function<uid_t()> geteuid;
  // Wall-clock seconds since 1970.
  std::function<double()> clock;
  // The path of the running program; nullopt when unknown.
  std::function<std::optional<std::string>()> exePath;
  // Whether `path` is a regular file that the real user may execute.
  std::function<bool(const char* path)> isExecutableFile;
  // CVBundledAgent().
  std::function<std::optional<std::string>()> bundledAgent;
  // CVProbeAgent(confFd, pidOut, errOut).
  std::function<int(int confFd, int* pidOut, int* errOut)> probeAgent;
  // CVFindOldFrozenAgent(0, youngOut).
  std::function<pid_t(pid_t* youngOut)> findOldAgent;
  // Runs argv[0] (a full path, not searched) with argv, stdin on /dev/null,
  // stdout and stderr captured, no other descriptor, default signal
  // actions and none blocked, this process's environment; kills it after
  // `timeoutSeconds`.
  std::function<CommandResult(const std::vector<std::string>& argv, double timeoutSeconds)> runCommand;
};

// The table of real calls.
const DiagnoseSys& RealDiagnoseSys();

// The runner behind RealDiagnoseSys().runCommand, for its own tests. The
// child is reaped on every path; nothing of it outlives the call but
// grandchildren it left running.
CommandResult RunCommand(const std::vector<std::string>& argv, double timeoutSeconds);

}  // namespace cv
