// Parsing the content of "agent.lock". Kept apart from the probe so that it
// can be fuzzed.
#pragma once

#include <cstddef>

// The "pid" named by `len` bytes of lock-file content: the value of member
// "pid" when the bytes are one JSON text whose top level is an object and
// that member is a JSON number; 0 otherwise. Fractions are dropped.
// (How numbers outside the 32-bit range convert is stated here by the
// implementer of the probe.)
int CVLockFilePid(const char* data, size_t len);
