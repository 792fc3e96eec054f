// Helpers shared by every test binary: temporary folders, environment
// overrides, a capturing log, and running a check as an unprivileged user.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/log.h"

namespace cvtest {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away. path() is absolute and has no trailing "/".
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string Join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable for the life of
// the object, then restores the old value.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Installs itself as LOG while alive and keeps every formatted line.
class CaptureLog : public cv::Log {
 public:
  CaptureLog();
  ~CaptureLog() override;
  struct Line {
    cv::LogLevel level;
    std::string text;
    std::string stem;  // the request the line is about; empty for none
  };
  const std::vector<Line>& lines() const { return lines_; }
  // Number of lines whose text equals `text`.
  int Count(const std::string& text) const;
  // Whether some line contains `part`.
  bool Contains(const std::string& part) const;
  void Clear() { lines_.clear(); }

 protected:
  void Emit(cv::LogLevel level, const std::string& line, std::string_view stem) override;

 private:
  cv::Log* previous_;
  std::vector<Line> lines_;
};

// The unprivileged user id the permission tests drop to.
constexpr uid_t kNobody = 65534;

// Runs `check` in a forked child that has dropped to uid/gid kNobody and
// returns its result (0..255), or -1 when the child could not drop its
// privileges or died. Use from a process that is root; as another user the
// child only runs `check` as itself.
int RunAsUser(uid_t uid, const std::function<int()>& check);

// Whether this process can change to another user (i.e. runs as root).
bool CanSwitchUser();

// Reads a whole file; nullopt when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);
// Writes a whole file with `mode`, replacing it; false on failure.
bool WriteFile(const std::string& path, const std::string& data, mode_t mode = 0600);
// Open descriptors of this process (the listing's own one included); a
// leak shows as a rise across a call.
int CountOpenFds();
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> ListDir(const std::string& path);

// Polls `done` every 10 ms until it is true or `seconds` have passed;
// returns its last answer. For end-to-end waits on real processes only.
bool WaitUntil(const std::function<bool()>& done, double seconds);

// The top of the build tree (CV_BUILD_DIR, set by CTest), for tests that
// run the built programs.
std::string BuildDir();

// Changes to the environment of a program run end to end (a nullopt value
// unsets the variable).
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// The environment of an opener or agent run end to end: the settings folder
// `settings`, log lines on stderr, `display` as DISPLAY (unset when
// nullopt), no Wayland display; then `extra` on top.
EnvChanges ProgramEnv(const std::string& settings, const std::optional<std::string>& display,
                      const EnvChanges& extra = {});

// Writes a small tract named `name` into `dir` and returns its path; a
// failed write fails the current test.
std::string WriteTract(const TempDir& dir, const std::string& name);

}  // namespace cvtest
