// Tool runs: "CorvantisAgent --tool COMMAND". A tool run is never the agent:
// it takes no lock, claims nothing and creates nothing.
#pragma once

namespace cvagent {

// Exit statuses of the program, shared by the agent and the tool runs.
enum ExitStatus : int {
  kExitOk = 0,
  kExitFailure = 1,      // a failure while running
  kExitUsage = 2,        // bad arguments, a bad knob, no usable settings folder
  kExitLockHeld = 3,     // another agent holds "agent.lock"
};

// Runs the tool command `args[0]` (the arguments after "--tool"):
//   status  prints "settings <folder>", then "queued <stem>" and "claimed
//           <stem>" lines in stem order, then one of "agent running (pid N)",
//           "agent not running", "agent unknown (<error>)"; exits 0;
//   help    prints the commands, the output lines and the environment knobs.
// No command or an unknown one: usage on standard error, kExitUsage.
int RunTool(int argc, const char* const* args);

// The text of "--tool help".
const char* HelpText();

}  // namespace cvagent
