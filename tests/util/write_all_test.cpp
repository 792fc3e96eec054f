// CVWriteAll on a pipe: every byte arrives through short writes and
// interruptions, and a failure reports its error.
#include "util/write_all.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string ReadAvailable(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

class WriteAllTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pipe2(p_, O_CLOEXEC | O_NONBLOCK), 0); }
  void TearDown() override {
    close(p_[0]);
    close(p_[1]);
  }
  int p_[2] = {-1, -1};
};

TEST_F(WriteAllTest, ShortWritesAndInterruptionsStillDeliverEveryByte) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>('a' + i % 26);
  // Every third call is interrupted (EINTR) and every other one writes at
  // most 7 bytes.
  int calls = 0;
  std::function<ssize_t(int, const void*, size_t)> faulty = [&](int fd, const void* buf, size_t n) -> ssize_t {
    if (++calls % 3 == 0) {
      errno = EINTR;
      return -1;
    }
    return write(fd, buf, std::min<size_t>(n, 7));
  };
  errno = 0;
  EXPECT_EQ(CVWriteAll(p_[1], text.data(), text.size(), faulty), 0);
  EXPECT_EQ(ReadAvailable(p_[0]), text);
  EXPECT_GT(calls, 60);
}

TEST_F(WriteAllTest, FailuresReportTheirError) {
  struct Case {
    const char* name;
    ssize_t result;  // of the second call
    int err;
    int want;
  };
  const Case cases[] = {
      {"write fails", -1, EPIPE, EPIPE},
      {"write makes no progress", 0, 0, EIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int calls = 0;
    auto write2 = [&](int fd, const void* buf, size_t) -> ssize_t {
      if (++calls == 1) return write(fd, buf, 2);
      errno = c.err;
      return c.result;
    };
    errno = 0;
    EXPECT_EQ(CVWriteAll(p_[1], "abcdef", 6, write2), c.want);
    EXPECT_EQ(errno, c.want);
    EXPECT_EQ(calls, 2) << "retried after a real failure";
    EXPECT_EQ(ReadAvailable(p_[0]), "ab") << "bytes before the failure stay written";
  }
}

TEST_F(WriteAllTest, RealWriteOnAClosedPipeFails) {
  close(p_[0]);
  p_[0] = open("/dev/null", O_RDONLY | O_CLOEXEC);
  struct sigaction ignore{}, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  EXPECT_EQ(CVWriteAll(p_[1], "x", 1), EPIPE);
  sigaction(SIGPIPE, &old, nullptr);
  // Nothing to write is no write at all.
  EXPECT_EQ(CVWriteAll(-1, "", 0), 0);
}

// Without a call of its own it writes through the Env given, else the
// current one: a fake Env sees every write and can cut them short.
TEST_F(WriteAllTest, WritesGoThroughTheEnv) {
  struct OneByteEnv : cv::EnvWrapper {
    OneByteEnv() : EnvWrapper(cv::Env::Default()) {}
    ssize_t Write(int fd, const void* buf, size_t n) override {
      ++writes;
      return target()->Write(fd, buf, n > 0 ? 1 : 0);
    }
    int writes = 0;
  };
  OneByteEnv given;
  EXPECT_EQ(CVWriteAll(p_[1], "abc", 3, &given), 0);
  EXPECT_EQ(given.writes, 3);
  OneByteEnv current;
  {
    cv::ScopedEnv guard(&current);
    EXPECT_EQ(CVWriteAll(p_[1], "de", 2), 0);
  }
  EXPECT_EQ(current.writes, 2);
  EXPECT_EQ(ReadAvailable(p_[0]), "abcde");
}

}  // namespace
