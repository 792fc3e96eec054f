#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <new>

#include "agent/process_table.h"
#include "agent/procargs.h"
#include "util/eintr.h"
#include "util/rounding.h"

namespace cv {
namespace {

constexpr size_t kSmallFileCap = 64 * 1024;
constexpr size_t kSystemStatCap = 4 * 1024 * 1024;  // one "intr" column per interrupt
constexpr size_t kPathBufSize = 4096;
constexpr std::string_view kDeletedSuffix = " (deleted)";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// A whole token of decimal digits as T; false on anything else or overflow.
template <typename T>
bool ParseNumber(std::string_view tok, T* out) {
  if (tok.empty()) return false;
  for (char c : tok) {
    if (c < '0' || c > '9') return false;
  }
  auto [end, ec] = std::from_chars(tok.data(), tok.data() + tok.size(), *out);
  return ec == std::errc() && end == tok.data() + tok.size();
}

// The first blank-separated token after `prefix` on the line that starts
// with `prefix`.
std::string_view FieldOfLine(std::string_view text, std::string_view prefix) {
  size_t at = 0;
  while (at < text.size()) {
    size_t eol = text.find('\n', at);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = text.substr(at, eol - at);
    if (line.substr(0, prefix.size()) == prefix) {
      size_t i = prefix.size();
      while (i < line.size() && IsBlank(line[i])) ++i;
      size_t j = i;
      while (j < line.size() && !IsBlank(line[j])) ++j;
      return line.substr(i, j - i);
    }
    at = eol + 1;
  }
  return {};
}

}  // namespace

bool ParseProcStat(std::string_view text, StatFields* out) {
  size_t close = text.rfind(')');
  if (close == std::string_view::npos) return false;
  std::string_view rest = text.substr(close + 1);

  StatFields fields;
  int field = 2;  // the name in parentheses
  size_t i = 0;
  for (;;) {
    while (i < rest.size() && IsBlank(rest[i])) ++i;
    if (i >= rest.size()) return false;
    size_t j = i;
    while (j < rest.size() && !IsBlank(rest[j])) ++j;
    std::string_view tok = rest.substr(i, j - i);
    ++field;
    if (field == 3) {
      if (tok.size() != 1) return false;
      fields.state = tok[0];
    } else if (field == 22) {
      if (!ParseNumber(tok, &fields.startTicks)) return false;
      *out = fields;
      return true;
    }
    i = j;
  }
}

bool ParseStatusUid(std::string_view text, uid_t* out) {
  return ParseNumber(FieldOfLine(text, "Uid:"), out);
}

bool ParseBootTime(std::string_view text, int64_t* out) {
  return ParseNumber(FieldOfLine(text, "btime "), out);
}

std::string ExePathFromLink(std::string_view link) {
  if (link.size() >= kDeletedSuffix.size() &&
      link.substr(link.size() - kDeletedSuffix.size()) == kDeletedSuffix) {
    link.remove_suffix(kDeletedSuffix.size());
  }
  return std::string(link);
}

ProcfsTable::ProcfsTable(std::string root, Env* env) : root_(std::move(root)), env_(env) {}

bool ProcfsTable::ReadFileUpTo(const std::string& path, size_t cap, std::string* out) {
  int fd = CVRetryEintr([&] { return env_->OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY, 0); });
  if (fd < 0) return false;

  out->clear();
  char buf[4096];
  while (out->size() < cap) {
    size_t want = std::min(sizeof buf, cap - out->size());
    ssize_t n = CVRetryEintr([&] { return env_->Read(fd, buf, want); });
    if (n < 0) {
      int err = errno;
      env_->Close(fd);
      errno = err;
      return false;
    }
    if (n == 0) break;
    out->append(buf, static_cast<size_t>(n));
  }
  env_->Close(fd);
  return true;
}

bool ProcfsTable::ReadLink(const std::string& path, std::string* out) {
  std::string target;
  if (env_->ReadLinkAt(AT_FDCWD, path.c_str(), &target) != 0) return false;
  if (target.empty() || target.size() >= kPathBufSize) return false;
  *out = std::move(target);
  return true;
}

bool ProcfsTable::ListPids(std::vector<pid_t>* pids) try {
  int fd = CVRetryEintr(
      [&] { return env_->OpenAt(AT_FDCWD, root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0); });
  if (fd < 0) return false;
  std::vector<std::string> names;
  int err = env_->ListDir(fd, &names);
  env_->Close(fd);
  if (err != 0) {
    errno = err;
    return false;
  }

  pids->clear();
  for (const std::string& name : names) {
    pid_t pid;
    if (ParseNumber(std::string_view(name), &pid)) pids->push_back(pid);
  }
  return true;
} catch (const std::bad_alloc&) {
  return false;
}

bool ProcfsTable::ReadRecord(pid_t pid, ProcessRecord* out) try {
  std::string base = root_ + "/" + std::to_string(pid) + "/";
  std::string text;
  StatFields stat;
  if (!ReadFileUpTo(base + "stat", kSmallFileCap, &text) || !ParseProcStat(text, &stat)) {
    return false;
  }
  // A process that has exited but was not yet reaped no longer runs.
  if (stat.state == 'Z' || stat.state == 'X' || stat.state == 'x') return false;

  if (!ReadFileUpTo(base + "status", kSmallFileCap, &text) || !ParseStatusUid(text, &out->uid)) {
    return false;
  }
  if (!ReadFileUpTo(base + "comm", kSmallFileCap, &text)) return false;
  if (!text.empty() && text.back() == '\n') text.pop_back();

  double boot;
  long hz = sysconf(_SC_CLK_TCK);
  if (!BootInstant(&boot) || hz < 1) return false;
  double start = CVFloor(boot + static_cast<double>(stat.startTicks) / static_cast<double>(hz));
  // 2^63 is exact as a double; a start at or past it does not fit.
  if (!(start < 9223372036854775808.0)) return false;
  out->startSec = static_cast<int64_t>(start);
  out->name = text;
  out->comm = std::move(text);
  return true;
} catch (const std::bad_alloc&) {
  return false;
}

bool ProcfsTable::ReadPath(pid_t pid, std::string* out) try {
  std::string link;
  if (!ReadLink(root_ + "/" + std::to_string(pid) + "/exe", &link)) return false;
  *out = ExePathFromLink(link);
  return !out->empty();
} catch (const std::bad_alloc&) {
  return false;
}

bool ProcfsTable::ReadArgs(pid_t pid, std::vector<unsigned char>* out) try {
  long argMax = sysconf(_SC_ARG_MAX);
  if (argMax < 1) return false;
  std::string base = root_ + "/" + std::to_string(pid) + "/";
  std::string cmdline;
  if (!ReadFileUpTo(base + "cmdline", static_cast<size_t>(argMax), &cmdline)) return false;
  std::string exe;
  if (!ReadLink(base + "exe", &exe)) exe.clear();
  *out = CVArgBlockFromCmdline(exe, cmdline);
  return true;
} catch (const std::bad_alloc&) {
  return false;
}

bool ProcfsTable::ReadEnviron(pid_t pid, std::string* out) try {
  long argMax = sysconf(_SC_ARG_MAX);
  if (argMax < 1) return false;
  // One byte over the largest block tells a whole block from a cut one.
  size_t cap = static_cast<size_t>(argMax) + 1;
  if (!ReadFileUpTo(root_ + "/" + std::to_string(pid) + "/environ", cap, out)) return false;
  return out->size() < cap;
} catch (const std::bad_alloc&) {
  return false;
}

time_t ProcfsTable::Now() { return static_cast<time_t>(CVFloor(env_->WallClock())); }

pid_t ProcfsTable::Self() { return env_->GetPid(); }

uid_t ProcfsTable::RealUid() { return env_->GetUid(); }

bool ProcfsTable::BootInstant(double* out) {
  int64_t btime;
  if (!BootTime(&btime)) return false;
  *out = static_cast<double>(btime);
  // btime is cut to whole seconds. The clocks give the boot instant with its
  // fraction; without it a start time can come out a second early, and an
  // agent 19 seconds old would count as old. A btime that the clocks do not
  // bear out (a table read from another root) is taken as it stands.
  double real = env_->WallClock();
  double sinceBoot = env_->BootClock();
  double exact = real - sinceBoot;
  if (exact >= *out - 0.5 && exact < *out + 1.5) *out = exact;
  return true;
}

bool ProcfsTable::BootTime(int64_t* out) {
  if (bootTime_ < 0) {
    std::string text;
    int64_t boot;
    if (!ReadFileUpTo(root_ + "/stat", kSystemStatCap, &text) || !ParseBootTime(text, &boot)) {
      return false;
    }
    bootTime_ = boot;
  }
  *out = bootTime_;
  return true;
}

}  // namespace cv
