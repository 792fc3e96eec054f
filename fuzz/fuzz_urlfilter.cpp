// The controller's filter of the documents of an open event, through its
// entry (CVOpener::openURLs) with a scripted platform and a settings folder
// that cannot be had, so that nothing is written. Input: documents separated
// by NUL; the first byte of each says whether it is a file URL (bit 0), the
// rest is its path. Never a crash, and the "not-corva" alert is raised
// exactly when some document is not a file URL of a ".corva" path.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "opener/agent_control.h"
#include "opener/opener.h"
#include "platform/log.h"

namespace {

class NoAgents : public cv::AgentControl {
 public:
  int ProbeAgent(int, int* pidOut, int* errOut) override {
    *pidOut = 0;
    *errOut = 0;
    return 0;
  }
  int Kickstart(const char*) override { return 1; }
  pid_t FindOldFrozenAgent(pid_t, pid_t* youngOut) override {
    if (youngOut) *youngOut = 0;
    return 0;
  }
  pid_t SpawnAgent(const char*, const char* const*, int* errOut) override {
    *errOut = 0;
    return -1;
  }
  std::optional<std::string> BundledAgent() override { return std::nullopt; }
};

// Keeps whether a "not-corva" alert was logged.
class AlertLog : public cv::Log {
 public:
  bool notCorva = false;

 protected:
  void Emit(cv::LogLevel, const std::string& line, std::string_view) override {
    if (line.rfind("alert not-corva:", 0) == 0) notCorva = true;
  }
};

bool IsCorvaFileURL(const cv::DocumentURL& url) {
  if (!url.isFile) return false;
  std::string p = url.path;
  while (!p.empty() && p.back() == '/') p.pop_back();
  std::string name = p.substr(p.find_last_of('/') == std::string::npos ? 0 : p.find_last_of('/') + 1);
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || name.size() - dot != 6) return false;
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == "corva";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No settings folder: every post fails before touching the file system.
  setenv("CORVANTIS_AGENT_DIR", "not-absolute", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<cv::DocumentURL> urls;
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t at = 0;
  while (at <= text.size() && urls.size() < 64) {
    size_t end = text.find('\0', at);
    if (end == std::string::npos) end = text.size();
    std::string piece = text.substr(at, end - at);
    cv::DocumentURL url;
    url.isFile = !piece.empty() && (static_cast<unsigned char>(piece[0]) & 1) != 0;
    if (!piece.empty()) piece.erase(0, 1);
    url.text = piece;
    if (url.isFile) url.path = piece;
    urls.push_back(url);
    at = end + 1;
  }
  bool expectRejected = false;
  for (const cv::DocumentURL& url : urls) expectRejected = expectRejected || !IsCorvaFileURL(url);

  AlertLog log;
  cv::Log* previous = LOG;
  LOG = &log;
  {
    cvtest::FakePlatform platform;
    NoAgents agents;
    CVOpener opener(platform, agents);
    opener.openURLs(urls);
  }
  LOG = previous;
  if (log.notCorva != expectRejected) __builtin_trap();
  return 0;
}
