// Helpers of the platform tests: running the main loop (cv::MainLoop())
// until something happened, and capturing what is written to stderr.
#pragma once

#include <functional>
#include <string>

namespace cvtest {

// Runs rounds of the main loop until `done` answers true. Gives up
// (and returns false) only after a generous guard time, so that a broken
// watch fails the test instead of hanging it.
bool RunLoopUntil(const std::function<bool()>& done);

// Runs rounds of the main loop without blocking until one runs nothing.
void DrainLoop();

// Redirects fd 2 into a pipe while alive. Text() restores fd 2 and returns
// everything written meanwhile (up to the pipe's capacity).
class CaptureStderr {
 public:
  CaptureStderr();
  ~CaptureStderr();
  CaptureStderr(const CaptureStderr&) = delete;
  CaptureStderr& operator=(const CaptureStderr&) = delete;
  std::string Text();

 private:
  void Restore();
  int saved_ = -1;
  int readEnd_ = -1;
  std::string text_;
};

}  // namespace cvtest
