// CVRequest: one open request that the controller has posted and still
// follows. Set once by CVOpener::post right after creation; only claimedAt
// (and the tick's note `unreadable`) changes later. Records live in the request table as shared pointers and are
// removed by identity.
#pragma once

#include <optional>
#include <string>

#include "queue/request.h"

struct CVRequest {
  std::string stem;                 // names <stem>.json / <stem>.claimed
  std::string kind;                 // "open" or "reopen"
  std::string label;                // last path component, or the kind; log only
  std::optional<double> claimedAt;  // first seen claimed; none while pending
  CVQueueDirId dir;                 // the queue folder it was written into
  bool unreadable = false;          // its state could not be read at the last tick
};
