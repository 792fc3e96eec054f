// Parsing the content of "agent.lock". Kept apart from the probe so that it
// can be fuzzed.
#pragma once

#include <cstddef>

// The "pid" named by `len` bytes of lock-file content: the value of member
// "pid" when the bytes are one JSON text whose top level is an object and
// that member is a JSON number; 0 otherwise. Exactly `len` bytes are parsed
// (`data` need not be NUL-terminated; it may be null when `len` is 0; a
// NUL byte anywhere in them makes them malformed).
//
// Conversion: the fraction is dropped (toward zero: 12.9 gives 12, -12.9
// gives -12). When the value so truncated lies outside the 32-bit range
// [-2147483648, 2147483647], the file is taken to name no usable pid and the
// result is 0: 2147483648, -2147483649, 1e300 and -1e300 all give 0, never a
// clamped or wrapped value. A number too large for a double (1e400) is a
// parse failure and gives 0 as well; JSON has no NaN or infinity, so such
// text is malformed. Never throws.
int CVLockFilePid(const char* data, size_t len);
