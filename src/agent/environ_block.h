// Looking up a variable in another process's environment block, as
// /proc/<pid>/environ gives it. Kept apart so that it can be fuzzed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The value of `name` in `block`: "NAME=value" strings, each ended by a NUL
// (the last one may lack it). The first string of that name decides, as
// getenv decides in the process itself; strings without "=" are skipped.
// nullopt when no string names it. `name` must not hold "=" or NUL.
std::optional<std::string> CVEnvironValue(std::string_view block, std::string_view name);
