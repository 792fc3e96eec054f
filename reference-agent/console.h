// The agent's two output streams: handled-request lines on standard output,
// its own messages, each prefixed "CorvantisAgent: ", on standard error.
// Both are written with write(2) at once, one whole line per call, so that
// nothing waits in a buffer when the agent is killed.
#pragma once

#include <string>

#include "agent_loop.h"

namespace cvagent {

// Writes "CorvantisAgent: <message>\n" to standard error; failures are
// ignored (there is nowhere left to report them).
void Complain(const std::string& message);

// Writes all of `text` to `fd`, retrying after EINTR and short writes.
// Returns 0 or the errno of the failing write.
int WriteAll(int fd, const std::string& text);

class ConsoleOutput : public Output {
 public:
  // Standard output; a failing write is reported once on standard error (a
  // closed pipe included: SIGPIPE is expected to be ignored).
  void Line(const std::string& line) override;
  void Note(const std::string& message) override { Complain(message); }

 private:
  bool reported_ = false;
};

}  // namespace cvagent
