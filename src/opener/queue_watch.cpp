#include <cerrno>

#include "opener/opener.h"
#include "queue/protocol.h"

void CVOpener::watchQueue() {
  if (_queueWatch || _queueWatchTries >= 2 || _cfd < 0) return;
  int saved = errno;
  ++_queueWatchTries;
  std::weak_ptr<int> alive = alive_;
  _queueWatch = platform_.WatchDirectory(_cfd, kCVQueueDir, [alive, self = this](const std::vector<std::string>& names) {
    if (alive.expired()) return;
    self->queueChanged(names);
  });
  // Only a folder that does not exist yet is worth a second try.
  if (!_queueWatch && errno != ENOENT) _queueWatchTries = 2;
  errno = saved;
}

void CVOpener::queueChanged(const std::vector<std::string>& names) {
  // Before the end of launching, after quitting and while the timer is
  // stopped for a spawned child, the tick does not run; the timer's next
  // start finds whatever changed.
  if (!_tick || !_tick->IsValid()) return;
  bool ours = false;
  for (const std::string& name : names) {
    if (name.empty()) {
      ours = true;
      break;
    }
    // Only "<stem>.json" and "<stem>.claimed" belong to a request;
    // temporary files (".<hex>.tmp") belong to none.
    CVQueueName entry = CVParseQueueName(name);
    if (entry.kind != CVQueueName::kQueued && entry.kind != CVQueueName::kClaimed) continue;
    const std::string& stem = entry.stem;
    for (const auto& req : _reqs) {
      if (req->stem == stem) ours = true;
    }
    if (ours) break;
  }
  if (ours) tick();
}
