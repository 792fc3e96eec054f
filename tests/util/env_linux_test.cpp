// The Linux Env on the real system: the calls that are more than a system
// call passed on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "test_support.h"
#include "util/env.h"

namespace {

TEST(EnvLinuxTest, ListDirLeavesTheCallersDescriptorAlone) {
  cvtest::TempDir dir;
  for (const char* n : {"b.json", ".a.tmp", "c"}) ASSERT_TRUE(cvtest::WriteFile(dir.Join(n), ""));
  int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int fds = cvtest::CountOpenFds();
  cv::Env* env = cv::Env::Default();
  for (int round = 0; round < 2; ++round) {
    std::vector<std::string> names;
    ASSERT_EQ(env->ListDir(fd, &names), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".a.tmp", "b.json", "c"}));
  }
  EXPECT_EQ(cvtest::CountOpenFds(), fds);
  std::vector<std::string> none;
  EXPECT_EQ(env->ListDir(-1, &none), EBADF);
  close(fd);
}

}  // namespace
