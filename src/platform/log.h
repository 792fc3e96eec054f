// The process's log handle. Lines are written with os_log-style format
// strings: "%{public}@", "%{public}s", "%{private}@", "%d", "%@", "%s", "%%".
// Arguments marked private are written as "<private>"; unmarked numbers are
// public and unmarked strings private. Arguments are consumed in order; a
// specifier without an argument is written as "(null)".
//
// A visible argument is written so that it cannot break the line or fake
// another one: a backslash becomes "\\", newline, tab and carriage return
// become "\n", "\t" and "\r", every other C0 control, DEL, each C1
// control (U+0080 to U+009F) and each byte that is not part of valid UTF-8
// become "\xNN" per byte (lowercase hex). The characters that break a line
// or turn the direction of the text around it on a display (U+061C,
// U+200E, U+200F, U+2028, U+2029, U+202A to U+202E, U+2066 to U+2069)
// become "\uNNNN". Other text is kept as it is.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace cv {

enum class LogLevel { kDefault, kError };

// One argument of a log line: its text and whether it is a number.
class LogArg {
 public:
  LogArg(std::string_view s) : text_(s), number_(false) {}
  LogArg(const char* s) : text_(s ? s : "(null)"), number_(false) {}
  LogArg(const std::string& s) : text_(s), number_(false) {}
  LogArg(int v) : text_(std::to_string(v)), number_(true) {}
  LogArg(long v) : text_(std::to_string(v)), number_(true) {}
  LogArg(long long v) : text_(std::to_string(v)), number_(true) {}
  LogArg(unsigned long v) : text_(std::to_string(v)), number_(true) {}
  const std::string& text() const { return text_; }
  bool number() const { return number_; }

 private:
  std::string text_;
  bool number_;
};

// Formats a line as it is stored: private arguments redacted, visible ones
// escaped.
std::string FormatLogLine(std::string_view fmt, std::initializer_list<LogArg> args);

// `text` with the escapes above applied.
std::string EscapeLogText(std::string_view text);

class Log {
 public:
  virtual ~Log() = default;
  // Whether lines of `level` are stored at all.
  virtual bool Enabled(LogLevel) const { return true; }
  // `stem`, when not empty, names the request the line is about; the system
  // log stores it as a field of its own (CORVANTIS_STEM), so that one
  // request's records can be selected. It is not added to the line.
  void Write(LogLevel level, std::string_view fmt, std::initializer_list<LogArg> args = {},
             std::string_view stem = {}) {
    if (Enabled(level)) Emit(level, FormatLogLine(fmt, args), stem);
  }

 protected:
  // Stores one formatted line about `stem` (empty: no request). Must not
  // throw.
  virtual void Emit(LogLevel level, const std::string& line, std::string_view stem) = 0;
};

// Writes each line to stderr as "corvantis-opener[<pid>] <line>\n", the
// whole line in one write(2), through CurrentEnv() (its pid and its Write);
// a short write is continued and EINTR retried (CVWriteAll). A failed
// write is not retried or reported, and leaves errno unchanged.
class StderrLog : public Log {
 protected:
  void Emit(LogLevel level, const std::string& line, std::string_view stem) override;
};

// The system log of this platform for `subsystem` and `category`: journald
// (its native protocol; the socket is opened at the first record) when its
// socket exists, else StderrLog; CORVANTIS_LOG_STDERR=1 in the
// environment forces StderrLog (see platform/journal_log_linux.h). Never
// null; caller owns it.
Log* CreateSystemLog(const char* subsystem, const char* category);

}  // namespace cv

// The process-wide handle. Points at a StderrLog until main installs the
// system log; tests may point it at a capturing log. Never null.
extern cv::Log* LOG;
