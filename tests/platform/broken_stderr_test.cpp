// The two writers to stderr, the log's and the alert fallback's, with a
// stderr whose reader has gone, as the opener runs them (SIGPIPE ignored):
// the write fails, and nothing else changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "platform/alert_presenter.h"
#include "platform/log.h"

namespace {

class Writer : public cv::StderrLog {
 public:
  void Line(const std::string& text) { Emit(cv::LogLevel::kDefault, text, {}); }
};

// Runs `write` in a child whose stderr is a pipe without a reader and whose
// SIGPIPE is ignored; the child exits 0 when `write` answers true.
int RunWithBrokenStderr(const std::function<bool()>& write) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDERR_FILENO);
    signal(SIGPIPE, SIG_IGN);
    _exit(write() ? 0 : 1);
  }
  close(fds[0]);
  close(fds[1]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

TEST(BrokenStderr, LogLineIsLostAndErrnoKept) {
  int status = RunWithBrokenStderr([] {
    Writer log;
    errno = ENOSPC;
    log.Line("request 1 (open: a.corva, <private>)");
    return errno == ENOSPC;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(BrokenStderr, AlertFallbackIsDismissedAndErrnoKept) {
  int status = RunWithBrokenStderr([] {
    cv::StderrAlertPresenter presenter;
    bool dismissed = false;
    errno = EACCES;
    presenter.Show("Corvantis Agent", "Corvantis opens .corva files only.", [&] { dismissed = true; });
    return dismissed && errno == EACCES;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
