// Child processes: one way to start them and one way to wait for them.
// Every child starts with its standard descriptors set by file actions,
// every other descriptor closed, every signal at its default action and
// none blocked (whatever this process ignores or blocks: the opener
// ignores SIGPIPE and reads its termination signals from a descriptor).
#pragma once

#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "util/env.h"

// What a child's descriptor 0, 1 or 2 is: kCVStdioNull, kCVStdioInherit, or
// a descriptor of this process (O_CLOEXEC is fine) that is duplicated onto
// it. The three are set in the order 0, 1, 2, so {kCVStdioNull, fd, 1}
// gives 2 the same file as 1.
inline constexpr int kCVStdioNull = -1;     // /dev/null: read-only on 0, write-only on 1 and 2
inline constexpr int kCVStdioInherit = -2;  // this process's own, left as it is

struct CVSpawnOptions {
  int stdio[3] = {kCVStdioNull, kCVStdioNull, kCVStdioNull};
  // The child leads a session of its own (setsid).
  bool newSession = false;
  // The child's environment; null: this process's (environ).
  char* const* envp = nullptr;
  // The system the child is started through; null: cv::CurrentEnv().
  cv::Env* env = nullptr;
};

// Starts `path` (not searched in PATH) with `argv` (argv[0] included,
// null-terminated) as set out above and in `options`. Returns 0 with *pidOut
// set (`pidOut` may be null), or the error number of the set-up or of the
// spawn; then no child is left. Nothing is opened in this process.
int CVSpawnProcess(const char* path, char* const argv[], const CVSpawnOptions& options, pid_t* pidOut);

// waitpid(pid, status, options) through `env` (null: cv::CurrentEnv()),
// repeated while a signal interrupts it (EINTR). Returns what the last call
// returned (the pid, 0 under WNOHANG while the child runs, or -1 with errno
// set).
pid_t CVWaitProcess(pid_t pid, int* status, int options, cv::Env* env = nullptr);

// The real runner behind cv::Env::RunCommand (see there): pipes for stdout
// and stderr read until both end, then the exit waited for, never past
// `timeoutSeconds`; a child still running then is killed and reaped.
// Nothing of it outlives the call but grandchildren it left running.
cv::CommandResult CVRunCommand(const std::vector<std::string>& argv, double timeoutSeconds);

// A wait status decoded.
struct CVProcessExit {
  int code = -1;   // the exit status 0..255, or -1 when it did not exit
  int signal = 0;  // the signal that ended it, or 0
};
CVProcessExit CVDecodeWaitStatus(int status);
