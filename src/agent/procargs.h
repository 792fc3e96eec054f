// Walking a process's argument block for the tool-run test of the old-agent
// scan. Kept apart so that the walk can be fuzzed.
#pragma once

#include <cstddef>

// Whether the argument block `block` of `len` bytes shows a tool run: its
// argv[1] is exactly "--tool". Layout: argc as a native 32-bit int, the
// executable path, NUL padding, then argv[0], argv[1]... each NUL-terminated.
// Every byte access is bound-checked against `len`.
bool CVArgsShowToolRun(const unsigned char* block, size_t len);
