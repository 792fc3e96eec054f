#include "agent/scan.h"

#include <cstdint>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "agent/environ_block.h"
#include "agent/process_table.h"
#include "agent/procargs.h"
#include "queue/conf_dir.h"
#include "queue/limits.h"
#include "queue/protocol.h"
#include "util/env.h"

namespace {

// Whether `path` is the agent copy of some bundle: it ends in "/" and the
// bundle's agent path.
bool EndsWithAgentSuffix(const std::string& path) {
  const std::string suffix = std::string("/") + kCVBundleAgent;
  return path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsAgentExecutable(cv::ProcessTable& table, pid_t pid, const cv::ProcessRecord& rec) {
  std::string path;
  if (table.ReadPath(pid, &path) && !path.empty()) return EndsWithAgentSuffix(path);
  return rec.name == kCVAgentName || rec.comm == kCVAgentName;
}

bool IsToolRun(cv::ProcessTable& table, pid_t pid) {
  std::vector<unsigned char> block;
  if (!table.ReadArgs(pid, &block)) return false;
  return CVArgsShowToolRun(block.data(), block.size());
}

// Whether `pid` is known to serve another settings folder than `own`: its
// environment resolves, by the rule of CVConfDir, to a folder that is not
// `own`. The password database is this process's: `pid` has the same real
// user. An unreadable environment, or one that resolves to no folder, tells
// nothing, and the agent counts as this folder's. So does an empty one: a
// program in the middle of its exec shows its new path before its
// environment is laid out.
bool ServesOtherFolder(cv::ProcessTable& table, pid_t pid, const std::optional<std::string>& own) {
  if (!own) return false;
  std::string block;
  if (!table.ReadEnviron(pid, &block) || block.empty()) return false;
  CVConfDirSources sources;
  sources.getenv = [&block](const char* name) { return CVEnvironValue(block, name); };
  cv::Env* env = cv::CurrentEnv();
  sources.realUserHome = [env] { return env->RealUserHome(); };
  auto theirs = CVConfDirFrom(sources);
  return theirs && !CVSameConfFolder(*theirs, *own);
}

pid_t Scan(cv::ProcessTable& table, pid_t excludePid, pid_t* youngOut) {
  std::vector<pid_t> pids;
  if (!table.ListPids(&pids) || pids.empty()) return 0;
  const time_t now = table.Now();
  const pid_t self = table.Self();
  const uid_t uid = table.RealUid();
  const std::optional<std::string> own = CVConfDir();

  for (pid_t pid : pids) {
    if (pid <= 0 || pid == excludePid || pid == self) continue;
    cv::ProcessRecord rec;
    if (!table.ReadRecord(pid, &rec)) continue;
    if (rec.uid != uid) continue;
    if (!IsAgentExecutable(table, pid, rec)) continue;
    if (IsToolRun(table, pid)) continue;
    if (ServesOtherFolder(table, pid, own)) continue;

    int64_t age;
    if (__builtin_sub_overflow(static_cast<int64_t>(now), rec.startSec, &age)) {
      age = rec.startSec < 0 ? INT64_MAX : INT64_MIN;
    }
    if (age > kCVOldAgentSeconds) return pid;
    if (youngOut != nullptr && *youngOut == 0) *youngOut = pid;
  }
  return 0;
}

}  // namespace

pid_t CVFindOldFrozenAgentIn(cv::ProcessTable& table, pid_t excludePid, pid_t* youngOut) {
  if (youngOut != nullptr) *youngOut = 0;
  try {
    return Scan(table, excludePid, youngOut);
  } catch (const std::bad_alloc&) {
    if (youngOut != nullptr) *youngOut = 0;
    return 0;
  }
}

pid_t CVFindOldFrozenAgent(pid_t excludePid, pid_t* youngOut) {
  if (youngOut != nullptr) *youngOut = 0;
  try {
    cv::ProcfsTable table;
    return CVFindOldFrozenAgentIn(table, excludePid, youngOut);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}
