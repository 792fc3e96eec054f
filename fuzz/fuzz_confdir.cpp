// The settings-folder rule on a fuzzed environment block ("NAME=value"
// strings ended by NUL, as /proc/<pid>/environ gives them): never a crash,
// and the folder is either absent or an absolute path, the override itself
// when one is set. The folder comparison holds for every spelling of it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "agent/environ_block.h"
#include "queue/conf_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte says whether the password database has an entry; its
  // home is the block's "PWHOME" then.
  bool hasEntry = (data[0] & 1) != 0;
  std::string_view block(reinterpret_cast<const char*>(data) + 1, size - 1);
  CVConfDirSources sources;
  sources.getenv = [block](const char* name) { return CVEnvironValue(block, name); };
  sources.realUserHome = [block, hasEntry]() -> std::optional<std::string> {
    if (!hasEntry) return std::nullopt;
    return CVEnvironValue(block, "PWHOME").value_or("");
  };
  std::optional<std::string> folder = CVConfDirFrom(sources);
  if (!folder) return 0;
  if (folder->empty() || (*folder)[0] != '/') __builtin_trap();
  std::optional<std::string> override = CVEnvironValue(block, "CORVANTIS_AGENT_DIR");
  if (override && !override->empty() && *override != *folder) __builtin_trap();
  if (!CVSameConfDir(*folder, *folder)) __builtin_trap();
  if (!CVSameConfDir(*folder, *folder + "/")) __builtin_trap();
  if (!CVSameConfDir(*folder, "/" + *folder + "/./")) __builtin_trap();
  if (CVSameConfDir(*folder, *folder + "/x")) __builtin_trap();
  return 0;
}
