// The argument-block walk of the tool-run test: any bytes as a block, and
// any bytes as a command line whose block must walk to the same answer as
// reading the arguments directly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "agent/procargs.h"

namespace {

// The NUL-separated strings of a command line; the last may lack its NUL.
std::vector<std::string_view> Split(std::string_view cmdline) {
  std::vector<std::string_view> args;
  size_t at = 0;
  while (at < cmdline.size()) {
    size_t nul = cmdline.find('\0', at);
    if (nul == std::string_view::npos) nul = cmdline.size();
    args.push_back(cmdline.substr(at, nul - at));
    at = nul + 1;
  }
  return args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)CVArgsShowToolRun(data, size);

  // First byte: length of the executable path taken from the rest.
  if (size == 0) return 0;
  size_t exeLen = data[0] % 16;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if (exeLen > rest.size()) exeLen = rest.size();
  std::string_view exe = rest.substr(0, exeLen);
  std::string_view cmdline = rest.substr(exeLen);
  if (exe.find('\0') != std::string_view::npos) return 0;

  std::vector<unsigned char> block = CVArgBlockFromCmdline(exe, cmdline);
  bool walked = CVArgsShowToolRun(block.data(), block.size());
  std::vector<std::string_view> args = Split(cmdline);
  // The walk skips every NUL after the path, so an empty argv[0] cannot be
  // told from padding; the answer is only defined for a non-empty one.
  if (!args.empty() && !args[0].empty()) {
    bool direct = args.size() >= 2 && args[1] == "--tool";
    if (walked != direct) abort();
  }
  return 0;
}
