// The timing constants and size limits of the opener and its queue, each in
// one place with its meaning. Intervals are seconds held as doubles.
//
// A text that quotes one of these values is made from it: the CV_* macros
// hold the whole numbers that texts quote, for texts that are string
// literals (CV_STR turns one into "32"); the constants are defined from
// them, so a text and the rule it describes cannot drift apart.
#pragma once

#include <cstddef>

#define CV_STR_(x) #x
#define CV_STR(x) CV_STR_(x)

#define CV_MAX_REQUESTS 32
#define CV_MAX_PATH_UNITS 8192
#define CV_MAX_DOCUMENT_BYTES 65536
#define CV_OLD_AGENT_SECONDS 19
#define CV_STARTING_CLAIM_SECONDS 90

// Interval of the tick timer, which reads every request's state.
inline constexpr double kCVTickInterval = 0.25;
// No-document grace: a launch with no document and no re-open within this
// long after the end of launching is a plain launch.
inline constexpr double kCVNoDocumentGrace = 0.5;
// Handoff window after the last request, while activation is yielded to the
// agent and the browser (0 where activation hand-over does not exist).
inline constexpr double kCVHandoffWindow = 5;
// Claim deadline for an agent that holds its lock.
inline constexpr double kCVRunningClaim = 15;
// Claim deadline for an agent that is being started; also the length of the
// starting window.
inline constexpr double kCVStartingClaim = CV_STARTING_CLAIM_SECONDS;
// A request claimed longer ago than this is no longer followed.
inline constexpr double kCVClaimedTooLong = 120;
// An agent process older than this many whole seconds that holds no lock
// is an old agent; one of this age or younger is still starting.
inline constexpr long long kCVOldAgentSeconds = CV_OLD_AGENT_SECONDS;

// Most requests outstanding at once in one opener.
inline constexpr size_t kCVMaxRequests = CV_MAX_REQUESTS;
// Longest document path, in UTF-16 code units.
inline constexpr size_t kCVMaxPathUnits = CV_MAX_PATH_UNITS;
// Longest serialized request document, in bytes; the agent reads no more.
inline constexpr size_t kCVMaxDocumentBytes = CV_MAX_DOCUMENT_BYTES;
