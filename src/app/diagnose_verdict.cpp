#include <string>

#include "agent/probe.h"
#include "app/diagnose.h"
#include "queue/limits.h"
#include "queue/protocol.h"

namespace cv {

Verdict Judge(const Diagnosis& d) {
  const AgentFacts& a = d.agent;
  if (d.folder.err != 0) return {false, "the settings folder isn't usable"};
  if (d.folder.hidden) {
    return {false, "can't tell: the settings folder can't be searched until the opener tightens it"};
  }
  if (a.probed && a.probe == CVAgentRunning) {
    std::string who = a.pid > 0 ? " (pid " + std::to_string(a.pid) + ")" : "";
    return {true, "the running agent" + who + " takes it"};
  }
  if (a.probed && a.probe != CVAgentAbsent) return {false, CV_LOCK_FILE " can't be probed"};

  // The lock is free: the opener starts an agent, the user service first.
  if (d.service.installed()) {
    if (d.service.active()) {
      return {false,
              "the user service runs, but no agent holds the lock in this settings folder (does it use "
              "another one?); the opener would wait " CV_STR(CV_STARTING_CLAIM_SECONDS) " s and report that it didn't respond"};
    }
    return {true, "the opener would start the user service"};
  }
  if (!d.bundledAgent) return {false, "no agent runs, the user service isn't there, and there is no bundled agent"};
  if (a.old != 0) {
    return {false, "an older agent (pid " + std::to_string(a.old) + ") runs without the lock; it must be quit first"};
  }
  if (a.young != 0) return {true, "the agent that is starting (pid " + std::to_string(a.young) + ") would take it"};
  return {true, "the opener would start its bundled agent"};
}

}  // namespace cv
