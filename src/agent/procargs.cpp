#include "agent/procargs.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr char kToolArg[] = "--tool";
constexpr size_t kToolArgLen = sizeof(kToolArg) - 1;
constexpr size_t kArgcSize = sizeof(int32_t);

}  // namespace

bool CVArgsShowToolRun(const unsigned char* block, size_t len) {
  if (block == nullptr || len <= kArgcSize) return false;
  int32_t argc;
  std::memcpy(&argc, block, kArgcSize);

  size_t at = kArgcSize;
  while (at < len && block[at] != 0) ++at;  // executable path
  while (at < len && block[at] == 0) ++at;  // its NUL and the padding
  if (argc < 1) return false;

  size_t argv1 = len;
  if (at < len) {
    const void* nul = std::memchr(block + at, 0, len - at);
    if (nul != nullptr) argv1 = static_cast<size_t>(static_cast<const unsigned char*>(nul) - block) + 1;
  }
  if (argc == 1) return false;

  size_t left = len - argv1;
  if (left < kToolArgLen + 1) return false;
  return std::memcmp(block + argv1, kToolArg, kToolArgLen) == 0 && block[argv1 + kToolArgLen] == 0;
}

std::vector<unsigned char> CVArgBlockFromCmdline(std::string_view exePath,
                                                 std::string_view cmdline) {
  int64_t count = 0;
  for (char c : cmdline) {
    if (c == '\0') ++count;
  }
  bool unterminated = !cmdline.empty() && cmdline.back() != '\0';
  if (unterminated) ++count;
  int32_t argc = count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);

  std::vector<unsigned char> block(kArgcSize);
  std::memcpy(block.data(), &argc, kArgcSize);
  block.insert(block.end(), exePath.begin(), exePath.end());
  block.push_back(0);
  while (block.size() % 8 != 0) block.push_back(0);
  block.insert(block.end(), cmdline.begin(), cmdline.end());
  if (unterminated) block.push_back(0);
  return block;
}
