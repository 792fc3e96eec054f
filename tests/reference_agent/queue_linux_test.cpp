// The real queue folder's removal of stale temporary files, on real files
// whose modification times are set: what goes and what stays.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "knobs.h"
#include "request_queue.h"
#include "test_support.h"

namespace cvagent {
namespace {

constexpr char kTmp[] = ".0123456789abcdef0123456789abcdef.tmp";
constexpr double kLimit = kStaleTemporarySeconds;

class StaleTemporaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    conf_ = open(tmp_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(conf_, 0);
    int err = 0;
    queue_ = LinuxRequestQueue::Open(conf_, &err);
    ASSERT_TRUE(queue_) << err;
  }
  void TearDown() override {
    queue_.reset();
    close(conf_);
  }
  std::string Path(const std::string& name) const { return tmp_.Join("open-requests/" + name); }

  // Dates `name` (a link itself, not its target) `age` seconds back.
  void Age(const std::string& name, double age) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = now.tv_sec - static_cast<time_t>(age);
    times[0].tv_nsec = times[1].tv_nsec = now.tv_nsec;
    ASSERT_EQ(utimensat(AT_FDCWD, Path(name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << name;
  }
  bool Exists(const std::string& path) const {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }
  // Asks for the removal; returns whether the file went, checking the
  // result agrees with the folder.
  bool Removed(const std::string& name) {
    bool removed = true;
    EXPECT_EQ(queue_->RemoveIfOlder(name, kLimit, &removed), 0) << name;
    EXPECT_EQ(removed, !Exists(Path(name))) << name;
    return removed;
  }

  cvtest::TempDir tmp_;
  int conf_ = -1;
  std::unique_ptr<LinuxRequestQueue> queue_;
};

TEST_F(StaleTemporaryTest, RegularFileAtTheLimitPlusOrMinusAMinute) {
  const struct {
    double age;
    bool removed;
  } cases[] = {{kLimit + 60, true}, {kLimit - 60, false}, {10 * kLimit, true}, {0, false}, {-3600, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.age);
    ASSERT_TRUE(cvtest::WriteFile(Path(kTmp), "{\"format\""));
    Age(kTmp, c.age);
    EXPECT_EQ(Removed(kTmp), c.removed);
    unlink(Path(kTmp).c_str());
  }
}

TEST_F(StaleTemporaryTest, OldLinkStaysAndItsTargetIsUntouched) {
  std::string target = tmp_.Join("target");
  ASSERT_TRUE(cvtest::WriteFile(target, "keep"));
  ASSERT_EQ(symlink(target.c_str(), Path(kTmp).c_str()), 0);
  Age(kTmp, kLimit + 60);
  EXPECT_FALSE(Removed(kTmp));
  EXPECT_EQ(cvtest::ReadFile(target), "keep");

  // A young link to an old file: the link's own date is not the target's.
  ASSERT_EQ(unlink(Path(kTmp).c_str()), 0);
  ASSERT_EQ(symlink(target.c_str(), Path(kTmp).c_str()), 0);
  struct timespec old[2] = {{1, 0}, {1, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, target.c_str(), old, 0), 0);
  EXPECT_FALSE(Removed(kTmp));
  EXPECT_EQ(cvtest::ReadFile(target), "keep");
}

TEST_F(StaleTemporaryTest, OldDirectoryFifoAndSocketStay) {
  const std::string dir = ".11111111111111111111111111111111.tmp";
  const std::string fifo = ".22222222222222222222222222222222.tmp";
  const std::string sock = ".33333333333333333333333333333333.tmp";
  ASSERT_EQ(mkdir(Path(dir).c_str(), 0700), 0);
  ASSERT_TRUE(cvtest::WriteFile(Path(dir) + "/inside", "x"));
  ASSERT_EQ(mkfifo(Path(fifo).c_str(), 0600), 0);
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(s, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::string sockPath = Path(sock);
  bool bound = sockPath.size() < sizeof addr.sun_path;
  if (bound) {
    memcpy(addr.sun_path, sockPath.c_str(), sockPath.size() + 1);
    bound = bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
  }
  for (const std::string& name : {dir, fifo}) {
    Age(name, kLimit + 60);
    EXPECT_FALSE(Removed(name)) << name;
  }
  if (bound) {
    Age(sock, kLimit + 60);
    EXPECT_FALSE(Removed(sock));
  }
  close(s);
  EXPECT_TRUE(Exists(Path(dir) + "/inside"));
}

TEST_F(StaleTemporaryTest, NameThatWentIsEnoent) {
  bool removed = true;
  EXPECT_EQ(queue_->RemoveIfOlder(kTmp, kLimit, &removed), ENOENT);
  EXPECT_FALSE(removed);
}

}  // namespace
}  // namespace cvagent
