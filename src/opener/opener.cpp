#include "opener/opener.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "queue/conf_dir.h"
#include "util/env.h"

namespace {

// Descriptors a run may hold at once beside the main loop's and the settings
// folder's: the queue watch, the journal's socket, the exit watches of a
// spawned agent and of an alert window, the queue folder, and two for a
// moment (a request's folder and file, the lock file, the process scan, the
// agent's log), with one to spare.
constexpr int kSpareDescriptors = 8;

// Whether kSpareDescriptors more descriptors can be had (made as copies of
// `fd` and closed again); false with errno set (EMFILE) when not.
bool HaveSpareDescriptors(int fd) {
  cv::Env* env = cv::CurrentEnv();
  int spare[kSpareDescriptors];
  int made = 0;
  int err = 0;
  while (made < kSpareDescriptors) {
    int copy = env->Fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
      err = errno;
      break;
    }
    spare[made++] = copy;
  }
  for (int i = 0; i < made; ++i) env->Close(spare[i]);
  if (made == kSpareDescriptors) return true;
  errno = err;
  return false;
}

}  // namespace

CVOpener::CVOpener(cv::Platform& platform, cv::AgentControl& agents)
    : platform_(platform), agents_(agents) {
  // First, so that a signal received from here on waits for the loop, and so
  // that its descriptor exists before any request is written. When it cannot
  // be watched the signals keep their default action.
  std::weak_ptr<int> alive = alive_;
  platform_.WatchTerminationSignals([alive, self = this](int signo) {
    if (alive.expired()) return;
    self->terminationRequested(signo);
  });
  errno = 0;
  _cfd = CVOpenConfDir();
  if (_cfd < 0) {
    int err = errno;
    _cfd = -1;
    _cfdErr = err != 0 ? err : EIO;
  } else if (!HaveSpareDescriptors(_cfd)) {
    int err = errno;
    cv::CurrentEnv()->Close(_cfd);
    _cfd = -1;
    _cfdErr = err != 0 ? err : EMFILE;
  }
  _bundledAgent = agents_.BundledAgent();
  _phase = CVPhaseIdle;
}
