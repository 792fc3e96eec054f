#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console.h"
#include "util/write_all.h"

namespace cvagent {

int WriteAll(int fd, const std::string& text) { return CVWriteAll(fd, text.data(), text.size()); }

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
