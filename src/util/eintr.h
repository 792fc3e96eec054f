// Retrying a system call that a signal interrupted.
#pragma once

#include <cerrno>

// Calls `call` again while it fails (returns a negative value) with EINTR;
// returns its last result, errno as that call left it. Not for close: Linux
// has released the descriptor even when close says EINTR.
template <typename Call>
auto CVRetryEintr(Call&& call) -> decltype(call()) {
  decltype(call()) rc;
  do {
    rc = call();
  } while (rc < 0 && errno == EINTR);
  return rc;
}
