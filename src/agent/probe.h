// The agent lock probe: whether an agent holds its exclusive lock on
// "agent.lock" in the settings folder, and the pid the file names.
#pragma once

enum : int {
  CVAgentAbsent = 0,   // no "agent.lock", or nobody holds an exclusive lock
  CVAgentRunning = 1,  // some process holds an exclusive lock
  CVAgentUnknown = 2,  // the open or the lock attempt failed otherwise
};

// Probes <confFd>/agent.lock without blocking and without changing anything
// (a shared lock is held for an instant). `pidOut` and `errOut` may be null;
// each given is set to 0 on entry. After CVAgentRunning, *pidOut holds the
// "pid" of the first 512 bytes' JSON object, or 0; after CVAgentUnknown,
// *errOut holds the errno of the failed open or flock.
// `confFd` must be a valid descriptor. The file is opened with O_NONBLOCK, so
// that something other than a regular file in its place never blocks: a FIFO
// or a directory is probed like a file (and, when locked, names no pid), a
// socket fails to open (CVAgentUnknown, ENXIO). How the pid is read from the
// content: CVLockFilePid (lock_file.h).
int CVProbeAgent(int confFd, int* pidOut, int* errOut);
