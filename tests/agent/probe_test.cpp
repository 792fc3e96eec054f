// The agent lock probe against real files and real locks held by a second
// process.
#include "agent/probe.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "helpers/lock_holder.h"
#include "test_support.h"
#include "util/env.h"

namespace {

using cvtest::CountOpenFds;
using cvtest::LockHolder;
using cvtest::TempDir;

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    confFd_ = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(confFd_, 0);
    fdsBefore_ = CountOpenFds();
  }
  void TearDown() override {
    EXPECT_EQ(CountOpenFds(), fdsBefore_) << "the probe left a descriptor open";
    close(confFd_);
  }
  std::string lock() const { return dir_.Join("agent.lock"); }

  // Probes with both out-parameters primed with junk, so that the reset on
  // entry shows.
  int Probe(int* pid, int* err) {
    *pid = 99;
    *err = 99;
    return CVProbeAgent(confFd_, pid, err);
  }

  TempDir dir_;
  int confFd_ = -1;
  int fdsBefore_ = 0;
};

TEST_F(ProbeTest, NoLockFileIsAbsent) {
  int pid, err;
  EXPECT_EQ(Probe(&pid, &err), CVAgentAbsent);
  EXPECT_EQ(pid, 0);
  EXPECT_EQ(err, 0);
}

TEST_F(ProbeTest, UnlockedFileIsAbsentAndLeftUnchangedAndUnlocked) {
  const std::string content = "{\"pid\":731}";
  ASSERT_TRUE(cvtest::WriteFile(lock(), content, 0640));
  struct stat before;
  ASSERT_EQ(stat(lock().c_str(), &before), 0);

  int pid, err;
  EXPECT_EQ(Probe(&pid, &err), CVAgentAbsent);
  EXPECT_EQ(pid, 0);
  EXPECT_EQ(err, 0);

  struct stat after;
  ASSERT_EQ(stat(lock().c_str(), &after), 0);
  EXPECT_EQ(cvtest::ReadFile(lock()), content);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  // No lock outlives the call: an agent could take its exclusive lock now.
  LockHolder agent(lock(), LOCK_EX);
  EXPECT_TRUE(agent.locked());
}

TEST_F(ProbeTest, SharedLockOfAnotherProcessIsAbsent) {
  ASSERT_TRUE(cvtest::WriteFile(lock(), "{\"pid\":731}"));
  LockHolder reader(lock(), LOCK_SH);
  ASSERT_TRUE(reader.locked());
  int pid, err;
  EXPECT_EQ(Probe(&pid, &err), CVAgentAbsent);
  EXPECT_EQ(pid, 0);
  EXPECT_EQ(err, 0);
}

TEST_F(ProbeTest, ExclusiveLockIsRunningAndReleasedStateUnchanged) {
  const std::string content = "{\"pid\":731,\"name\":\"agent\"}";
  ASSERT_TRUE(cvtest::WriteFile(lock(), content));
  {
    LockHolder agent(lock(), LOCK_EX);
    ASSERT_TRUE(agent.locked());
    int pid, err;
    EXPECT_EQ(Probe(&pid, &err), CVAgentRunning);
    EXPECT_EQ(pid, 731);
    EXPECT_EQ(err, 0);
  }
  EXPECT_EQ(cvtest::ReadFile(lock()), content);
  LockHolder next(lock(), LOCK_EX);
  EXPECT_TRUE(next.locked());
}

struct PidCase {
  const char* name;
  std::string content;
  int pid;
};

std::string Padded(size_t total) {
  // {"pid":731,"pad":"xxx...x"} of exactly `total` bytes.
  const std::string head = "{\"pid\":731,\"pad\":\"";
  const std::string tail = "\"}";
  return head + std::string(total - head.size() - tail.size(), 'x') + tail;
}

TEST_F(ProbeTest, PidFromTheContentOfAnExclusivelyLockedFile) {
  const PidCase cases[] = {
      {"with other members", "{\"name\":\"agent\",\"pid\":731,\"v\":[1,{\"pid\":5}]}", 731},
      {"whitespace around", " \n{ \"pid\" : 731 }\n", 731},
      {"fraction dropped", "{\"pid\":12.9}", 12},
      {"negative fraction toward zero", "{\"pid\":-12.9}", -12},
      {"exponent", "{\"pid\":7e2}", 700},
      {"string of digits", "{\"pid\":\"731\"}", 0},
      {"short string of digits", "{\"pid\":\"12\"}", 0},
      {"null", "{\"pid\":null}", 0},
      {"boolean", "{\"pid\":true}", 0},
      {"nested object", "{\"pid\":{\"pid\":731}}", 0},
      {"other case", "{\"PID\":731}", 0},
      {"missing", "{\"agent\":731}", 0},
      {"array top level", "[{\"pid\":731}]", 0},
      {"number top level", "731", 0},
      {"malformed", "{\"pid\":731", 0},
      {"trailing garbage", "{\"pid\":731}x", 0},
      {"two texts", "{\"pid\":731}{\"pid\":5}", 0},
      {"NUL after the object", std::string("{\"pid\":731}\0", 12), 0},
      {"empty", "", 0},
      {"largest", "{\"pid\":2147483647}", 2147483647},
      {"smallest", "{\"pid\":-2147483648}", INT_MIN},
      {"largest with fraction", "{\"pid\":2147483647.99}", 2147483647},
      {"one past the largest", "{\"pid\":2147483648}", 0},
      {"one below the smallest", "{\"pid\":-2147483649}", 0},
      {"beyond 64 bits unsigned", "{\"pid\":18446744073709551615}", 0},
      {"beyond 64 bits", "{\"pid\":18446744073709551616}", 0},
      {"huge double", "{\"pid\":1e300}", 0},
      {"huge negative double", "{\"pid\":-1e300}", 0},
      {"beyond double", "{\"pid\":1e400}", 0},
      {"NaN is no JSON", "{\"pid\":NaN}", 0},
      {"Infinity is no JSON", "{\"pid\":Infinity}", 0},
      {"object ends at byte 512", Padded(512), 731},
      {"object ends at byte 513", Padded(513), 0},
      {"valid first 512 bytes, garbage after", Padded(512) + "garbage", 731},
      {"100 KB object", Padded(100 * 1024), 0},
      {"100 KB of garbage", std::string(100 * 1024, '\xff'), 0},
      {"binary garbage", std::string("\x00\x01{\"pid\":731}\x7f", 15), 0},
  };
  ASSERT_TRUE(cvtest::WriteFile(lock(), ""));
  LockHolder agent(lock(), LOCK_EX);
  ASSERT_TRUE(agent.locked());
  for (const PidCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Rewriting in place keeps the inode, and with it the holder's lock.
    ASSERT_TRUE(cvtest::WriteFile(lock(), c.content));
    int pid, err;
    EXPECT_EQ(Probe(&pid, &err), CVAgentRunning);
    EXPECT_EQ(pid, c.pid);
    EXPECT_EQ(err, 0);
  }
}

TEST_F(ProbeTest, SymlinkedLockIsUnknownWithEloop) {
  const std::string target = dir_.Join("real.lock");
  ASSERT_TRUE(cvtest::WriteFile(target, "{\"pid\":731}"));
  ASSERT_EQ(symlink(target.c_str(), lock().c_str()), 0);
  LockHolder agent(target, LOCK_EX);
  ASSERT_TRUE(agent.locked());
  int pid, err;
  EXPECT_EQ(Probe(&pid, &err), CVAgentUnknown);
  EXPECT_EQ(pid, 0);
  EXPECT_EQ(err, ELOOP);
  // Without errOut the result stands, the number is dropped.
  EXPECT_EQ(CVProbeAgent(confFd_, &pid, nullptr), CVAgentUnknown);
  EXPECT_EQ(CVProbeAgent(confFd_, nullptr, nullptr), CVAgentUnknown);
}

TEST_F(ProbeTest, UnreadableLockIsUnknownWithEacces) {
  if (!cvtest::CanSwitchUser()) GTEST_SKIP() << "needs root to drop to another user";
  ASSERT_TRUE(cvtest::WriteFile(lock(), "{\"pid\":731}", 0600));
  int rc = cvtest::RunAsUser(cvtest::kNobody, [&] {
    int pid = 99, err = 99;
    int r = CVProbeAgent(confFd_, &pid, &err);
    if (r != CVAgentUnknown) return 1;
    if (err != EACCES) return 2;
    if (pid != 0) return 3;
    return 0;
  });
  EXPECT_EQ(rc, 0);
}

TEST_F(ProbeTest, FifoLockNeitherBlocksNorCrashes) {
  ASSERT_EQ(mkfifo(lock().c_str(), 0600), 0);
  int pid, err;
  EXPECT_EQ(Probe(&pid, &err), CVAgentAbsent);
  EXPECT_EQ(err, 0);

  LockHolder agent(lock(), LOCK_EX);
  ASSERT_TRUE(agent.locked());
  EXPECT_EQ(Probe(&pid, &err), CVAgentRunning);
  EXPECT_EQ(pid, 0);
  EXPECT_EQ(err, 0);
}

TEST_F(ProbeTest, DirectoryLockIsReadAsNoPid) {
  ASSERT_EQ(mkdir(lock().c_str(), 0700), 0);
  int pid, err;
  EXPECT_EQ(Probe(&pid, &err), CVAgentAbsent);

  LockHolder agent(lock(), LOCK_EX);
  ASSERT_TRUE(agent.locked());
  EXPECT_EQ(Probe(&pid, &err), CVAgentRunning);
  EXPECT_EQ(pid, 0);
  EXPECT_EQ(err, 0);
}

TEST_F(ProbeTest, SocketLockIsUnknown) {
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(lock().size(), sizeof addr.sun_path);
  strcpy(addr.sun_path, lock().c_str());
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  int pid, err;
  EXPECT_EQ(Probe(&pid, &err), CVAgentUnknown);
  EXPECT_EQ(err, ENXIO);
  close(s);
}

// Fault injection through the Env: the real system, with the calls the
// probe makes counted and failed on demand.
struct Calls {
  int preads = 0;
  int closes = 0;
  int opens = 0;
  int preadErr = 0;
  int flockErr = 0;
  int openErr = 0;
};

class ProbeEnv : public cv::EnvWrapper {
 public:
  ProbeEnv() : EnvWrapper(cv::Env::Default()) {}
  Calls calls;

  int OpenAt(int dirFd, const char* path, int flags, mode_t mode) override {
    if (calls.openErr) {
      errno = calls.openErr;
      return -1;
    }
    int fd = EnvWrapper::OpenAt(dirFd, path, flags, mode);
    calls.opens += fd >= 0;
    return fd;
  }
  int Close(int fd) override {
    calls.closes++;
    return EnvWrapper::Close(fd);
  }
  int Flock(int fd, int op) override {
    if (calls.flockErr && op != LOCK_UN) {
      errno = calls.flockErr;
      return -1;
    }
    return EnvWrapper::Flock(fd, op);
  }
  ssize_t Pread(int fd, void* buf, size_t len, off_t off) override {
    calls.preads++;
    if (len != 512 || off != 0) return -1;
    if (calls.preadErr) {
      errno = calls.preadErr;
      return -1;
    }
    return EnvWrapper::Pread(fd, buf, len, off);
  }
};

class ProbeFaultTest : public ProbeTest {
 protected:
  ProbeEnv env_;
  Calls& calls_ = env_.calls;
  cv::ScopedEnv guard_{&env_};
};

TEST_F(ProbeFaultTest, WithoutPidOutTheFileIsNotRead) {
  ASSERT_TRUE(cvtest::WriteFile(lock(), "{\"pid\":731}"));
  LockHolder agent(lock(), LOCK_EX);
  ASSERT_TRUE(agent.locked());
  int err = 99;
  EXPECT_EQ(CVProbeAgent(confFd_, nullptr, &err), CVAgentRunning);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(calls_.preads, 0);

  int pid = 0;
  EXPECT_EQ(CVProbeAgent(confFd_, &pid, nullptr), CVAgentRunning);
  EXPECT_EQ(pid, 731);
  EXPECT_EQ(calls_.preads, 1) << "one read of 512 bytes at offset 0";
  EXPECT_EQ(calls_.closes, calls_.opens);
}

TEST_F(ProbeFaultTest, FailedReadIsRunningWithoutPidAndNotRetried) {
  ASSERT_TRUE(cvtest::WriteFile(lock(), "{\"pid\":731}"));
  LockHolder agent(lock(), LOCK_EX);
  ASSERT_TRUE(agent.locked());
  for (int e : {EINTR, EIO}) {
    calls_.preads = 0;
    calls_.preadErr = e;
    int pid, err;
    EXPECT_EQ(Probe(&pid, &err), CVAgentRunning);
    EXPECT_EQ(pid, 0);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(calls_.preads, 1);
  }
  EXPECT_EQ(calls_.closes, calls_.opens);
}

TEST_F(ProbeFaultTest, LockFailureOtherThanWouldBlockIsUnknownAndCloses) {
  ASSERT_TRUE(cvtest::WriteFile(lock(), "{\"pid\":731}"));
  calls_.flockErr = ENOLCK;
  int pid, err;
  EXPECT_EQ(Probe(&pid, &err), CVAgentUnknown);
  EXPECT_EQ(err, ENOLCK);
  EXPECT_EQ(pid, 0);
  EXPECT_EQ(calls_.opens, 1);
  EXPECT_EQ(calls_.closes, 1);
  EXPECT_EQ(calls_.preads, 0);
}

TEST_F(ProbeFaultTest, OpenFailureOtherThanEnoentIsUnknown) {
  ASSERT_TRUE(cvtest::WriteFile(lock(), "{\"pid\":731}"));
  calls_.openErr = EMFILE;
  int pid, err;
  EXPECT_EQ(Probe(&pid, &err), CVAgentUnknown);
  EXPECT_EQ(err, EMFILE);
  calls_.openErr = ENOENT;
  EXPECT_EQ(Probe(&pid, &err), CVAgentAbsent);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(calls_.closes, 0);
}

}  // namespace
