// The operating-system calls of the agent-control module, gathered in one
// table so that tests can inject failures. The probe and the two start paths
// make every such call through AgentSysCalls(); nothing else in the module
// touches the system directly.
#pragma once

#include <spawn.h>
#include <sys/types.h>

namespace cv {

// Each entry behaves exactly like the call it is named after (return value
// and errno). `fcntl` takes one int argument (F_GETFL, F_SETFL, F_DUPFD_CLOEXEC).
struct AgentSys {
  int (*openat)(int dirFd, const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  int (*flock)(int fd, int op);
  ssize_t (*pread)(int fd, void* buf, size_t len, off_t offset);
  int (*fcntl)(int fd, int cmd, int arg);
  int (*access)(const char* path, int mode);
  int (*posix_spawn)(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                     const posix_spawnattr_t* attr, char* const argv[], char* const envp[]);
  pid_t (*waitpid)(pid_t pid, int* status, int options);
};

// The table in force: the real calls unless a test installed its own.
const AgentSys& AgentSysCalls();

// The real calls, for fakes that forward.
const AgentSys& RealAgentSys();

// Test seam: makes `sys` the table in force (null restores the real one) and
// returns the previous table. `sys` must outlive its use. Not thread-safe;
// tests call it on the main thread only.
const AgentSys* SetAgentSysForTest(const AgentSys* sys);

}  // namespace cv
