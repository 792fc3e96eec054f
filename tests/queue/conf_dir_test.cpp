// The settings folder: where it lies (environment and password database),
// how it and "open-requests" are opened, created and secured, and where the
// bundled agent copy lies.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>

#include "queue/conf_dir.h"
#include "queue_test_util.h"
#include "test_support.h"
#include "util/env.h"

namespace {

using cvqueuetest::CountOpenFds;
using cvqueuetest::Exists;
using cvqueuetest::ModeOf;
using cvtest::ScopedEnv;
using cvtest::TempDir;

using Env = std::optional<std::string>;
const Env kUnset = std::nullopt;

// ---- CVConfDir: sources and their precedence ----

struct ConfDirCase {
  const char* name;
  Env agentDir, appData, home;
  Env expected;
};

const ConfDirCase kConfDirCases[] = {
    {"OverrideWinsOverAll", "/x/agent", "/a", "/h", "/x/agent"},
    {"OverrideKeepsTrailingSlash", "/x/agent/", kUnset, "/h", "/x/agent/"},
    {"OverrideTildeNotExpanded", "~/agent", kUnset, "/h", kUnset},
    {"RelativeOverrideStopsTheSearch", "rel/agent", "/a", "/h", kUnset},
    {"EmptyOverrideCountsAsUnset", "", "/a", "/h", "/a/Corvantis"},
    {"AppDataBeforeHome", kUnset, "/a", "/h", "/a/Corvantis"},
    {"AppDataTrailingSlashNotDoubled", kUnset, "/a/", "/h", "/a/Corvantis"},
    {"EmptyAppDataMeansNoFolderEvenWithHome", kUnset, "", "/h", kUnset},
    {"RelativeAppDataMeansNoFolder", kUnset, "rel", "/h", kUnset},
    {"HomeWhenAppDataUnset", kUnset, kUnset, "/h", "/h/Corvantis"},
    {"HomeTrailingSlashNotDoubled", kUnset, kUnset, "/Users/someone/", "/Users/someone/Corvantis"},
    {"HomeOfSlashesOnly", kUnset, kUnset, "//", "/Corvantis"},
    {"EmptyHomeStandsForRoot", kUnset, kUnset, "", "/Corvantis"},
    {"HomeRoot", kUnset, kUnset, "/", "/Corvantis"},
    {"RelativeHomeMeansNoFolder", kUnset, kUnset, "h", kUnset},
};

class ConfDirSources : public ::testing::TestWithParam<ConfDirCase> {};

TEST_P(ConfDirSources, ResolvesFirstApplyingSource) {
  const ConfDirCase& c = GetParam();
  ScopedEnv a("CORVANTIS_AGENT_DIR", c.agentDir);
  ScopedEnv b("APPDATA", c.appData);
  ScopedEnv h("HOME", c.home);
  EXPECT_EQ(CVConfDir(), c.expected);
}

// The same rule on an environment handed in, while the process's own
// environment says something else.
TEST_P(ConfDirSources, ResolvesGivenEnvironmentAlike) {
  const ConfDirCase& c = GetParam();
  ScopedEnv a("CORVANTIS_AGENT_DIR", "/own/folder");
  int lookups = 0;
  CVConfDirSources sources;
  sources.getenv = [&c](const char* name) -> Env {
    std::string n = name;
    if (n == "CORVANTIS_AGENT_DIR") return c.agentDir;
    if (n == "APPDATA") return c.appData;
    if (n == "HOME") return c.home;
    return kUnset;
  };
  sources.realUserHome = [&]() -> Env {
    ++lookups;
    return "/pw";
  };
  EXPECT_EQ(CVConfDirFrom(sources), c.expected);
  EXPECT_EQ(lookups, 0);
}

INSTANTIATE_TEST_SUITE_P(Env, ConfDirSources, ::testing::ValuesIn(kConfDirCases),
                         cvqueuetest::ByName());

TEST(ConfDirFrom, PasswordHomeWhenNeitherAppDataNorHome) {
  CVConfDirSources sources;
  sources.getenv = [](const char*) -> Env { return kUnset; };
  sources.realUserHome = []() -> Env { return "/pw/u/"; };
  EXPECT_EQ(CVConfDirFrom(sources), "/pw/u/Corvantis");
  sources.realUserHome = []() -> Env { return kUnset; };
  EXPECT_EQ(CVConfDirFrom(sources), kUnset);
}

// ---- CVSameConfDir ----

struct SameCase {
  const char* name;
  const char* a;
  const char* b;
  bool same;
};

const SameCase kSameCases[] = {
    {"Identical", "/h/Corvantis", "/h/Corvantis", true},
    {"TrailingSlash", "/h/Corvantis/", "/h/Corvantis", true},
    {"TrailingSlashes", "/h/Corvantis///", "/h/Corvantis", true},
    {"DoubledSlashInside", "/h//Corvantis", "/h/Corvantis", true},
    {"LeadingDoubleSlash", "//h/Corvantis", "/h/Corvantis", true},
    {"DotComponent", "/h/./Corvantis/.", "/h/Corvantis", true},
    {"RootSpellings", "//", "/", true},
    {"OtherFolder", "/h/Corvantis", "/g/Corvantis", false},
    {"Prefix", "/h/Corvantis", "/h/Corvantis2", false},
    {"Parent", "/h/Corvantis", "/h", false},
    {"CaseMatters", "/h/corvantis", "/h/Corvantis", false},
    {"DotDotNotResolved", "/h/x/../Corvantis", "/h/Corvantis", false},
    {"DotsInNamesKept", "/h/..Corvantis", "/h/Corvantis", false},
};

class SameConfDir : public ::testing::TestWithParam<SameCase> {};

TEST_P(SameConfDir, ComparesLexically) {
  const SameCase& c = GetParam();
  EXPECT_EQ(CVSameConfDir(c.a, c.b), c.same);
  EXPECT_EQ(CVSameConfDir(c.b, c.a), c.same);
}

INSTANTIATE_TEST_SUITE_P(Paths, SameConfDir, ::testing::ValuesIn(kSameCases), cvqueuetest::ByName());

// ---- CVSameConfFolder ----

// One directory is one folder however it is reached; where a spelling
// names nothing, the text decides as CVSameConfDir decides.
TEST(SameConfFolder, OneDirectoryHoweverSpelt) {
  TempDir root;
  ASSERT_EQ(mkdir(root.Join("real").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(root.Join("real/Corvantis").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(root.Join("real/sub").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(root.Join("other").c_str(), 0700), 0);
  ASSERT_EQ(symlink("real", root.Join("link").c_str()), 0);
  ASSERT_EQ(symlink("real/sub", root.Join("sublink").c_str()), 0);
  const std::string own = root.Join("link/Corvantis");
  struct Case {
    std::string other;
    bool same;
  } cases[] = {
      {root.Join("real/Corvantis"), true},
      {root.path() + "//real/./Corvantis/.", true},
      {root.Join("sublink/../Corvantis"), true},  // ".." of the link's target
      {root.Join("link/Corvantis"), true},
      {root.Join("other"), false},
      {root.Join("real"), false},
      {root.Join("missing/Corvantis"), false},
      {root.Join("real/Corvantis/../missing/.."), false},  // cannot be looked up
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CVSameConfFolder(own, c.other), c.same) << c.other;
    EXPECT_EQ(CVSameConfFolder(c.other, own), c.same) << c.other;
  }
  // Neither there: the text alone.
  EXPECT_TRUE(CVSameConfFolder(root.Join("gone/C"), root.path() + "//gone/./C/"));
  EXPECT_FALSE(CVSameConfFolder(root.Join("gone/C"), root.Join("link/../gone/C")));
}

// APPDATA and HOME unset: the real password database.
TEST(ConfDirPasswd, RealUsersHomeWhenAppDataAndHomeUnset) {
  ScopedEnv a("CORVANTIS_AGENT_DIR", kUnset);
  ScopedEnv b("APPDATA", kUnset);
  ScopedEnv h("HOME", kUnset);
  std::string home = cv::Env::Default()->RealUserHome().value_or("?");
  if (getuid() == 0) {
    EXPECT_EQ(home, "/root");
  }
  EXPECT_EQ(CVConfDir(), (home == "/" ? std::string("") : home) + "/Corvantis");
}

struct PasswdCase {
  const char* name;
  Env pwDir;
  Env expected;
};

const PasswdCase kPasswdCases[] = {
    {"NoEntryOrNoHome", kUnset, kUnset},
    {"EmptyHomeIsRelative", "", kUnset},
    {"RelativeHome", "home/u", kUnset},
    {"TrailingSlash", "/srv/u/", "/srv/u/Corvantis"},
    {"Plain", "/srv/u", "/srv/u/Corvantis"},
};

class ConfDirPasswdTable : public ::testing::TestWithParam<PasswdCase> {};

TEST_P(ConfDirPasswdTable, JoinsHomeDirectory) {
  const PasswdCase& c = GetParam();
  ScopedEnv a("CORVANTIS_AGENT_DIR", kUnset);
  ScopedEnv b("APPDATA", kUnset);
  ScopedEnv h("HOME", kUnset);
  class PasswdHome : public cv::EnvWrapper {
   public:
    explicit PasswdHome(std::optional<std::string> home)
        : EnvWrapper(cv::Env::Default()), home_(std::move(home)) {}
    std::optional<std::string> RealUserHome() override { return home_; }

   private:
    std::optional<std::string> home_;
  } env(c.pwDir);
  cv::ScopedEnv guard(&env);
  EXPECT_EQ(CVConfDir(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Passwd, ConfDirPasswdTable, ::testing::ValuesIn(kPasswdCases),
                         cvqueuetest::ByName());

TEST(ConfDirPasswd, NotConsultedWhenHomeIsSet) {
  ScopedEnv a("CORVANTIS_AGENT_DIR", kUnset);
  ScopedEnv b("APPDATA", kUnset);
  ScopedEnv h("HOME", "/h");
  class CountedHome : public cv::EnvWrapper {
   public:
    CountedHome() : EnvWrapper(cv::Env::Default()) {}
    int lookups = 0;
    std::optional<std::string> RealUserHome() override {
      ++lookups;
      return "/pw";
    }
  } env;
  cv::ScopedEnv guard(&env);
  EXPECT_EQ(CVConfDir(), "/h/Corvantis");
  EXPECT_EQ(env.lookups, 0);
}

// ---- CVOpenConfDir ----

TEST(OpenConfDir, NoPathIsEinval) {
  ScopedEnv a("CORVANTIS_AGENT_DIR", "relative");
  errno = 0;
  EXPECT_EQ(CVOpenConfDir(), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST(OpenConfDir, CreatesOverrideFolderWith0700) {
  TempDir tmp;
  ScopedEnv a("CORVANTIS_AGENT_DIR", tmp.Join("conf"));
  int fd = CVOpenConfDir();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ModeOf(tmp.Join("conf")), 0700);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  close(fd);
}

TEST(OpenConfDir, FollowsSymlinkToOwnedFolderAndTightensTarget) {
  TempDir tmp;
  ASSERT_EQ(mkdir(tmp.Join("real").c_str(), 0700), 0);
  ASSERT_EQ(chmod(tmp.Join("real").c_str(), 0755), 0);
  ASSERT_EQ(symlink("real", tmp.Join("conf").c_str()), 0);
  ScopedEnv a("CORVANTIS_AGENT_DIR", tmp.Join("conf"));
  int fd = CVOpenConfDir();
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(ModeOf(tmp.Join("real")), 0700);
}

TEST(OpenConfDir, HomeSourceCreatesCorvantisBelowHome) {
  TempDir tmp;
  ScopedEnv a("CORVANTIS_AGENT_DIR", kUnset);
  ScopedEnv b("APPDATA", kUnset);
  ScopedEnv h("HOME", tmp.path() + "/");
  int fd = CVOpenConfDir();
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(ModeOf(tmp.Join("Corvantis")), 0700);
}

// ---- CVOpenOwnedDir: modes before and after ----

struct ModeCase {
  int before;
  int after;
  bool tightened;
};

class OwnedDirModes : public ::testing::TestWithParam<std::tuple<ModeCase, bool>> {};

TEST_P(OwnedDirModes, TightensOnlyGroupAndOtherBits) {
  auto [c, noFollow] = GetParam();
  TempDir tmp;
  std::string dir = tmp.Join("d");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(chmod(dir.c_str(), static_cast<mode_t>(c.before)), 0);
  class CountedFchmod : public cv::EnvWrapper {
   public:
    CountedFchmod() : EnvWrapper(cv::Env::Default()) {}
    int fchmods = 0;
    int Fchmod(int fd, mode_t mode) override {
      ++fchmods;
      return EnvWrapper::Fchmod(fd, mode);
    }
  } env;
  cv::ScopedEnv guard(&env);
  int fd = CVOpenOwnedDir(AT_FDCWD, dir.c_str(), noFollow);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(ModeOf(dir), c.after);
  EXPECT_EQ(env.fchmods, c.tightened ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, OwnedDirModes,
                         ::testing::Combine(::testing::Values(ModeCase{0755, 0700, true},
                                                              ModeCase{0700, 0700, false},
                                                              ModeCase{0750, 0700, true},
                                                              ModeCase{0701, 0700, true},
                                                              ModeCase{0500, 0500, false},
                                                              ModeCase{02700, 02700, false},
                                                              ModeCase{01777, 0700, true},
                                                              ModeCase{0777, 0700, true}),
                                            ::testing::Bool()));

// ---- CVOpenOwnedDir: creation ----

TEST(OwnedDir, CreatesMissingFolderWith0700RelativeToBase) {
  TempDir tmp;
  int base = open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(base, 0);
  mode_t old = umask(0);
  int fd = CVOpenOwnedDir(base, "open-requests", true);
  umask(old);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
  close(fd);
  close(base);
}

TEST(OwnedDir, AbsolutePathIgnoresBase) {
  TempDir tmp;
  int fd = CVOpenOwnedDir(-1, tmp.Join("abs").c_str(), false);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(ModeOf(tmp.Join("abs")), 0700);
}

TEST(OwnedDir, MissingParentIsEnoentAndCreatesNothing) {
  TempDir tmp;
  errno = 0;
  EXPECT_EQ(CVOpenOwnedDir(AT_FDCWD, tmp.Join("no/such").c_str(), false), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(cvtest::ListDir(tmp.path()).empty());
}

TEST(OwnedDir, RacingCreatorsEexistCountsAsSuccess) {
  TempDir tmp;
  class LosingMkdir : public cv::EnvWrapper {
   public:
    LosingMkdir() : EnvWrapper(cv::Env::Default()) {}
    int MkdirAt(int base, const char* path, mode_t mode) override {
      EnvWrapper::MkdirAt(base, path, mode);  // the other process wins
      errno = EEXIST;
      return -1;
    }
  } env;
  cv::ScopedEnv guard(&env);
  int fd = CVOpenOwnedDir(AT_FDCWD, tmp.Join("d").c_str(), false);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
}

// ---- CVOpenOwnedDir: refusals ----

enum class Setup { OtherOwner, RegularFile, SymlinkNoFollow, DanglingNoFollow, DanglingFollow,
                   SymlinkToOtherOwner, Fifo, FifoNoFollow, SymlinkToFileNoFollow, SymlinkToFifoNoFollow };

struct RefusalCase {
  const char* name;
  Setup setup;
  bool noFollow;
  int err;
};

const RefusalCase kRefusals[] = {
    {"OtherOwnerIsEperm", Setup::OtherOwner, false, EPERM},
    {"RegularFileIsOpenError", Setup::RegularFile, false, ENOTDIR},
    // Linux answers ENOTDIR for a link under O_NOFOLLOW|O_DIRECTORY; a link
    // is reported as one, whatever it leads to.
    {"SymlinkRefusedWithNoFollowIsEloop", Setup::SymlinkNoFollow, true, ELOOP},
    {"DanglingSymlinkRefusedWithNoFollowIsEloop", Setup::DanglingNoFollow, true, ELOOP},
    {"SymlinkToFileRefusedWithNoFollowIsEloop", Setup::SymlinkToFileNoFollow, true, ELOOP},
    {"SymlinkToFifoRefusedWithNoFollowIsEloop", Setup::SymlinkToFifoNoFollow, true, ELOOP},
    {"FifoIsEnotdir", Setup::Fifo, false, ENOTDIR},
    {"FifoWithNoFollowIsEnotdir", Setup::FifoNoFollow, true, ENOTDIR},
    {"DanglingSymlinkFollowedIsEnoent", Setup::DanglingFollow, false, ENOENT},
    {"SymlinkToOtherOwnerIsEperm", Setup::SymlinkToOtherOwner, false, EPERM},
};

class OwnedDirRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(OwnedDirRefusals, FailWithErrnoAndChangeNothing) {
  const RefusalCase& c = GetParam();
  if ((c.setup == Setup::OtherOwner || c.setup == Setup::SymlinkToOtherOwner) &&
      !cvtest::CanSwitchUser())
    GTEST_SKIP() << "needs root to chown";
  TempDir tmp;
  std::string d = tmp.Join("d"), real = tmp.Join("real");
  switch (c.setup) {
    case Setup::OtherOwner:
      ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
      ASSERT_EQ(chmod(d.c_str(), 0755), 0);
      ASSERT_EQ(chown(d.c_str(), cvtest::kNobody, cvtest::kNobody), 0);
      break;
    case Setup::RegularFile:
      ASSERT_TRUE(cvtest::WriteFile(d, "x", 0644));
      break;
    case Setup::SymlinkNoFollow:
      ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
      ASSERT_EQ(chmod(real.c_str(), 0755), 0);
      ASSERT_EQ(symlink("real", d.c_str()), 0);
      break;
    case Setup::DanglingNoFollow:
    case Setup::DanglingFollow:
      ASSERT_EQ(symlink("real", d.c_str()), 0);
      break;
    case Setup::Fifo:
    case Setup::FifoNoFollow:
      ASSERT_EQ(mkfifo(d.c_str(), 0600), 0);
      break;
    case Setup::SymlinkToFileNoFollow:
      ASSERT_TRUE(cvtest::WriteFile(real, "x", 0644));
      ASSERT_EQ(symlink("real", d.c_str()), 0);
      break;
    case Setup::SymlinkToFifoNoFollow:
      ASSERT_EQ(mkfifo(real.c_str(), 0600), 0);
      ASSERT_EQ(symlink("real", d.c_str()), 0);
      break;
    case Setup::SymlinkToOtherOwner:
      ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
      ASSERT_EQ(chmod(real.c_str(), 0755), 0);
      ASSERT_EQ(chown(real.c_str(), cvtest::kNobody, cvtest::kNobody), 0);
      ASSERT_EQ(symlink("real", d.c_str()), 0);
      break;
  }
  auto before = cvtest::ListDir(tmp.path());
  int dMode = ModeOf(d), realMode = ModeOf(real);
  int fds = CountOpenFds();
  errno = 0;
  EXPECT_EQ(CVOpenOwnedDir(AT_FDCWD, d.c_str(), c.noFollow), -1);
  EXPECT_EQ(errno, c.err);
  EXPECT_EQ(CountOpenFds(), fds);
  EXPECT_EQ(cvtest::ListDir(tmp.path()), before);
  EXPECT_EQ(ModeOf(d), dMode);
  EXPECT_EQ(ModeOf(real), realMode);
  struct stat st;
  if (c.setup == Setup::OtherOwner) {
    ASSERT_EQ(lstat(d.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, cvtest::kNobody);
  }
}

INSTANTIATE_TEST_SUITE_P(Refusals, OwnedDirRefusals, ::testing::ValuesIn(kRefusals),
                         cvqueuetest::ByName());

// ---- CVOpenOwnedDir: failing calls ----

TEST(OwnedDirFaults, FstatFailureIsEpermAndClosesDescriptor) {
  TempDir tmp;
  class FailingFstat : public cv::EnvWrapper {
   public:
    FailingFstat() : EnvWrapper(cv::Env::Default()) {}
    int Fstat(int, struct stat*) override {
      errno = EIO;
      return -1;
    }
  } env;
  cv::ScopedEnv guard(&env);
  int fds = CountOpenFds();
  errno = 0;
  EXPECT_EQ(CVOpenOwnedDir(AT_FDCWD, tmp.path().c_str(), false), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(CountOpenFds(), fds);
}

TEST(OwnedDirFaults, FchmodFailureIsItsErrorAndClosesDescriptor) {
  TempDir tmp;
  ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
  class ReadOnlyFchmod : public cv::EnvWrapper {
   public:
    ReadOnlyFchmod() : EnvWrapper(cv::Env::Default()) {}
    int closes = 0;
    int Fchmod(int, mode_t) override {
      errno = EROFS;
      return -1;
    }
    int Close(int fd) override {
      ++closes;
      EnvWrapper::Close(fd);
      errno = EBADF;  // a clean-up error must not replace the reason
      return -1;
    }
  } env;
  const int& closes = env.closes;
  cv::ScopedEnv guard(&env);
  int fds = CountOpenFds();
  errno = 0;
  EXPECT_EQ(CVOpenOwnedDir(AT_FDCWD, tmp.path().c_str(), false), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(CountOpenFds(), fds);
  EXPECT_EQ(ModeOf(tmp.path()), 0755);
}

TEST(OwnedDirFaults, SecondOpenAfterCreationFailsWithItsError) {
  TempDir tmp;
  class SecondOpenFails : public cv::EnvWrapper {
   public:
    SecondOpenFails() : EnvWrapper(cv::Env::Default()) {}
    int opens = 0;
    int OpenAt(int base, const char* path, int flags, mode_t mode) override {
      if (++opens == 2) {
        errno = EMFILE;
        return -1;
      }
      return EnvWrapper::OpenAt(base, path, flags, mode);
    }
  } env;
  const int& opens = env.opens;
  cv::ScopedEnv guard(&env);
  errno = 0;
  EXPECT_EQ(CVOpenOwnedDir(AT_FDCWD, tmp.Join("d").c_str(), false), -1);
  EXPECT_EQ(errno, EMFILE);
  EXPECT_EQ(opens, 2);
  EXPECT_TRUE(Exists(tmp.Join("d")));
}

TEST(OwnedDirFaults, OpenErrorOtherThanEnoentCreatesNothing) {
  TempDir tmp;
  class DeniedOpen : public cv::EnvWrapper {
   public:
    DeniedOpen() : EnvWrapper(cv::Env::Default()) {}
    int mkdirs = 0;
    int OpenAt(int, const char*, int, mode_t) override {
      errno = EACCES;
      return -1;
    }
    int MkdirAt(int, const char*, mode_t) override {
      ++mkdirs;
      return 0;
    }
  } env;
  const int& mkdirs = env.mkdirs;
  cv::ScopedEnv guard(&env);
  errno = 0;
  EXPECT_EQ(CVOpenOwnedDir(AT_FDCWD, tmp.Join("d").c_str(), false), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(mkdirs, 0);
}

// Permission cases run as an unprivileged user: root ignores modes.
TEST(OwnedDirAsUser, UnwritableParentIsMkdirError) {
  if (!cvtest::CanSwitchUser()) GTEST_SKIP() << "needs root";
  TempDir tmp;  // root's, mode 0755
  std::string d = tmp.Join("d");
  int rc = cvtest::RunAsUser(cvtest::kNobody, [&] {
    errno = 0;
    if (CVOpenOwnedDir(AT_FDCWD, d.c_str(), false) != -1) return 1;
    return errno == EACCES ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(Exists(d));
}

TEST(OwnedDirAsUser, NoSearchPermissionIsOpenError) {
  if (!cvtest::CanSwitchUser()) GTEST_SKIP() << "needs root";
  TempDir tmp;
  std::string parent = tmp.Join("p");
  ASSERT_EQ(mkdir(parent.c_str(), 0700), 0);  // root's, closed to nobody
  int rc = cvtest::RunAsUser(cvtest::kNobody, [&] {
    errno = 0;
    if (CVOpenOwnedDir(AT_FDCWD, (parent + "/d").c_str(), false) != -1) return 1;
    return errno == EACCES ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(cvtest::ListDir(parent).empty());
}

// ---- CVBundledAgent ----

struct BundleCase {
  const char* name;
  const char* exe;        // relative to the temporary folder; "" for unknown
  const char* agent;      // relative; nullptr for none
  int agentMode;
  bool agentIsDir;
  const char* expected;   // relative; nullptr for none
};

const BundleCase kBundleCases[] = {
    {"InstalledBundle", "App.app/Contents/MacOS/corvantis-opener",
     "App.app/Contents/Resources/agent/CorvantisAgent", 0755, false,
     "App.app/Contents/Resources/agent/CorvantisAgent"},
    {"OwnerExecutableOnly", "App.app/Contents/MacOS/corvantis-opener",
     "App.app/Contents/Resources/agent/CorvantisAgent", 0700, false,
     "App.app/Contents/Resources/agent/CorvantisAgent"},
    {"NotExecutable", "App.app/Contents/MacOS/corvantis-opener",
     "App.app/Contents/Resources/agent/CorvantisAgent", 0644, false, nullptr},
    {"Missing", "App.app/Contents/MacOS/corvantis-opener", nullptr, 0, false, nullptr},
    {"DirectoryInItsPlace", "App.app/Contents/MacOS/corvantis-opener",
     "App.app/Contents/Resources/agent/CorvantisAgent", 0755, true, nullptr},
    {"DevelopmentBuildHasNoResources", "build/bin/corvantis-opener",
     "build/Resources/agent/CorvantisAgent", 0755, false, nullptr},
    {"FolderOnlyEndingInMacOSText", "XContents/MacOS/corvantis-opener",
     "XContents/Resources/agent/CorvantisAgent", 0755, false, nullptr},
    {"ExecutableUnknown", "", "App.app/Contents/Resources/agent/CorvantisAgent", 0755, false,
     nullptr},
};

class BundledAgent : public ::testing::TestWithParam<BundleCase> {};

bool MakeDirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

TEST_P(BundledAgent, FindsExecutableCopyBesideMacOSFolder) {
  const BundleCase& c = GetParam();
  TempDir tmp;
  if (c.agent) {
    std::string agent = tmp.Join(c.agent);
    ASSERT_TRUE(MakeDirs(agent.substr(0, agent.rfind('/'))));
    if (c.agentIsDir) {
      ASSERT_EQ(mkdir(agent.c_str(), 0755), 0);
    } else {
      ASSERT_TRUE(cvtest::WriteFile(agent, "#!/bin/sh\n", 0600));
      ASSERT_EQ(chmod(agent.c_str(), static_cast<mode_t>(c.agentMode)), 0);
    }
  }
  std::string exe = std::string(c.exe).empty() ? "" : tmp.Join(c.exe);
  // The running program is `exe`; none when empty.
  class ProgramAt : public cv::EnvWrapper {
   public:
    explicit ProgramAt(std::string exe) : EnvWrapper(cv::Env::Default()), exe_(std::move(exe)) {}
    std::optional<std::string> ExePath() override {
      if (exe_.empty()) return std::nullopt;
      return exe_;
    }

   private:
    std::string exe_;
  } env(exe);
  cv::ScopedEnv guard(&env);
  EXPECT_EQ(CVBundledAgent(), c.expected ? Env(tmp.Join(c.expected)) : kUnset);
}

INSTANTIATE_TEST_SUITE_P(Layouts, BundledAgent, ::testing::ValuesIn(kBundleCases),
                         cvqueuetest::ByName());

TEST(BundledAgentReal, TestProgramOutsideABundleHasNone) {
  auto exe = cv::Env::Default()->ExePath();
  ASSERT_TRUE(exe);
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
  ASSERT_GT(n, 0);
  EXPECT_EQ(*exe, std::string(buf, static_cast<size_t>(n)));
  EXPECT_EQ(CVBundledAgent(), kUnset);
}

}  // namespace
