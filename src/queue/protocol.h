// The queue protocol between the opener and the agent, in both directions:
// every name in the settings folder, the request stem (formed and parsed),
// the names of a request's files, the request format, and where the agent
// copy lies inside the application bundle. The opener, --diagnose, the scan,
// the queue watch and the reference agent all take the names from here.
// Plain values and functions without system access.
//
// The settings folder holds:
//   CV_QUEUE_DIR "/"   the queue folder, mode 0700, holding per request
//       ".<hex>.tmp"   while the opener writes it (hex: the stem's 32 digits),
//       "<stem>.json"  once written (renamed from the temporary file),
//       "<stem>.claimed"  once the agent has claimed it (renamed by the agent),
//                      removed by the agent when it has handled it;
//   CV_LOCK_FILE       the agent's lock file, flocked exclusively by the agent;
//   kCVAgentLog        the output of an agent the opener started itself.
// Macros hold the names that texts quote, for texts that are string literals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#define CV_QUEUE_DIR "open-requests"
#define CV_LOCK_FILE "agent.lock"
#define CV_AGENT_NAME "CorvantisAgent"

inline constexpr const char* kCVQueueDir = CV_QUEUE_DIR;
inline constexpr const char* kCVLockFile = CV_LOCK_FILE;
inline constexpr const char* kCVAgentLog = "agent.log";

inline constexpr const char* kCVQueuedSuffix = ".json";
inline constexpr const char* kCVClaimedSuffix = ".claimed";
inline constexpr const char* kCVTempSuffix = ".tmp";

// The "format" of every request document.
inline constexpr const char* kCVRequestFormat = "corvantis.open/1";

// A stem: the milliseconds since 1970 zero-padded to kCVStemMinDigits digits
// (longer numbers whole), "-", and kCVStemHexDigits lowercase hexadecimal
// digits of a random UUID.
inline constexpr size_t kCVStemMinDigits = 13;
inline constexpr size_t kCVStemHexDigits = 32;

// The bundle layout: the opener runs from <bundle>/kCVBundleProgramDir, and
// the agent copy is <bundle>/kCVBundleAgent.
inline constexpr const char* kCVAgentName = CV_AGENT_NAME;
inline constexpr const char* kCVBundleProgramDir = "Contents/MacOS";
inline constexpr const char* kCVBundleAgent = "Contents/Resources/agent/" CV_AGENT_NAME;

// "%013lld-%s": the milliseconds zero-padded to 13 digits (longer numbers
// whole), "-", and the digits.
std::string CVFormatStem(int64_t ms, const std::string& hex);

// Whether `stem` is a stem as CVFormatStem forms it: at least 13 decimal
// digits, "-", exactly 32 lowercase hexadecimal digits, nothing else. A
// non-null `msOut` receives the milliseconds, or nullopt when they do not
// fit in 64 bits (the stem still counts); it is left as is for no stem.
bool CVParseStem(const std::string& stem, std::optional<int64_t>* msOut = nullptr);

// Whether `s` is only lowercase hexadecimal digits (true for "").
bool CVIsLowerHex(const std::string& s);

// The names of one request's files in the queue folder.
std::string CVQueuedName(const std::string& stem);   // "<stem>.json"
std::string CVClaimedName(const std::string& stem);  // "<stem>.claimed"
std::string CVTempName(const std::string& hex);      // ".<hex>.tmp"

// An entry of the queue folder taken apart.
struct CVQueueName {
  enum Kind {
    kOther,    // no file of the protocol
    kQueued,   // "<stem>.json" with a stem as CVParseStem accepts it
    kClaimed,  // "<stem>.claimed", likewise
    kTemp,     // "." + 32 lowercase hexadecimal digits + ".tmp"
  };
  Kind kind = kOther;
  std::string stem;             // kQueued, kClaimed: the stem
  std::optional<int64_t> ms;    // kQueued, kClaimed: the stem's milliseconds, when they fit
};
CVQueueName CVParseQueueName(const std::string& name);

// `name` without `suffix`, when it ends in `suffix`, does not start with "."
// and leaves a non-empty rest; else nullopt. The agent's reading of queue
// names: it takes any such stem, not only the opener's form.
std::optional<std::string> CVStemBefore(const std::string& name, const std::string& suffix);

// The bundle a program at `exePath` runs from: the path before
// "/Contents/MacOS/<program>", the program's name holding no "/"; nullopt
// when the program is not directly in such a folder.
std::optional<std::string> CVBundleOf(const std::string& exePath);
