// The controller on the fake platform and scripted agent control, with the
// real request queue in a temporary settings folder ($HOME/Corvantis, named
// by CORVANTIS_AGENT_DIR). Helpers play the agent's part on the files.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fake_agents.h"
#include "fake_platform.h"
#include "opener/opener.h"
#include "test_support.h"
#include "util/env.h"

namespace cvtest {

class OpenerTest : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string settings = tmp.Join("Corvantis");
  ScopedEnv home{"HOME", tmp.path()};
  ScopedEnv appdata{"APPDATA", std::nullopt};
  ScopedEnv confDir{"CORVANTIS_AGENT_DIR", settings};
  CaptureLog log;
  FakePlatform platform;
  // The system as the request queue sees it (cv::CurrentEnv()): the real
  // one unless a test installs an Env of its own with UseEnv, which stays
  // in place until the test ends or the next UseEnv.
  std::unique_ptr<cv::Env> env;
  std::unique_ptr<cv::ScopedEnv> envGuard;
  template <typename E, typename... Args>
  E& UseEnv(Args&&... args) {
    envGuard.reset();
    auto made = std::make_unique<E>(std::forward<Args>(args)...);
    E& ref = *made;
    env = std::move(made);
    envGuard = std::make_unique<cv::ScopedEnv>(env.get());
    return ref;
  }
  FakeAgents agents;
  std::unique_ptr<CVOpener> opener;

  CVOpener& Make() {
    opener = std::make_unique<CVOpener>(platform, agents);
    return *opener;
  }
  // A controller that has finished launching.
  CVOpener& Launched() {
    Make();
    opener->applicationDidFinishLaunching();
    return *opener;
  }

  static cv::DocumentURL Doc(const std::string& path) { return {true, path, "file://" + path}; }
  static cv::DocumentURL Web(const std::string& text) { return {false, "", text}; }
  static std::vector<cv::DocumentURL> Docs(int n, const std::string& prefix = "/docs/t") {
    std::vector<cv::DocumentURL> out;
    for (int i = 0; i < n; ++i) out.push_back(Doc(prefix + std::to_string(i) + ".corva"));
    return out;
  }

  std::string Queue() const { return settings + "/open-requests"; }
  std::vector<std::string> QueueFiles() const { return ListDir(Queue()); }
  const std::string& Stem(size_t i) const { return opener->TEST_Reqs().at(i)->stem; }
  // The agent claims a request (.json -> .claimed) and handles it (removes it).
  bool Claim(const std::string& stem) const {
    return std::rename((Queue() + "/" + stem + ".json").c_str(),
                       (Queue() + "/" + stem + ".claimed").c_str()) == 0;
  }
  bool Handle(const std::string& stem) const {
    return std::remove((Queue() + "/" + stem + ".claimed").c_str()) == 0;
  }

  std::vector<std::string> AlertTexts() const {
    std::vector<std::string> out;
    for (const auto& a : platform.alerts) out.push_back(a.second);
    return out;
  }
  int Lines(const std::string& text) const { return log.Count(text); }
  int LinesStartingWith(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : log.lines()) n += l.text.rfind(prefix, 0) == 0;
    return n;
  }

  // Spawn path: no service, an agent copy, no other agent, child `pid`.
  void ScriptSpawn(pid_t pid) {
    agents.probeResult = CVAgentAbsent;
    agents.kickstartRc = 1;
    agents.spawnPid = pid;
  }
};

// "A7" for a withdrawal that could not take a request back, with `reason`.
inline std::string A7(const std::string& reason) {
  return "Corvantis Agent didn't take the tract, and Corvantis couldn't take it back from its queue (" + reason +
         "). It may still open later.";
}
inline const char* kMoved = "its folder was moved or replaced";

inline const char* kA5 =
    "Corvantis Agent didn't respond. Check its menu bar icon (quit and reopen it if it's "
    "stuck), then open the tract again.";

}  // namespace cvtest
