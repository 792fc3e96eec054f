// The old-agent scan: agent processes of this user that run without holding
// the lock. Reports nothing; a failure to list processes reads as "none".
// Main thread only.
#pragma once

#include <sys/types.h>

namespace cv {
class ProcessTable;
}

// Returns the first agent process (in listing order) older than 19 seconds,
// or 0. `youngOut` (may be null; set to 0 on entry) receives the first agent
// of 19 seconds or younger met before the scan ended; it may be set when an
// old agent is returned too, so look at the result first. Passes over
// `excludePid`, this process, other users' processes and tool runs
// ("--tool" as first argument), and agents of another settings folder: those
// whose environment resolves, by the rule of CVConfDir, to a folder that is
// not CVConfDir() (CVSameConfFolder compares: one directory however spelt;
// the text where either path cannot be looked up); an unreadable or empty
// environment counts as this folder's, and so does everything when this
// process has no settings folder. An agent is a process whose executable path
// ends with "/Contents/Resources/agent/CorvantisAgent" or, when its path
// cannot be read, whose name or command name is "CorvantisAgent". Reads the
// real process table; never throws.
pid_t CVFindOldFrozenAgent(pid_t excludePid, pid_t* youngOut);

// The same scan over `table`, whose Now, Self and RealUid stand for the
// current time, this process and its real user id; this process's settings
// folder and password-database home come from cv::CurrentEnv(). Never
// throws: a failure to allocate gives 0 with `youngOut` 0, as if no agent ran.
pid_t CVFindOldFrozenAgentIn(cv::ProcessTable& table, pid_t excludePid, pid_t* youngOut);
