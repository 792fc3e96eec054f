#include "opener/opener.h"

#include <cerrno>

#include "queue/conf_dir.h"

CVOpener::CVOpener(cv::Platform& platform, cv::AgentControl& agents)
    : platform_(platform), agents_(agents) {
  errno = 0;
  _cfd = CVOpenConfDir();
  if (_cfd < 0) {
    int err = errno;
    _cfd = -1;
    _cfdErr = err != 0 ? err : EIO;
  }
  _bundledAgent = agents_.BundledAgent();
  _phase = CVPhaseIdle;
}
