// Reading a request's state and withdrawing it, for every arrangement of
// the queue folder and the request's two names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "queue/request.h"
#include "queue_test_util.h"
#include "test_support.h"
#include "util/env.h"

namespace {

using cvqueuetest::CountOpenFds;
using cvqueuetest::Exists;

const std::string kStem = "1700000000000-000102030405060708090a0b0c0d0e0f";

class StateTest : public cvqueuetest::SettingsFolderTest {
 protected:
  std::string Json() const { return Queue() + "/" + kStem + ".json"; }
  std::string Claimed() const { return Queue() + "/" + kStem + ".claimed"; }
};

// What lies in the settings folder before the call.
enum class Layout {
  NoQueueFolder,
  EmptyFolder,
  JsonOnly,
  ClaimedOnly,
  Both,
  JsonDanglingSymlink,
  ClaimedDanglingSymlink,
  FolderIsSymlink,
  FolderIsFile,
  FolderIsFifo,
};

struct StateCase {
  const char* name;
  Layout layout;
  int state;           // CVRequestState
  int withdraw;        // CVWithdrawRequest
  bool jsonAfter;      // <stem>.json present after withdrawing
  bool claimedAfter;   // <stem>.claimed present after withdrawing
  int stateAfter;      // CVRequestState after withdrawing
};

const StateCase kStateCases[] = {
    {"NoQueueFolder", Layout::NoQueueFolder, CVRequestGone, CVRequestGone, false, false, CVRequestGone},
    {"Gone", Layout::EmptyFolder, CVRequestGone, CVRequestGone, false, false, CVRequestGone},
    {"Queued", Layout::JsonOnly, CVRequestQueued, CVRequestQueued, false, false, CVRequestGone},
    {"Claimed", Layout::ClaimedOnly, CVRequestClaimed, CVRequestClaimed, false, true, CVRequestClaimed},
    {"JsonTestedFirst", Layout::Both, CVRequestQueued, CVRequestQueued, false, true, CVRequestClaimed},
    {"DanglingJsonLinkCounts", Layout::JsonDanglingSymlink, CVRequestQueued, CVRequestQueued, false,
     false, CVRequestGone},
    {"DanglingClaimedLinkCounts", Layout::ClaimedDanglingSymlink, CVRequestClaimed, CVRequestClaimed,
     false, true, CVRequestClaimed},
    // A folder that cannot be opened tells nothing: not gone, not withdrawn.
    {"FolderSymlinkCannotBeTold", Layout::FolderIsSymlink, CVRequestUnknown, CVRequestUnknown, true, false,
     CVRequestUnknown},
    {"FolderFileCannotBeTold", Layout::FolderIsFile, CVRequestUnknown, CVRequestUnknown, false, false,
     CVRequestUnknown},
    {"FolderFifoCannotBeTold", Layout::FolderIsFifo, CVRequestUnknown, CVRequestUnknown, false, false,
     CVRequestUnknown},
};

class StateTable : public StateTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StateTable, StateAndWithdrawal) {
  const StateCase& c = GetParam();
  std::string real = tmp_.Join("elsewhere");
  switch (c.layout) {
    case Layout::NoQueueFolder:
      break;
    case Layout::FolderIsSymlink:
      ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
      ASSERT_TRUE(cvtest::WriteFile(real + "/" + kStem + ".json", "{}"));
      ASSERT_EQ(symlink("elsewhere", Queue().c_str()), 0);
      break;
    case Layout::FolderIsFile:
      ASSERT_TRUE(cvtest::WriteFile(Queue(), ""));
      break;
    case Layout::FolderIsFifo:
      ASSERT_EQ(mkfifo(Queue().c_str(), 0600), 0);
      break;
    default:
      ASSERT_EQ(mkdir(Queue().c_str(), 0700), 0);
      break;
  }
  bool json = c.layout == Layout::JsonOnly || c.layout == Layout::Both;
  bool claimed = c.layout == Layout::ClaimedOnly || c.layout == Layout::Both;
  if (json) {
    ASSERT_TRUE(cvtest::WriteFile(Json(), "{}"));
  }
  if (claimed) {
    ASSERT_TRUE(cvtest::WriteFile(Claimed(), "{}"));
  }
  if (c.layout == Layout::JsonDanglingSymlink) {
    ASSERT_EQ(symlink("nowhere", Json().c_str()), 0);
  }
  if (c.layout == Layout::ClaimedDanglingSymlink) {
    ASSERT_EQ(symlink("nowhere", Claimed().c_str()), 0);
  }

  int fds = CountOpenFds();
  EXPECT_EQ(CVRequestState(conf_, kStem), c.state);
  EXPECT_EQ(CVWithdrawRequest(conf_, kStem), c.withdraw);
  EXPECT_EQ(CountOpenFds(), fds);
  if (c.layout == Layout::FolderIsSymlink) {
    EXPECT_TRUE(Exists(real + "/" + kStem + ".json"));  // never reached through the link
  } else {
    EXPECT_EQ(Exists(Json()), c.jsonAfter);
    EXPECT_EQ(Exists(Claimed()), c.claimedAfter);
  }
  EXPECT_EQ(CVRequestState(conf_, kStem), c.stateAfter);
  if (c.layout == Layout::NoQueueFolder) {
    EXPECT_FALSE(Exists(Queue()));  // never created
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, StateTable, ::testing::ValuesIn(kStateCases),
                         cvqueuetest::ByName());

// The life of one request as the agent moves it along.
TEST_F(StateTest, FollowsTheAgentsClaimAndRemoval) {
  auto stem = CVWriteRequest(conf_, "open", std::string("/p.corva"));
  ASSERT_TRUE(stem);
  std::string json = Queue() + "/" + *stem + ".json", claimed = Queue() + "/" + *stem + ".claimed";
  EXPECT_EQ(CVRequestState(conf_, *stem), CVRequestQueued);
  ASSERT_EQ(rename(json.c_str(), claimed.c_str()), 0);
  EXPECT_EQ(CVRequestState(conf_, *stem), CVRequestClaimed);
  EXPECT_EQ(CVWithdrawRequest(conf_, *stem), CVRequestClaimed);
  EXPECT_TRUE(Exists(claimed));
  ASSERT_EQ(unlink(claimed.c_str()), 0);
  EXPECT_EQ(CVRequestState(conf_, *stem), CVRequestGone);
}

TEST_F(StateTest, WithdrawTwice) {
  auto stem = CVWriteRequest(conf_, "reopen", std::nullopt);
  ASSERT_TRUE(stem);
  EXPECT_EQ(CVWithdrawRequest(conf_, *stem), CVRequestQueued);
  EXPECT_TRUE(cvtest::ListDir(Queue()).empty());
  EXPECT_EQ(CVWithdrawRequest(conf_, *stem), CVRequestGone);
  EXPECT_EQ(CVRequestState(conf_, *stem), CVRequestGone);
}

// A failing test of <stem>.json tells nothing; once it is known absent, a
// failing test of <stem>.claimed counts as absence.
TEST_F(StateTest, FailingJsonTestCannotBeToldFailingClaimedTestIsAbsence) {
  ASSERT_EQ(mkdir(Queue().c_str(), 0700), 0);
  ASSERT_TRUE(cvtest::WriteFile(Claimed(), "{}"));
  // FstatAt of the name `failing` fails with EIO.
  class FailingStat : public cv::EnvWrapper {
   public:
    FailingStat() : EnvWrapper(cv::Env::Default()) {}
    std::string failing;
    int FstatAt(int dirFd, const char* path, struct stat* st, int flags) override {
      if (failing == path) {
        errno = EIO;
        return -1;
      }
      return EnvWrapper::FstatAt(dirFd, path, st, flags);
    }
  } env;
  std::string& failing = env.failing;
  cv::ScopedEnv guard(&env);
  failing = kStem + ".json";
  errno = 0;
  EXPECT_EQ(CVRequestState(conf_, kStem), CVRequestUnknown);
  EXPECT_EQ(errno, EIO);
  failing = kStem + ".claimed";
  EXPECT_EQ(CVRequestState(conf_, kStem), CVRequestGone);
  EXPECT_EQ(CVWithdrawRequest(conf_, kStem), CVRequestGone);
}

// A removal that fails otherwise than by absence withdrew nothing.
TEST_F(StateTest, FailingRemovalIsNoWithdrawal) {
  ASSERT_EQ(mkdir(Queue().c_str(), 0700), 0);
  ASSERT_TRUE(cvtest::WriteFile(Json(), "{}"));
  class ReadOnlyUnlink : public cv::EnvWrapper {
   public:
    ReadOnlyUnlink() : EnvWrapper(cv::Env::Default()) {}
    int UnlinkAt(int, const char*, int) override {
      errno = EROFS;
      return -1;
    }
  } env;
  cv::ScopedEnv guard(&env);
  int fds = CountOpenFds();
  errno = 0;
  EXPECT_EQ(CVWithdrawRequest(conf_, kStem), CVRequestUnknown);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(CountOpenFds(), fds);
  EXPECT_TRUE(Exists(Json()));
}

// With the identity of the folder a request was written into, a queue
// folder moved away, replaced or gone tells nothing of the request; only
// the same folder, back in its place, does.
TEST_F(StateTest, MovedOrReplacedQueueFolderCannotBeTold) {
  CVQueueDirId dir;
  auto stem = CVWriteRequest(conf_, "open", std::string("/p.corva"), &dir);
  ASSERT_TRUE(stem);
  struct stat st;
  ASSERT_EQ(stat(Queue().c_str(), &st), 0);
  EXPECT_EQ(dir.dev, st.st_dev);
  EXPECT_EQ(dir.ino, st.st_ino);
  std::string old = tmp_.Join("open-requests.old");
  ASSERT_EQ(rename(Queue().c_str(), old.c_str()), 0);

  struct Case {
    const char* name;
    std::function<void()> arrange;
    int err;
  };
  const Case cases[] = {
      {"Missing", [] {}, ENOENT},
      {"NewFolder", [&] { ASSERT_EQ(mkdir(Queue().c_str(), 0700), 0); }, ESTALE},
      {"File", [&] { ASSERT_TRUE(cvtest::WriteFile(Queue(), "")); }, ENOTDIR},
      // O_NOFOLLOW with O_DIRECTORY says ENOTDIR for a link.
      {"LinkToTheOldFolder", [&] { ASSERT_EQ(symlink(old.c_str(), Queue().c_str()), 0); }, ENOTDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    int fds = CountOpenFds();
    errno = 0;
    EXPECT_EQ(CVRequestState(conf_, *stem, &dir), CVRequestUnknown);
    EXPECT_EQ(errno, c.err);
    errno = 0;
    EXPECT_EQ(CVWithdrawRequest(conf_, *stem, &dir), CVRequestUnknown);
    EXPECT_EQ(errno, c.err);
    EXPECT_EQ(CountOpenFds(), fds);
    EXPECT_TRUE(Exists(old + "/" + *stem + ".json"));
    remove(Queue().c_str());
  }
  // Without the identity, a missing folder holds neither name.
  EXPECT_EQ(CVRequestState(conf_, *stem), CVRequestGone);
  ASSERT_EQ(rename(old.c_str(), Queue().c_str()), 0);
  EXPECT_EQ(CVRequestState(conf_, *stem, &dir), CVRequestQueued);
  EXPECT_EQ(CVWithdrawRequest(conf_, *stem, &dir), CVRequestQueued);
  EXPECT_EQ(CVRequestState(conf_, *stem, &dir), CVRequestGone);
}

// The identity comes from the folder's own descriptor: a failing fstat
// fails the write, leaving nothing.
TEST_F(StateTest, WriteThatCannotTellItsFolderFails) {
  // The second Fstat fails with EIO.
  class SecondFstatFails : public cv::EnvWrapper {
   public:
    SecondFstatFails() : EnvWrapper(cv::Env::Default()) {}
    int calls = 0;
    int Fstat(int fd, struct stat* st) override {
      if (++calls == 2) {
        errno = EIO;
        return -1;
      }
      return EnvWrapper::Fstat(fd, st);
    }
  } env;
  cv::ScopedEnv guard(&env);
  CVQueueDirId dir{1, 2};
  errno = 0;
  EXPECT_FALSE(CVWriteRequest(conf_, "reopen", std::nullopt, &dir));
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(dir.dev, 1u);
  EXPECT_EQ(dir.ino, 2u);
  EXPECT_TRUE(cvtest::ListDir(Queue()).empty());
}

// A queue folder that exists but that the user cannot open: run as an
// unprivileged user, since root opens anything.
TEST_F(StateTest, UnopenableQueueFolderAsUnprivilegedUser) {
  if (!cvtest::CanSwitchUser()) GTEST_SKIP() << "needs root";
  std::string conf = tmp_.Join("conf");
  std::string queue = conf + "/open-requests";
  ASSERT_EQ(mkdir(conf.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(queue.c_str(), 0700), 0);
  ASSERT_TRUE(cvtest::WriteFile(queue + "/" + kStem + ".json", "{}"));
  ASSERT_EQ(chown(conf.c_str(), cvtest::kNobody, cvtest::kNobody), 0);
  ASSERT_EQ(chown(queue.c_str(), cvtest::kNobody, cvtest::kNobody), 0);
  ASSERT_EQ(chmod(queue.c_str(), 0), 0);
  int rc = cvtest::RunAsUser(cvtest::kNobody, [&] {
    int fd = open(conf.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 10;
    errno = 0;
    if (CVRequestState(fd, kStem) != CVRequestUnknown || errno != EACCES) return 11;
    errno = 0;
    if (CVWithdrawRequest(fd, kStem) != CVRequestUnknown || errno != EACCES) return 12;
    errno = 0;
    if (CVWriteRequest(fd, "reopen", std::nullopt)) return 13;
    if (errno != EACCES) return 14;
    if (lastMs != 0) return 15;
    return 0;
  });
  EXPECT_EQ(rc, 0);
  ASSERT_EQ(chmod(queue.c_str(), 0700), 0);
  EXPECT_EQ(cvtest::ListDir(queue), std::vector<std::string>{kStem + ".json"});
}

}  // namespace
