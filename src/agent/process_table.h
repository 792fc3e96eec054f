// The process table as the old-agent scan reads it: the listed process ids
// and, per process, its owner, start time, names, executable path, argument
// block and environment. The scan talks only to this interface; tests replace it.
//
// ProcessTable stays an interface of its own beside cv::Env: it is the
// scan's view of the processes (records, paths, argument blocks), as
// AgentControl is the controller's view of the agent; the system behind it
// is reached through the Env alone (ProcfsTable below).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "util/env.h"

namespace cv {

// What the scan needs of one process besides its path and arguments.
struct ProcessRecord {
  uid_t uid = 0;          // real user id of the owner
  int64_t startSec = 0;   // start of the process, whole seconds since the epoch
  std::string name;       // process name (empty when the platform has none)
  std::string comm;       // command name
};

// One view of the processes of the machine. Used by one thread at a time.
// No method throws; every "false" means "could not be read" and leaves the
// out-parameter unspecified.
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;

  // Every process id, in the order the system lists them. false when the
  // list cannot be had at all.
  virtual bool ListPids(std::vector<pid_t>* pids) = 0;
  // The record of `pid`; false when the process has gone, has exited but
  // was not yet reaped, or its record cannot be read.
  virtual bool ReadRecord(pid_t pid, ProcessRecord* out) = 0;
  // The executable path of `pid` (non-empty); false when it cannot be read.
  virtual bool ReadPath(pid_t pid, std::string* out) = 0;
  // The argument block of `pid` in the layout CVArgsShowToolRun walks
  // (procargs.h); false when the arguments cannot be read.
  virtual bool ReadArgs(pid_t pid, std::vector<unsigned char>* out) = 0;
  // The environment block of `pid` as it was given to the program:
  // "NAME=value" strings each ended by NUL (environ_block.h); false when it
  // cannot be read whole.
  virtual bool ReadEnviron(pid_t pid, std::string* out) = 0;

  // The current time in whole seconds since the epoch.
  virtual time_t Now() = 0;
  // The id of the calling process.
  virtual pid_t Self() = 0;
  // The real user id of the calling process.
  virtual uid_t RealUid() = 0;
};

// The table over the proc file system mounted at `root` ("/proc" for the
// real one; tests may point it at a folder shaped like it), read through
// `env` (not owned; must outlive the table). Start times use "btime" of
// <root>/stat, read once per object, and the clock-tick rate. Now, Self and
// RealUid answer for the calling process (the Env's wall clock, pid and
// real user id) whatever the root.
class ProcfsTable : public ProcessTable {
 public:
  explicit ProcfsTable(std::string root = "/proc", Env* env = CurrentEnv());

  bool ListPids(std::vector<pid_t>* pids) override;
  bool ReadRecord(pid_t pid, ProcessRecord* out) override;
  bool ReadPath(pid_t pid, std::string* out) override;
  bool ReadArgs(pid_t pid, std::vector<unsigned char>* out) override;
  bool ReadEnviron(pid_t pid, std::string* out) override;
  time_t Now() override;
  pid_t Self() override;
  uid_t RealUid() override;

 private:
  // The boot instant in seconds since the epoch, with its fraction where
  // the clocks give it.
  bool BootInstant(double* out);
  bool BootTime(int64_t* out);

  // At most `cap` bytes of the file at `path` into `out`.
  bool ReadFileUpTo(const std::string& path, size_t cap, std::string* out);
  // The raw target of the link at `path`; false when it cannot be read or
  // is longer than a path buffer holds.
  bool ReadLink(const std::string& path, std::string* out);

  std::string root_;
  Env* env_;
  int64_t bootTime_ = -1;  // -1 until read
};

// Parsers of the proc file formats, kept apart from the file access.

// The fields of a "<pid>/stat" line the scan uses. The name in parentheses
// may hold spaces and ")", so the fields are counted from the last ")".
struct StatFields {
  char state = 0;            // field 3
  uint64_t startTicks = 0;   // field 22, clock ticks after boot
};
bool ParseProcStat(std::string_view text, StatFields* out);

// The real user id: the first number of the "Uid:" line of "<pid>/status".
bool ParseStatusUid(std::string_view text, uid_t* out);

// The boot time: the number of the "btime" line of "stat" at the root.
bool ParseBootTime(std::string_view text, int64_t* out);

// The target of "<pid>/exe" as the executable path: when the file was
// removed or replaced while the process runs, the link reads
// "<path> (deleted)"; that suffix is cut off.
std::string ExePathFromLink(std::string_view link);

}  // namespace cv
