#include "platform/alert_presenter.h"

#include <unistd.h>

#include <cerrno>

namespace cv {

namespace {

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

void StderrAlertPresenter::Show(const std::string&, const std::string& informativeText,
                                std::function<void()> dismissed) {
  WriteAll(STDERR_FILENO, "Corvantis Agent: " + informativeText + "\n");
  dismissed();
}

std::unique_ptr<AlertPresenter> CreateAlertPresenter() {
  // No windowed presenter exists yet: with or without a display the alert
  // goes to stderr.
  return std::make_unique<StderrAlertPresenter>();
}

}  // namespace cv
