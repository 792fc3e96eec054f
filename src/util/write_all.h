// Writing a whole buffer to a descriptor.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <type_traits>

#include "util/eintr.h"
#include "util/env.h"

// Writes all `size` bytes at `data` to `fd` with `write` (a call of
// write(2)'s signature: an Env's Write, or a test's short write, EINTR or
// failure), a short write continued, a write interrupted by a signal
// (EINTR) repeated. Returns 0 once every byte is written; else the error
// number of the write that failed, EIO when a write wrote nothing (no
// progress: it gives up rather than spin), with errno set to the same
// value. Bytes written before a failure stay written.
template <typename Write>
  requires std::is_invocable_r_v<ssize_t, const Write&, int, const void*, size_t>
int CVWriteAll(int fd, const void* data, size_t size, const Write& write) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    ssize_t n = CVRetryEintr([&] { return write(fd, p + done, size - done); });
    if (n < 0) return errno;
    if (n == 0) {
      errno = EIO;
      return EIO;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

// The same through the Write of `env` (null: cv::CurrentEnv()).
inline int CVWriteAll(int fd, const void* data, size_t size, cv::Env* env = nullptr) {
  cv::Env* e = env ? env : cv::CurrentEnv();
  return CVWriteAll(fd, data, size, [e](int f, const void* b, size_t n) { return e->Write(f, b, n); });
}
