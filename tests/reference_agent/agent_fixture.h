// A settings folder of its own for each test, pointed to by
// CORVANTIS_AGENT_DIR, with the agent's knobs cleared, and helpers to look at
// the lock and the queue as the opener would.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "agent_process.h"
#include "test_support.h"

namespace cvtest {

class AgentFixture : public ::testing::Test {
 protected:
  AgentFixture()
      : conf_(tmp_.Join("conf")),
        queue_(conf_ + "/open-requests"),
        lock_(conf_ + "/agent.lock"),
        dir_("CORVANTIS_AGENT_DIR", conf_),
        claimDelay_("CORVANTIS_AGENT_CLAIM_DELAY", std::nullopt),
        handleDelay_("CORVANTIS_AGENT_HANDLE_DELAY", std::nullopt),
        idleExit_("CORVANTIS_AGENT_IDLE_EXIT", std::nullopt),
        noLock_("CORVANTIS_AGENT_NO_LOCK", std::nullopt),
        sweep_("CORVANTIS_AGENT_SWEEP_INTERVAL", std::nullopt) {}

  // Creates the settings folder and "open-requests", both mode 0700.
  void MakeQueue() {
    mkdir(conf_.c_str(), 0700);
    ASSERT_EQ(mkdir(queue_.c_str(), 0700), 0);
  }

  // A stem in the opener's format; `n` orders them.
  static std::string Stem(int n) {
    char buf[64];
    snprintf(buf, sizeof buf, "%013d-0123456789abcdef0123456789abcd%02x", 1733800000 + n, n & 0xff);
    return buf;
  }

  bool Exists(const std::string& name) const {
    struct stat st;
    return lstat((queue_ + "/" + name).c_str(), &st) == 0;
  }

  // Whether some process holds an exclusive lock on agent.lock, tested the
  // way the opener's probe does.
  bool LockHeld() const {
    int fd = open(lock_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!held) flock(fd, LOCK_UN);
    close(fd);
    return held;
  }

  // The "pid" in agent.lock, or 0.
  int LockPid() const {
    std::optional<std::string> content = ReadFile(lock_);
    if (!content) return 0;
    nlohmann::json doc = nlohmann::json::parse(*content, nullptr, false);
    if (!doc.is_object() || !doc.contains("pid") || !doc["pid"].is_number_integer()) return 0;
    return doc["pid"].get<int>();
  }

  // Waits until `agent` holds the lock and has written its pid.
  bool WaitLocked(const AgentProcess& agent) {
    return WaitUntil([&] { return LockHeld() && LockPid() == agent.pid(); }, 10);
  }

  // Waits until `agent` has said on stderr that it runs.
  static bool WaitRunning(const AgentProcess& agent) {
    return WaitUntil([&] { return agent.Stderr().find("running (") != std::string::npos; }, 10);
  }

  TempDir tmp_;
  std::string conf_, queue_, lock_;
  ScopedEnv dir_, claimDelay_, handleDelay_, idleExit_, noLock_, sweep_;
};

}  // namespace cvtest
