#include "alert/alert_args.h"

#include <cstring>

namespace cv {

bool ParseAlertArgs(int argc, const char* const* argv, AlertArgs* out, std::string* error) {
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

}  // namespace cv
