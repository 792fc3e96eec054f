#include "opener/agent_control.h"

#include "agent/probe.h"
#include "agent/scan.h"
#include "agent/start.h"
#include "queue/conf_dir.h"

namespace cv {

namespace {

class RealControl : public AgentControl {
 public:
  int ProbeAgent(int confFd, int* pidOut, int* errOut) override {
    return CVProbeAgent(confFd, pidOut, errOut);
  }
  int Kickstart(const char* label) override { return CVKickstart(label); }
  pid_t FindOldFrozenAgent(pid_t excludePid, pid_t* youngOut) override {
    return CVFindOldFrozenAgent(excludePid, youngOut);
  }
  pid_t SpawnAgent(const char* path, const char* const* extraArgs, int* errOut) override {
    return CVSpawnAgent(path, extraArgs, errOut);
  }
  std::optional<std::string> BundledAgent() override { return CVBundledAgent(); }
};

}  // namespace

AgentControl& RealAgentControl() {
  static RealControl control;
  return control;
}

}  // namespace cv
