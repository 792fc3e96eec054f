// "agent.lock" in the settings folder, from the agent's side: taking the
// exclusive lock that tells the opener an agent runs, writing the pid into
// it, and (for the status tool) looking at it without taking it.
#pragma once

#include <sys/types.h>

namespace cvagent {

// Opens <confFd>/agent.lock (O_RDWR|O_CREAT|O_NOFOLLOW|O_CLOEXEC, mode 0600)
// and takes an exclusive flock without waiting. While the attempt fails with
// EWOULDBLOCK (an opener's probe holds a shared lock for an instant, or
// another agent runs) it tries again every 20 ms, for up to `patience`
// seconds in all. Returns the descriptor, which holds the lock until it is
// closed (the agent keeps it for its whole life), or -1 with `*err` set:
// EWOULDBLOCK when the lock stayed held all that time; EINVAL when
// "agent.lock" is not a regular file; else the errno of the open or flock.
int TakeAgentLock(int confFd, double patience, int* err);

// Replaces the content of the locked file with {"pid":N}: ftruncate, then
// one pwrite at offset 0. Returns 0, or the errno of the failing call (EIO
// for a short write).
int WritePid(int lockFd, pid_t pid);

enum class LockState { kFree, kHeld, kUnknown };

// Looks at <confFd>/agent.lock without waiting and without creating it: a
// shared flock attempt, released at once when granted. kFree when the file is
// missing or not exclusively locked; kHeld when some process holds it, with
// `*pid` the "pid" of its JSON (0 when it names none); kUnknown with `*err`
// the errno of the failing open or flock. `pid` and `err` may not be null.
LockState PeekAgentLock(int confFd, int* pid, int* err);

}  // namespace cvagent
