// Starting the agent: through the user service manager, or by spawning the
// agent copy of the bundle as a child of this process. Main thread only.
#pragma once

#include <sys/types.h>

// Asks the service manager to start the service `label` (non-null) and waits
// for the request to finish: runs "/usr/bin/systemctl --user start
// <label>.service" (unit name cut to 319 characters) with /dev/null on 0, 1
// and 2, no other descriptor and this process's environment; blocks until it
// exits. Returns its exit status (0 to 255), or -1 when it did not start, the
// wait failed, or it ended by a signal. Logs nothing.
int CVKickstart(const char* label);

// Spawns `path` with up to 14 of the null-terminated `extraArgs` (may be
// null), output appended to "agent.log" in the settings folder, else (after
// an error-level log line) to "/dev/null". The child runs in a new session,
// with default signal actions, an empty mask and only descriptors 0, 1, 2.
// Returns the child's pid, or -1. `errOut` (may be null) receives 0 on
// success, else the error of the failing access() or of the last attempt.
pid_t CVSpawnAgent(const char* path, const char* const* extraArgs, int* errOut);

// posix_spawn of `path` with `argv`, stdin from /dev/null and stdout/stderr
// appended to `outPath` (O_NOFOLLOW, created 0600), attributes as for
// CVSpawnAgent. `outPath` is opened in this process, with O_NONBLOCK, before
// the spawn (and closed after it): a FIFO without a reader fails with ENXIO
// instead of blocking the caller; a symbolic link fails with ELOOP, a missing
// folder with ENOENT. Returns 0 with *pidOut set (`pidOut` may be null), or
// the error number of that open or of the spawn; then no child is left.
int CVSpawnWithStdout(const char* path, char* const argv[], const char* outPath,
                      pid_t* pidOut);
