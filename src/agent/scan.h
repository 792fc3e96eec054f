// The old-agent scan: agent processes of this user that run without holding
// the lock. Reports nothing; a failure to list processes reads as "none".
#pragma once

#include <sys/types.h>

// Returns the first agent process (in listing order) older than 19 seconds,
// or 0. `youngOut` (may be null; set to 0 on entry) receives the first agent
// of 19 seconds or younger met before the scan ended. Passes over
// `excludePid`, this process, other users' processes and tool runs
// ("--tool" as first argument).
pid_t CVFindOldFrozenAgent(pid_t excludePid, pid_t* youngOut);
