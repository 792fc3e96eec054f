// Walking a process's argument block for the tool-run test of the old-agent
// scan. Kept apart so that the walk can be fuzzed.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

// Whether the argument block `block` of `len` bytes shows a tool run: its
// argv[1] is exactly "--tool". Layout: argc as a native 32-bit int, the
// executable path, NUL padding, then argv[0], argv[1]... each NUL-terminated.
// Every byte access is bound-checked against `len`; any block that is too
// short, cut or malformed is no tool run. `block` may be null when `len` is 0.
bool CVArgsShowToolRun(const unsigned char* block, size_t len);

// Builds the block above from an executable path (may be empty) and the
// NUL-separated argument strings of a command line as the kernel reports
// them. A last string without its NUL is counted and given one. The path is
// followed by NUL bytes up to an 8-byte boundary of the block, argv[0] starts
// there. The count saturates at INT32_MAX.
std::vector<unsigned char> CVArgBlockFromCmdline(std::string_view exePath,
                                                 std::string_view cmdline);
