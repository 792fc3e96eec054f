// The agent-control calls of the controller, behind one seam so that tests
// can script their answers. RealAgentControl() forwards to the CV functions
// of src/agent and src/queue; contracts are those of the forwarded calls.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace cv {

class AgentControl {
 public:
  virtual ~AgentControl() = default;
  virtual int ProbeAgent(int confFd, int* pidOut, int* errOut) = 0;         // CVProbeAgent
  virtual int Kickstart(const char* label) = 0;                              // CVKickstart
  virtual pid_t FindOldFrozenAgent(pid_t excludePid, pid_t* youngOut) = 0;  // CVFindOldFrozenAgent
  virtual pid_t SpawnAgent(const char* path, const char* const* extraArgs, int* errOut) = 0;  // CVSpawnAgent
  virtual std::optional<std::string> BundledAgent() = 0;                    // CVBundledAgent
};

// The process-wide forwarding implementation.
AgentControl& RealAgentControl();

}  // namespace cv
