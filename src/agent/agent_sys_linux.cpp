#include "agent/agent_sys.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cv {

namespace {

int SysOpenat(int dirFd, const char* path, int flags, mode_t mode) {
  return ::openat(dirFd, path, flags, mode);
}

int SysFcntl(int fd, int cmd, int arg) { return ::fcntl(fd, cmd, arg); }

const AgentSys kReal = {
    SysOpenat, ::close, ::flock, ::pread, SysFcntl, ::access, ::posix_spawn, ::waitpid,
};

const AgentSys* g_sys = &kReal;

}  // namespace

const AgentSys& AgentSysCalls() { return *g_sys; }

const AgentSys& RealAgentSys() { return kReal; }

const AgentSys* SetAgentSysForTest(const AgentSys* sys) {
  const AgentSys* previous = g_sys;
  g_sys = sys ? sys : &kReal;
  return previous;
}

}  // namespace cv
