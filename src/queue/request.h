// Open-request files in the queue folder (protocol.h) below the settings folder: writing a
// request atomically under a fresh stem, reading its state, withdrawing it.
// Main thread only: lastMs is unlocked process state.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

// Request state, as the presence of <stem>.json / <stem>.claimed tells it.
enum : int {
  CVRequestQueued = 0,   // <stem>.json exists
  CVRequestClaimed = 1,  // no <stem>.json, <stem>.claimed exists
  CVRequestGone = 2,     // neither exists
  // Cannot tell: the queue folder cannot be opened, is not the folder the
  // request was written into, or the test of <stem>.json failed otherwise
  // than by its absence. errno says why (ESTALE: another folder).
  CVRequestUnknown = 3,
};

// The queue folder a request was written into, as device and inode.
struct CVQueueDirId {
  dev_t dev = 0;
  ino_t ino = 0;
};

// Milliseconds of the last stem formed in this process; 0 at start.
extern int64_t lastMs;

// Writes one "corvantis.open/1" request of `kind` ("open" with a path,
// "reopen" without) into the queue folder of `confFd`, creating it when
// missing. The file appears as <stem>.json only complete and flushed.
// Returns the stem "%013lld-%32x", or nullopt with errno set:
//   ENAMETOOLONG  path longer than 8192 UTF-16 code units (nothing touched);
//   EINVAL        the document cannot be serialized (path not UTF-8);
//   EFBIG         the document is longer than 65536 bytes;
//   otherwise the error of the failing open/write/fsync/close/rename (the
//   first of write, fsync, close; EIO for a write that makes no progress);
//   no temporary or .json file is left behind. A call interrupted (EINTR) is
//   made again; an interrupted close counts as done, since Linux releases the
//   descriptor and fsync came first. From the temporary file on,
//   a failure has used up its milliseconds in lastMs.
// `confFd` must be a valid descriptor. A non-null `dirOut` receives the
// identity of the queue folder written into (left as is on failure); a
// failing fstat of that folder then fails the write with its error.
std::optional<std::string> CVWriteRequest(int confFd, const std::string& kind,
                                          const std::optional<std::string>& path,
                                          CVQueueDirId* dirOut = nullptr);

// State of the request `stem`. With `dir` (the folder it was written into,
// from CVWriteRequest) a queue folder that cannot be opened, or that is now
// another folder, answers CVRequestUnknown: the request may lie where no
// agent looks, and is neither handled nor claimed. Without `dir` a missing
// queue folder (ENOENT) answers CVRequestGone. Once <stem>.json is known
// absent, any failure to find <stem>.claimed counts as its absence.
int CVRequestState(int confFd, const std::string& stem, const CVQueueDirId* dir = nullptr);

// Withdraws a queued request by removing <stem>.json. Returns CVRequestQueued
// when it was queued and is now withdrawn; CVRequestClaimed or CVRequestGone
// when the agent got to it first (nothing changed); CVRequestUnknown, with
// errno, when nothing could be removed for another reason (the queue folder
// as in CVRequestState, or the removal failed otherwise than by ENOENT):
// the request may still be queued.
int CVWithdrawRequest(int confFd, const std::string& stem, const CVQueueDirId* dir = nullptr);
