// Creation of the controller and the wording of settings-folder errors.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "opener_fixture.h"

namespace cvtest {
namespace {

using InitTest = OpenerTest;

TEST_F(InitTest, FreshControllerOpensFolderAndStartsEmpty) {
  CVOpener& o = Make();
  ASSERT_GE(o.TEST_Cfd(), 0);
  EXPECT_EQ(o.TEST_CfdErr(), 0);
  struct stat st;
  ASSERT_EQ(fstat(o.TEST_Cfd(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(fcntl(o.TEST_Cfd(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_EQ(o.TEST_BundledAgent(), agents.bundled);
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_EQ(o.TEST_QueuedAlerts(), 0u);
  EXPECT_EQ(o.TEST_Phase(), CVPhaseIdle);
  EXPECT_FALSE(o.TEST_Ticking());
  EXPECT_FALSE(o.TEST_Launched() || o.TEST_SawEvent() || o.TEST_GraceDone() || o.TEST_Alerting() ||
               o.TEST_Quitting());
  EXPECT_FALSE(o.TEST_LaunchedAt() || o.TEST_StartingUntil() || o.TEST_ClaimBy() || o.TEST_HandoffUntil());
  EXPECT_EQ(o.TEST_Child(), 0);
  EXPECT_EQ(o.TEST_AgentPid(), 0);
  EXPECT_FALSE(o.TEST_ChildWatched());
  // Creation is silent.
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(platform.TimersCreated(), 0);
}

TEST_F(InitTest, NoBundledAgentIsRemembered) {
  agents.bundled.reset();
  EXPECT_FALSE(Make().TEST_BundledAgent());
}

TEST_F(InitTest, RelativeFolderGivesEinvalAndItsWording) {
  ScopedEnv relative("CORVANTIS_AGENT_DIR", "relative/Corvantis");
  CVOpener& o = Make();
  EXPECT_EQ(o.TEST_Cfd(), -1);
  EXPECT_EQ(o.TEST_CfdErr(), EINVAL);
  EXPECT_EQ(o.confErrorText(o.TEST_CfdErr()),
            "Corvantis can't reach its settings folder (~/Corvantis): its location isn't an "
            "absolute path.");
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(InitTest, FolderOfAnotherUserGivesEperm) {
  if (!CanSwitchUser()) GTEST_SKIP() << "needs root to give the folder away";
  ASSERT_EQ(mkdir(settings.c_str(), 0700), 0);
  ASSERT_EQ(chown(settings.c_str(), kNobody, kNobody), 0);
  CVOpener& o = Make();
  EXPECT_EQ(o.TEST_Cfd(), -1);
  EXPECT_EQ(o.TEST_CfdErr(), EPERM);
  EXPECT_EQ(o.confErrorText(o.TEST_CfdErr()), std::string("Corvantis can't reach its settings folder "
                                                    "(~/Corvantis): ") +
                                            strerror(EPERM) + ".");
}

struct WordingCase {
  const char* name;
  const char* home;    // nullptr: unset
  const char* dir;     // CORVANTIS_AGENT_DIR
  int err;
  const char* where;
  const char* reason;  // nullptr: strerror(reasonErr)
  int reasonErr;
};
void PrintTo(const WordingCase& c, std::ostream* os) { *os << c.name; }


class ConfErrorTextTest : public OpenerTest, public ::testing::WithParamInterface<WordingCase> {};

TEST_P(ConfErrorTextTest, WordsWhereAndWhy) {
  const WordingCase& c = GetParam();
  Make();
  ScopedEnv h("HOME", c.home ? std::optional<std::string>(c.home) : std::nullopt);
  ScopedEnv d("CORVANTIS_AGENT_DIR", c.dir);
  std::string reason = c.reason ? c.reason : strerror(c.reasonErr);
  EXPECT_EQ(opener->confErrorText(c.err),
            std::string("Corvantis can't reach its settings folder (") + c.where + "): " + reason +
                ".");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfErrorTextTest,
    ::testing::Values(
        WordingCase{"InHome", "/home/u", "/home/u/x", EACCES, "~/x", nullptr, EACCES},
        WordingCase{"HomeWithSlash", "/home/u/", "/home/u/x/y", EACCES, "~/x/y", nullptr, EACCES},
        WordingCase{"HomeItself", "/home/u", "/home/u", EACCES, "~", nullptr, EACCES},
        WordingCase{"SiblingOfHome", "/home/u", "/home/u2", EACCES, "/home/u2", nullptr, EACCES},
        WordingCase{"OutsideHome", "/home/u", "/srv/c", EACCES, "/srv/c", nullptr, EACCES},
        WordingCase{"NoHome", nullptr, "/home/u/x", EACCES, "/home/u/x", nullptr, EACCES},
        WordingCase{"ZeroIsEio", "/home/u", "/srv/c", 0, "/srv/c", nullptr, EIO},
        WordingCase{"EinvalWithPath", "/home/u", "/srv/c", EINVAL, "/srv/c", nullptr, EINVAL},
        WordingCase{"EinvalWithoutPath", "/home/u", "rel", EINVAL, "~/Corvantis",
                    "its location isn't an absolute path", 0},
        WordingCase{"OtherErrorWithoutPath", "/home/u", "rel", ENOENT, "~/Corvantis", nullptr,
                    ENOENT}),
    [](const auto& tp) { return std::string(tp.param.name); });

// Lowers this process's descriptor limit so that exactly `free` more
// descriptors can be opened; restores it when it goes.
class ScopedDescriptorRoom {
 public:
  explicit ScopedDescriptorRoom(int free) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    int found = 0;
    int limit = 0;
    for (int fd = 0;; ++fd) {
      if (fcntl(fd, F_GETFD) >= 0) continue;
      if (found == free) {
        limit = fd;
        break;
      }
      ++found;
    }
    struct rlimit lower = saved_;
    lower.rlim_cur = static_cast<rlim_t>(limit);
    ok_ = setrlimit(RLIMIT_NOFILE, &lower) == 0;
  }
  ~ScopedDescriptorRoom() { setrlimit(RLIMIT_NOFILE, &saved_); }
  bool ok() const { return ok_; }

 private:
  struct rlimit saved_;
  bool ok_ = false;
};

TEST_F(InitTest, TooFewDescriptorsForARunMakeTheFolderUnusable) {
  // The settings folder and its parents exist beforehand: their creation
  // would need descriptors of its own.
  Make();
  ASSERT_GE(opener->TEST_Cfd(), 0);
  opener.reset();
  struct Case {
    int free;
    bool usable;
  } cases[] = {{0, false}, {1, false}, {8, false}, {9, true}, {12, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.free);
    platform = FakePlatform();
    std::unique_ptr<CVOpener> o;
    {
      ScopedDescriptorRoom room(c.free);
      ASSERT_TRUE(room.ok());
      o = std::make_unique<CVOpener>(platform, agents);
    }
    EXPECT_EQ(o->TEST_Cfd() >= 0, c.usable);
    if (c.usable) continue;
    EXPECT_EQ(o->TEST_CfdErr(), EMFILE);
    o->applicationDidFinishLaunching();
    o->openURLs(Docs(1));
    EXPECT_EQ(AlertTexts(), std::vector<std::string>{o->confErrorText(EMFILE)});
    EXPECT_TRUE(QueueFiles().empty());
  }
}

}  // namespace
}  // namespace cvtest
