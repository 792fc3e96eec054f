// Internal to the agent module and its tests: the service-manager request of
// CVKickstart with the program as a parameter, so that tests can run the same
// code against fake launch programs.
#pragma once

// The service manager's command-line program on this platform.
extern const char kCVServiceManager[];

// Runs `program` with the arguments "--user", "start" and "<label>.service"
// (the unit name formed in a 320-byte buffer, so cut to 319 characters),
// with /dev/null on descriptors 0 (read-only), 1 and 2 (write-only), every
// other descriptor closed and this process's environment, and waits for it
// (a wait interrupted by a signal is repeated). Returns its exit status
// (0 to 255), or -1 when it did not start, the wait failed or it ended by a
// signal. Both arguments are non-null. Main thread only.
int CVKickstartProgram(const char* program, const char* label);
