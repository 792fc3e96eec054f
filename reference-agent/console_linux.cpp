#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console.h"

namespace cvagent {

int WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;  // no progress: give up rather than spin
    done += static_cast<size_t>(n);
  }
  return 0;
}

void Complain(const std::string& message) {
  WriteAll(STDERR_FILENO, "CorvantisAgent: " + message + "\n");
}

void ConsoleOutput::Line(const std::string& line) {
  int rc = WriteAll(STDOUT_FILENO, line + "\n");
  if (rc == 0 || reported_) return;
  reported_ = true;
  Complain(std::string("cannot write to standard output: ") + strerror(rc));
}

}  // namespace cvagent
