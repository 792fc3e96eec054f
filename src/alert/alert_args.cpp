#include "alert/alert_args.h"

#include <cstdlib>
#include <cstring>

namespace cv {

bool ParseAlertArgs(int argc, const char* const* argv, AlertArgs* out, std::string* error) {
  if (argc >= 2 && std::strcmp(argv[1], "--end-startup") == 0) {
    if (argc > 2) {
      *error = "--end-startup takes nothing else";
      return false;
    }
    *out = AlertArgs();
    out->endStartup = true;
    return true;
  }
  AlertArgs args;
  bool haveMessage = false;
  bool optionsDone = false;
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    bool option = !optionsDone && arg[0] == '-' && arg[1] != '\0';
    if (option && std::strcmp(arg, "--") == 0) {
      optionsDone = true;
      continue;
    }
    if (option && std::strcmp(arg, "--primary") == 0) {
      if (i + 1 >= argc) {
        *error = "--primary needs a value";
        return false;
      }
      args.primary = argv[++i];
      continue;
    }
    if (option) {
      *error = std::string("unknown option ") + arg;
      return false;
    }
    if (haveMessage) {
      *error = "one message only";
      return false;
    }
    args.message = arg;
    haveMessage = true;
  }
  if (!haveMessage) {
    *error = "no message given";
    return false;
  }
  *out = std::move(args);
  return true;
}

uint32_t StartupTimestamp(const std::string& startupId) {
  size_t at = startupId.rfind("_TIME");
  if (at == std::string::npos) return 0;
  const char* digits = startupId.c_str() + at + 5;
  if (*digits < '0' || *digits > '9') return 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(digits, &end, 10);
  if (*end != '\0' || value > UINT32_MAX) return 0;
  return static_cast<uint32_t>(value);
}

}  // namespace cv
