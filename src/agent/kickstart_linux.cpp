#include "agent/kickstart.h"

#include <cstdio>

#include "agent/start.h"
#include "util/env.h"
#include "util/process.h"

const char kCVServiceManager[] = "/usr/bin/systemctl";

namespace {

constexpr size_t kUnitMax = 320;

}  // namespace

int CVKickstartProgram(const char* program, const char* label) {
  cv::Env* env = cv::CurrentEnv();
  char unit[kUnitMax];
  snprintf(unit, sizeof unit, "%s.service", label);
  char* argv[] = {const_cast<char*>(program), const_cast<char*>("--user"),
                  const_cast<char*>("start"), unit, nullptr};

  // /dev/null on 0, 1 and 2, nothing else open, default signal actions.
  CVSpawnOptions options;
  options.env = env;
  pid_t pid = 0;
  if (CVSpawnProcess(program, argv, options, &pid) != 0) return -1;

  int status = 0;
  if (CVWaitProcess(pid, &status, 0, env) < 0) return -1;
  return CVDecodeWaitStatus(status).code;
}

int CVKickstart(const char* label) { return CVKickstartProgram(kCVServiceManager, label); }
