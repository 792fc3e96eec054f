// A scripted AgentControl: answers the test sets, and a record of each call.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent/probe.h"
#include "opener/agent_control.h"

namespace cvtest {

class FakeAgents : public cv::AgentControl {
 public:
  // CVProbeAgent: the answer, with the pid and error number it reports.
  int probeResult = CVAgentAbsent;
  int probePid = 0;
  int probeErr = 0;
  int probes = 0;
  // Probes that asked for the pid (the others are one open and one flock).
  int pidProbes = 0;
  // Runs at the start of every probe, before the answer is read: a test
  // plays the agent's part there (claims, handles, exits, takes the lock).
  std::function<void()> onProbe;

  // CVKickstart: the exit status; labels asked for.
  int kickstartRc = 1;
  std::vector<std::string> kickstarts;

  // CVFindOldFrozenAgent: old and young agent pids; pids left out.
  pid_t oldPid = 0;
  pid_t youngPid = 0;
  std::vector<pid_t> scans;

  // CVSpawnAgent: the pid (0 or less for failure) and the error number.
  pid_t spawnPid = 0;
  int spawnErr = 0;
  std::vector<std::string> spawns;

  // CVBundledAgent.
  std::optional<std::string> bundled = std::string("/opt/corvantis/agent/CorvantisAgent");

  int ProbeAgent(int, int* pidOut, int* errOut) override {
    ++probes;
    if (pidOut) ++pidProbes;
    if (onProbe) onProbe();
    if (pidOut) *pidOut = probeResult == CVAgentRunning ? probePid : 0;
    if (errOut) *errOut = probeResult == CVAgentUnknown ? probeErr : 0;
    return probeResult;
  }
  int Kickstart(const char* label) override {
    kickstarts.emplace_back(label);
    return kickstartRc;
  }
  pid_t FindOldFrozenAgent(pid_t excludePid, pid_t* youngOut) override {
    scans.push_back(excludePid);
    if (youngOut) *youngOut = youngPid;
    return oldPid;
  }
  pid_t SpawnAgent(const char* path, const char* const*, int* errOut) override {
    spawns.emplace_back(path);
    if (errOut) *errOut = spawnPid > 0 ? 0 : spawnErr;
    return spawnPid;
  }
  std::optional<std::string> BundledAgent() override { return bundled; }
};

}  // namespace cvtest
