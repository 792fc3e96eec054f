#include "platform/log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace cv {

namespace {

// Parses one specifier at fmt[i] == '%'. Sets `privacy` to +1 public,
// -1 private, 0 unmarked; returns the index after it, or i + 1 when the
// text is not a specifier.
size_t ParseSpec(std::string_view fmt, size_t i, int* privacy, bool* isSpec) {
  size_t j = i + 1;
  *privacy = 0;
  *isSpec = false;
  if (j < fmt.size() && fmt[j] == '{') {
    size_t close = fmt.find('}', j);
    if (close == std::string_view::npos) return i + 1;
    std::string_view mark = fmt.substr(j + 1, close - j - 1);
    if (mark == "public") *privacy = 1;
    else if (mark == "private") *privacy = -1;
    j = close + 1;
  }
  if (j >= fmt.size()) return i + 1;
  char c = fmt[j];
  if (c == '@' || c == 's' || c == 'd' || c == 'u' || c == 'i') {
    *isSpec = true;
    return j + 1;
  }
  return i + 1;
}

}  // namespace

std::string FormatLogLine(std::string_view fmt, std::initializer_list<LogArg> args) {
  std::string out;
  out.reserve(fmt.size() + 32);
  auto arg = args.begin();
  for (size_t i = 0; i < fmt.size();) {
    if (fmt[i] != '%') {
      out += fmt[i++];
      continue;
    }
    if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    int privacy = 0;
    bool isSpec = false;
    size_t next = ParseSpec(fmt, i, &privacy, &isSpec);
    if (!isSpec) {
      out += fmt[i++];
      continue;
    }
    i = next;
    if (arg == args.end()) {
      out += "(null)";
      continue;
    }
    bool visible = privacy > 0 || (privacy == 0 && arg->number());
    out += visible ? arg->text() : std::string("<private>");
    ++arg;
  }
  return out;
}

void StderrLog::Emit(LogLevel, const std::string& line) {
  std::string text = "corvantis-opener[" + std::to_string(getpid()) + "] " + line + "\n";
  // One write per line, so lines of several processes do not interleave.
  ssize_t n;
  do {
    n = ::write(STDERR_FILENO, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
}

}  // namespace cv

namespace {
cv::StderrLog gDefaultLog;
}  // namespace

cv::Log* LOG = &gDefaultLog;
