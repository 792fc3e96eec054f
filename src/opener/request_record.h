// CVRequest: one open request that the controller has posted and still
// follows. Set once by CVOpener::post right after creation; only claimedAt
// changes later. Records live in the request table as shared pointers and are
// removed by identity.
#pragma once

#include <optional>
#include <string>

struct CVRequest {
  std::string stem;                 // names <stem>.json / <stem>.claimed
  std::string kind;                 // "open" or "reopen"
  std::string label;                // last path component, or the kind; log only
  std::optional<double> claimedAt;  // first seen claimed; none while pending
};
