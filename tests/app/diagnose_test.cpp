// --diagnose on an Env of its own: real settings folders in temporary
// directories (shown unchanged afterwards), with the lock probe, the process
// scan, the service query, the clock and the program's place scripted.
#include "app/diagnose.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "agent/probe.h"
#include "child_process.h"
#include "fake_agents.h"
#include "opener/conf_error_text.h"
#include "queue/conf_dir.h"
#include "queue/request.h"
#include "test_support.h"
#include "tree_snapshot.h"
#include "util/env.h"

namespace {

using cvtest::TempDir;

constexpr char kStemA[] = "1796873372279-bf859ee000a246e882f03fea5439a4a5";
constexpr char kStemB[] = "1796873375279-0123456789abcdef0123456789abcdef";
constexpr double kNow = 1796873380.279;  // 8 s after kStemA, 5 s after kStemB

// Names parameterized cases by their `name` field.
struct ByName {
  template <class P>
  std::string operator()(const ::testing::TestParamInfo<P>& info) const {
    return info.param.name;
  }
};

cv::CommandResult NoManager() {
  cv::CommandResult r;
  r.status = 1;
  r.err = "Failed to connect to bus: No medium found\n";
  return r;
}

cv::CommandResult Answer(const std::string& out) {
  cv::CommandResult r;
  r.status = 0;
  r.out = out;
  return r;
}

// The system as --diagnose meets it: the real one, but for the variables,
// the clock, the program's place, executable files and the service query,
// which the test sets, and the file-system answers a test scripts.
class FakeEnv : public cv::EnvWrapper {
 public:
  FakeEnv() : EnvWrapper(cv::Env::Default()) {}

  // Variables with a value of the test's (nullopt: unset); the others as
  // the process has them.
  std::map<std::string, std::optional<std::string>> vars = {{"DISPLAY", std::nullopt},
                                                            {"WAYLAND_DISPLAY", std::nullopt},
                                                            {"APPDATA", std::nullopt},
                                                            {"HOME", "/nonexistent-home"}};
  std::optional<std::string> exe = "/opt/c/Corvantis.app/Contents/MacOS/corvantis-opener";
  std::set<std::string> executables;
  cv::CommandResult service = NoManager();
  std::vector<std::vector<std::string>> commands;
  double timeout = 0;
  // When set, answer in place of the real call.
  std::function<int(int fd, struct statvfs* st)> fstatvfs;
  std::function<int(int dirFd, const char* path, int mode, int flags)> accessAt;

  std::optional<std::string> GetEnv(const char* name) override {
    if (auto it = vars.find(name); it != vars.end()) return it->second;
    return target()->GetEnv(name);
  }
  double WallClock() override { return kNow; }
  std::optional<std::string> ExePath() override { return exe; }
  bool IsExecutableFile(const char* path) override { return executables.count(path) != 0; }
  cv::CommandResult RunCommand(const std::vector<std::string>& argv, double timeoutSeconds) override {
    commands.push_back(argv);
    timeout = timeoutSeconds;
    return service;
  }
  int Fstatvfs(int fd, struct statvfs* st) override {
    return fstatvfs ? fstatvfs(fd, st) : target()->Fstatvfs(fd, st);
  }
  int AccessAt(int dirFd, const char* path, int mode, int flags) override {
    return accessAt ? accessAt(dirFd, path, mode, flags) : target()->AccessAt(dirFd, path, mode, flags);
  }
};

// The scripted agent answers, but the lock probe is the real one unless
// `realProbe` is cleared; the folder each probe was given is recorded.
class DiagnoseAgents : public cvtest::FakeAgents {
 public:
  DiagnoseAgents() { bundled = "/opt/c/Corvantis.app/Contents/Resources/agent/CorvantisAgent"; }
  bool realProbe = true;
  ino_t probedIno = 0;
  int ProbeAgent(int confFd, int* pidOut, int* errOut) override {
    struct stat st;
    probedIno = fstat(confFd, &st) == 0 ? st.st_ino : 0;
    if (!realProbe) return FakeAgents::ProbeAgent(confFd, pidOut, errOut);
    ++probes;
    return CVProbeAgent(confFd, pidOut, errOut);
  }
};

// A settings folder under a temporary directory, named by
// CORVANTIS_AGENT_DIR, and an Env and agents whose outside facts the test
// sets. The variables are the Env's alone: Diagnose, CVConfDir and
// CVConfErrorText read them from it.
class Diagnose : public ::testing::Test {
 protected:
  Diagnose() { UseFolder(root_.Join("Corvantis")); }

  void UseFolder(std::optional<std::string> value) {
    env_.vars["CORVANTIS_AGENT_DIR"] = value;
    if (value) folder_ = *value;
  }

  // What the opener, run now as the same user under the same Env, meets
  // when it opens the settings folder and writes its first request: 0, or
  // the error.
  int OpenerMeets() {
    cv::ScopedEnv guard(&env_);
    errno = 0;
    int fd = CVOpenConfDir();
    if (fd < 0) return errno;
    auto stem = CVWriteRequest(fd, "open", std::string("/srv/plan.corva"));
    int err = stem ? 0 : errno;
    close(fd);
    return err;
  }

  cv::Diagnosis Run() { return cv::Diagnose(&env_, agents_); }

  // The report as RunDiagnose makes it, with the same Env current.
  std::string Report(const cv::Diagnosis& d) {
    cv::ScopedEnv guard(&env_);
    return cv::FormatDiagnosis(d, cv::Judge(d));
  }

  // The "A1" text of `err` as the opener words it under the same Env.
  std::string ConfErrorText(int err) {
    cv::ScopedEnv guard(&env_);
    return CVConfErrorText(err);
  }

  // The report line of `label`, without the label.
  static std::string Value(const std::string& report, const std::string& label) {
    size_t at = report.find(label + ":");
    if (at == std::string::npos || (at != 0 && report[at - 1] != '\n')) return "(no " + label + " line)";
    size_t end = report.find('\n', at);
    return report.substr(at + 21, end - at - 21);
  }

  TempDir root_;
  std::string folder_;
  FakeEnv env_;
  DiagnoseAgents agents_;
};

// ---- the settings folder as the opener would meet it ----

struct FolderCase {
  const char* name;
  const char* dir;  // CORVANTIS_AGENT_DIR, below the temporary root
  std::function<void(const std::string& root)> setUp;
  int err;  // expected error (0: usable)
  const char* errWhere;
  bool missing;
  bool tightens;
  bool probed;
  bool rootOnly;  // needs chown
};

const FolderCase kFolderCases[] = {
    {"Usable", "C", [](const std::string& r) { mkdir((r + "/C").c_str(), 0700); }, 0, "", false, false, true, false},
    {"OpenToOthersIsUsableAndLeftAsItIs", "C",
     [](const std::string& r) {
       mkdir((r + "/C").c_str(), 0700);
       chmod((r + "/C").c_str(), 0755);
     },
     0, "", false, true, true, false},
    {"MissingWithItsParentIsCreatedLater", "C", [](const std::string&) {}, 0, "", true, false, false, false},
    {"MissingParent", "no/C", [](const std::string&) {}, ENOENT, "", false, false, false, false},
    {"ParentIsAFile", "f/C", [](const std::string& r) { cvtest::WriteFile(r + "/f", "x"); }, ENOTDIR, "", false, false,
     false, false},
    {"FileInItsPlace", "C", [](const std::string& r) { cvtest::WriteFile(r + "/C", "x"); }, ENOTDIR, "", false, false,
     false, false},
    {"DanglingLinkInItsPlace", "C", [](const std::string& r) { symlink("nowhere", (r + "/C").c_str()); }, ENOENT, "",
     false, false, false, false},
    {"LinkToADirectoryIsFollowed", "C",
     [](const std::string& r) {
       mkdir((r + "/real").c_str(), 0700);
       symlink("real", (r + "/C").c_str());
     },
     0, "", false, false, true, false},
    {"QueueFolderPresent", "C",
     [](const std::string& r) {
       mkdir((r + "/C").c_str(), 0700);
       mkdir((r + "/C/open-requests").c_str(), 0700);
     },
     0, "", false, false, true, false},
    {"QueueFolderIsALink", "C",
     [](const std::string& r) {
       mkdir((r + "/C").c_str(), 0700);
       mkdir((r + "/C/elsewhere").c_str(), 0700);
       symlink("elsewhere", (r + "/C/open-requests").c_str());
     },
     ENOTDIR, "open-requests", false, false, true, false},
    {"QueueFolderIsAFile", "C",
     [](const std::string& r) {
       mkdir((r + "/C").c_str(), 0700);
       cvtest::WriteFile(r + "/C/open-requests", "x");
     },
     ENOTDIR, "open-requests", false, false, true, false},
    {"AnotherUsersFolder", "C",
     [](const std::string& r) {
       mkdir((r + "/C").c_str(), 0700);
       (void)!chown((r + "/C").c_str(), cvtest::kNobody, cvtest::kNobody);
     },
     EPERM, "", false, false, false, true},
    {"AnotherUsersQueueFolder", "C",
     [](const std::string& r) {
       mkdir((r + "/C").c_str(), 0700);
       mkdir((r + "/C/open-requests").c_str(), 0700);
       (void)!chown((r + "/C/open-requests").c_str(), cvtest::kNobody, cvtest::kNobody);
     },
     EPERM, "open-requests", false, false, true, true},
};

// Shown by its name in test listings.
void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }

class DiagnoseFolder : public Diagnose, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(DiagnoseFolder, JudgedWithoutChangingAnything) {
  const FolderCase& c = GetParam();
  if (c.rootOnly && !cvtest::CanSwitchUser()) GTEST_SKIP() << "needs root to give a folder away";
  c.setUp(root_.path());
  UseFolder(root_.Join(c.dir));
  auto before = cvtest::SnapshotTree(root_.path());
  int fds = cvtest::CountOpenFds();

  cv::Diagnosis d = Run();

  EXPECT_EQ(cvtest::SnapshotTree(root_.path()), before);
  EXPECT_EQ(cvtest::CountOpenFds(), fds);
  EXPECT_EQ(d.folder.path, folder_);
  EXPECT_EQ(d.folder.source, "CORVANTIS_AGENT_DIR");
  EXPECT_EQ(d.folder.err, c.err) << strerror(d.folder.err);
  EXPECT_EQ(d.folder.errWhere, c.errWhere);
  EXPECT_EQ(d.folder.missing, c.missing);
  EXPECT_EQ(d.folder.tightens, c.tightens);
  EXPECT_EQ(d.agent.probed, c.probed);
  EXPECT_EQ(agents_.probes, c.probed ? 1 : 0);
  std::string report = Report(d);
  if (c.err != 0) {
    EXPECT_EQ(Value(report, "folder state"),
              "not usable" + (*c.errWhere ? std::string(" (") + c.errWhere + ")" : "") + ": " + ConfErrorText(c.err));
    EXPECT_NE(Value(report, "verdict").find("no document would reach an agent now"), std::string::npos) << report;
  }
  if (c.tightens) {
    EXPECT_EQ(Value(report, "folder state"), "usable; mode 0755 (the opener tightens it to 0700)");
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DiagnoseFolder, ::testing::ValuesIn(kFolderCases), ByName());

TEST_F(Diagnose, NoAbsolutePathIsWordedAsTheOpenerWordsIt) {
  UseFolder("relative/settings");
  cv::Diagnosis d = Run();
  EXPECT_FALSE(d.folder.path);
  EXPECT_EQ(d.folder.err, EINVAL);
  EXPECT_EQ(agents_.probes, 0);
  EXPECT_TRUE(agents_.scans.empty());
  std::string report = Report(d);
  EXPECT_EQ(Value(report, "settings folder"), "none (from CORVANTIS_AGENT_DIR=\"relative/settings\")");
  EXPECT_EQ(Value(report, "folder state"),
            "not usable: Corvantis can't reach its settings folder (~/Corvantis): its location isn't an absolute "
            "path.");
  EXPECT_EQ(cv::Judge(d).reaches, false);
}

TEST_F(Diagnose, SourceOfThePathIsNamed) {
  struct Case {
    std::optional<std::string> agentDir, appData, home;
    const char* line;
  } cases[] = {
      {std::nullopt, std::nullopt, "/h", "/h/Corvantis (from HOME=\"/h\")"},
      {"", "/a", "/h", "/a/Corvantis (from APPDATA=\"/a\")"},
      {std::nullopt, "", "/h", "none (from APPDATA=\"\")"},
  };
  for (const Case& c : cases) {
    UseFolder(c.agentDir);
    env_.vars["APPDATA"] = c.appData;
    env_.vars["HOME"] = c.home;
    EXPECT_EQ(Value(Report(Run()), "settings folder"), c.line);
  }
}

// As the unprivileged user, the opener's open or its first write would be
// refused: the error it would meet is reported.
TEST_F(Diagnose, PermissionErrorsAsAnotherUser) {
  if (!cvtest::CanSwitchUser()) GTEST_SKIP() << "needs root to drop to another user";
  struct Case {
    const char* name;
    std::function<void(const std::string& dir)> setUp;
    int err;
    const char* errWhere;
  } cases[] = {
      {"RootsPrivateFolder", [](const std::string& d) { mkdir(d.c_str(), 0700); }, EACCES, ""},
      {"ParentNotWritable", [](const std::string&) {}, EACCES, ""},
      {"FolderNotWritable",
       [](const std::string& d) {
         mkdir(d.c_str(), 0500);
         (void)!chown(d.c_str(), cvtest::kNobody, cvtest::kNobody);
       },
       EACCES, "creating open-requests"},
      {"QueueFolderNotWritable",
       [](const std::string& d) {
         mkdir(d.c_str(), 0700);
         mkdir((d + "/open-requests").c_str(), 0500);
         (void)!chown(d.c_str(), cvtest::kNobody, cvtest::kNobody);
         (void)!chown((d + "/open-requests").c_str(), cvtest::kNobody, cvtest::kNobody);
       },
       EACCES, "open-requests"},
  };
  for (const auto& c : cases) {
    TempDir root;
    std::string dir = root.Join("C");
    c.setUp(dir);
    UseFolder(dir);
    auto before = cvtest::SnapshotTree(root.path());
    int rc = cvtest::RunAsUser(cvtest::kNobody, [&] {
      cv::Diagnosis d = Run();
      if (d.folder.errWhere != c.errWhere) return 200;
      return d.folder.err;
    });
    EXPECT_EQ(rc, c.err) << c.name;
    EXPECT_EQ(cvtest::SnapshotTree(root.path()), before) << c.name;
  }
}

// A folder with group or other bits set is tightened to 0700 by the opener
// before it is used, which gives its owner write permission back: it is
// judged as the opener will meet it, the folder left as it is. The opener's
// own open and first request write, run afterwards as the same user, meet
// the error the diagnosis named (none where it found the folder usable).
struct TightenCase {
  const char* name;
  std::function<void(const std::string& dir)> setUp;
  int err;
  const char* errWhere;
  bool tightens;       // the settings folder
  bool queueTightens;  // open-requests
  const char* requests;
  bool hidden = false;  // not searchable until tightened: nothing inside looked at
};

TEST_F(Diagnose, FoldersTheOpenerTightensAsTheUnprivilegedUser) {
  if (!cvtest::CanSwitchUser()) GTEST_SKIP() << "needs root to drop to another user";
  auto owned = [](const std::string& path, mode_t mode) {
    mkdir(path.c_str(), 0700);
    (void)!chown(path.c_str(), cvtest::kNobody, cvtest::kNobody);
    chmod(path.c_str(), mode);
  };
  const TightenCase cases[] = {
      {"FolderOf0555", [&](const std::string& d) { owned(d, 0555); }, 0, "", true, false,
       "none (no open-requests folder yet)"},
      {"FolderOf0555WithItsQueueFolder",
       [&](const std::string& d) {
         owned(d, 0700);
         owned(d + "/open-requests", 0700);
         chmod(d.c_str(), 0555);
       },
       0, "", true, false, "none"},
      {"QueueFolderOf0555",
       [&](const std::string& d) {
         owned(d, 0700);
         owned(d + "/open-requests", 0555);
       },
       0, "", false, true, "none"},
      {"BothOf0577",
       [&](const std::string& d) {
         owned(d, 0700);
         owned(d + "/open-requests", 0577);
         chmod(d.c_str(), 0577);
       },
       0, "", true, true, "none"},
      // Not searchable by its owner as it is: open-requests is out of
      // sight until the opener has tightened the folder.
      {"FolderOf0644",
       [&](const std::string& d) {
         owned(d, 0700);
         owned(d + "/open-requests", 0700);
         chmod(d.c_str(), 0644);
       },
       0, "", true, false, "not looked at: the settings folder can't be searched until the opener tightens it",
       true},
      // Nothing to tighten: the folder stays as it is, and unusable.
      {"FolderOf0500", [&](const std::string& d) { owned(d, 0500); }, EACCES, "creating open-requests", false, false,
       nullptr},
      {"QueueFolderOf0500",
       [&](const std::string& d) {
         owned(d, 0700);
         owned(d + "/open-requests", 0500);
       },
       EACCES, "open-requests", false, true, nullptr},
      // Another user's folder is refused, whatever its bits.
      {"AnotherUsersFolderOf0555",
       [&](const std::string& d) {
         mkdir(d.c_str(), 0700);
         chmod(d.c_str(), 0555);
       },
       EPERM, "", false, false, nullptr},
      {"AnotherUsersQueueFolderOf0777",
       [&](const std::string& d) {
         owned(d, 0700);
         mkdir((d + "/open-requests").c_str(), 0700);
         chmod((d + "/open-requests").c_str(), 0777);
       },
       EPERM, "open-requests", false, false, nullptr},
      // A file in the folder's place is no folder, however open its bits.
      {"FileOf0666InItsPlace",
       [&](const std::string& d) {
         cvtest::WriteFile(d, "x", 0666);
         (void)!chown(d.c_str(), cvtest::kNobody, cvtest::kNobody);
       },
       ENOTDIR, "", false, false, nullptr},
  };
  for (const TightenCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    std::string dir = root.Join("C");
    c.setUp(dir);
    UseFolder(dir);
    auto before = cvtest::SnapshotTree(root.path());
    int rc = cvtest::RunAsUser(cvtest::kNobody, [&] {
      cv::Diagnosis d = Run();
      if (d.folder.errWhere != c.errWhere) return 200;
      if (d.folder.err == 0 && d.folder.tightens != c.tightens) return 201;
      if (d.folder.err == 0 && d.queue.tightens != c.queueTightens) return 202;
      if (c.requests && Value(Report(d), "requests") != c.requests) return 203;
      if (d.folder.err == 0 && c.tightens &&
          Value(Report(d), "folder state").find("(the opener tightens it to 0700)") == std::string::npos)
        return 204;
      if (d.folder.err == 0 && c.queueTightens && Report(d).find("open-requests has mode 0") == std::string::npos)
        return 205;
      if (d.folder.hidden != c.hidden) return 206;
      if (c.hidden && (agents_.probes != 0 || d.agent.probed || cv::Judge(d).why.rfind("can't tell: ", 0) != 0)) return 207;
      return d.folder.err;
    });
    EXPECT_EQ(rc, c.err) << strerror(rc > 0 && rc < 200 ? rc : 0);
    EXPECT_EQ(cvtest::SnapshotTree(root.path()), before) << "--diagnose changed the folder";

    // The opener, as the same user, meets what the diagnosis said.
    int opener = cvtest::RunAsUser(cvtest::kNobody, [&] { return OpenerMeets(); });
    EXPECT_EQ(opener, c.err) << "the opener met " << strerror(opener > 0 ? opener : 0);
  }
}

// Sets or clears the immutable flag of the directory `path`; false when the
// file system or the process's privileges do not allow it.
bool SetImmutable(const std::string& path, bool on) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  close(fd);
  return ok;
}

// An immutable folder with group or other bits set cannot be tightened:
// the opener's fchmod fails, and --diagnose says so without trying.
TEST_F(Diagnose, ImmutableFolderStaysUnusableAsTheUnprivilegedUser) {
  if (!cvtest::CanSwitchUser()) GTEST_SKIP() << "needs root to drop to another user";
  for (bool queue : {false, true}) {
    SCOPED_TRACE(queue ? "open-requests" : "the settings folder");
    TempDir root;
    std::string dir = root.Join("C");
    std::string target = queue ? dir + "/open-requests" : dir;
    for (const std::string& d : {dir, dir + "/open-requests"}) {
      ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
      ASSERT_EQ(chown(d.c_str(), cvtest::kNobody, cvtest::kNobody), 0);
    }
    ASSERT_EQ(chmod(target.c_str(), 0755), 0);
    if (!SetImmutable(target, true)) GTEST_SKIP() << "no immutable flag here";
    UseFolder(dir);
    auto before = cvtest::SnapshotTree(root.path());
    int rc = cvtest::RunAsUser(cvtest::kNobody, [&] {
      cv::Diagnosis d = Run();
      return d.folder.errWhere == (queue ? "open-requests" : "") ? d.folder.err : 200;
    });
    int opener = cvtest::RunAsUser(cvtest::kNobody, [&] { return OpenerMeets(); });
    auto after = cvtest::SnapshotTree(root.path());
    ASSERT_TRUE(SetImmutable(target, false));
    EXPECT_EQ(rc, EPERM) << strerror(rc < 200 && rc > 0 ? rc : 0);
    EXPECT_EQ(opener, EPERM) << strerror(opener > 0 ? opener : 0);
    EXPECT_EQ(after, before);
  }
}

// What would make the tightening fail is judged too, with the file system's
// answers scripted: a read-only file system, an immutable folder.
TEST_F(Diagnose, FoldersThatCannotBeTightened) {
  struct Case {
    const char* name;
    bool readOnly;     // fstatvfs reports ST_RDONLY
    int writeAccess;   // what faccessat answers for W_OK (0: allowed)
    bool queue;        // the open-requests folder is the one (else the settings folder)
    int err;
    const char* errWhere;
  } cases[] = {
      {"ReadOnlyFileSystem", true, EROFS, false, EROFS, ""},
      // A mount made read-only on its own: access(2) looks at the bits first.
      {"ReadOnlyMount", true, EACCES, false, EROFS, ""},
      {"ImmutableFolder", false, EPERM, false, EPERM, ""},
      {"ReadOnlyQueueFolder", true, EACCES, true, EROFS, "open-requests"},
      {"ImmutableQueueFolder", false, EPERM, true, EPERM, "open-requests"},
      {"OnlyTheBitsInTheWay", false, EACCES, false, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    std::string dir = root.Join("C");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir + "/open-requests").c_str(), 0700), 0);
    std::string target = c.queue ? dir + "/open-requests" : dir;
    ASSERT_EQ(chmod(target.c_str(), 0755), 0);
    UseFolder(dir);
    struct stat want;
    ASSERT_EQ(stat(target.c_str(), &want), 0);
    auto isTarget = [want](int fd) {
      struct stat st;
      return fstat(fd, &st) == 0 && st.st_ino == want.st_ino && st.st_dev == want.st_dev;
    };
    env_.fstatvfs = [&, isTarget](int fd, struct statvfs* st) {
      int rc = env_.target()->Fstatvfs(fd, st);
      if (rc == 0 && isTarget(fd) && c.readOnly) st->f_flag |= ST_RDONLY;
      return rc;
    };
    env_.accessAt = [&, isTarget](int fd, const char* path, int mode, int flags) {
      if ((mode & W_OK) && std::string(path) == "." && isTarget(fd) && c.writeAccess != 0) {
        errno = c.writeAccess;
        return -1;
      }
      return env_.target()->AccessAt(fd, path, mode, flags);
    };
    auto before = cvtest::SnapshotTree(root.path());
    cv::Diagnosis d = Run();
    EXPECT_EQ(d.folder.err, c.err) << strerror(d.folder.err);
    EXPECT_EQ(d.folder.errWhere, c.errWhere);
    EXPECT_EQ(cvtest::SnapshotTree(root.path()), before);
    if (c.err != 0) {
      EXPECT_EQ(cv::Judge(d).reaches, false);
      EXPECT_EQ(Value(Report(d), "folder state"),
                "not usable" + (*c.errWhere ? std::string(" (") + c.errWhere + ")" : "") + ": " +
                    ConfErrorText(c.err));
    }
  }
}

// ---- the queue ----

TEST_F(Diagnose, RequestsAreListedInStemOrderWithStateAndAge) {
  std::string q = folder_ + "/open-requests";
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(q.c_str(), 0700), 0);
  const char* names[] = {
      "1796873375279-0123456789abcdef0123456789abcdef.json",         // B, queued
      "1796873372279-bf859ee000a246e882f03fea5439a4a5.claimed",      // A, claimed
      ".0123456789abcdef0123456789abcdef.tmp",                       // being written
      "99999999999999999999-0123456789abcdef0123456789abcdef.json",  // milliseconds too large
      "179687337227-0123456789abcdef0123456789abcdef.json",          // 12 digits
      "1796873372279-0123456789ABCDEF0123456789ABCDEF.json",         // upper case
      "1796873372279-0123456789abcdef.json",                         // short
      "1796873372279-bf859ee000a246e882f03fea5439a4a5.json.tmp",
      "notes.txt",
  };
  for (const char* n : names) ASSERT_TRUE(cvtest::WriteFile(q + "/" + n, "{}"));

  cv::Diagnosis d = Run();
  ASSERT_TRUE(d.queue.present);
  ASSERT_EQ(d.queue.requests.size(), 3u);
  EXPECT_EQ(d.queue.requests[0].stem, kStemA);
  EXPECT_TRUE(d.queue.requests[0].claimed);
  EXPECT_NEAR(*d.queue.requests[0].ageSeconds, 8.0, 1e-6);
  EXPECT_EQ(d.queue.requests[1].stem, kStemB);
  EXPECT_FALSE(d.queue.requests[1].claimed);
  EXPECT_NEAR(*d.queue.requests[1].ageSeconds, 5.0, 1e-6);
  EXPECT_FALSE(d.queue.requests[2].ageSeconds);
  EXPECT_EQ(d.queue.beingWritten, 1u);
  EXPECT_EQ(d.queue.others, 5u);

  std::string report = Report(d);
  EXPECT_EQ(Value(report, "requests"), "3 (2 queued, 1 claimed)");
  EXPECT_NE(report.find(std::string(21, ' ') + kStemA + "  claimed  age 8.0 s\n"), std::string::npos) << report;
  EXPECT_NE(report.find(std::string(21, ' ') + kStemB + "  queued   age 5.0 s\n"), std::string::npos) << report;
  EXPECT_NE(report.find("  queued   age unknown\n"), std::string::npos) << report;
  EXPECT_NE(report.find("1 being written (.tmp)\n"), std::string::npos) << report;
  EXPECT_NE(report.find("5 other entries, not requests\n"), std::string::npos) << report;
}

TEST_F(Diagnose, AgesReadAsAPersonReadsThem) {
  std::string q = folder_ + "/open-requests";
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(q.c_str(), 0700), 0);
  struct Case {
    long long agoMs;
    const char* age;
  } cases[] = {
      {0, "0.0 s"},
      {59900, "59.9 s"},
      {61000, "1 min 1 s"},
      {3 * 3600000LL + 120000, "3 h 2 min"},
      {2 * 86400000LL + 3600000, "2 d 1 h"},
      {-5000, "in the future (was the clock set back?)"},
  };
  int i = 0;
  for (const Case& c : cases) {
    long long ms = static_cast<long long>(kNow * 1000 + 0.5) - c.agoMs;
    char name[128];
    snprintf(name, sizeof name, "%013lld-%032x.json", ms, ++i);
    ASSERT_TRUE(cvtest::WriteFile(q + "/" + name, "{}"));
    std::string report = Report(Run());
    EXPECT_NE(report.find(std::string(name, strlen(name) - 5) + "  queued   age " + c.age + "\n"), std::string::npos)
        << report;
    unlink((q + "/" + name).c_str());
  }
}

TEST_F(Diagnose, LongQueueIsCutAfterForty) {
  std::string q = folder_ + "/open-requests";
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(q.c_str(), 0700), 0);
  for (int i = 0; i < 45; ++i) {
    char name[128];
    snprintf(name, sizeof name, "%013d-%032x.json", 1000 + i, i);
    ASSERT_TRUE(cvtest::WriteFile(q + "/" + name, "{}"));
  }
  std::string report = Report(Run());
  EXPECT_EQ(Value(report, "requests"), "45 (45 queued, 0 claimed)");
  EXPECT_NE(report.find("0000000001039-"), std::string::npos);
  EXPECT_EQ(report.find("0000000001040-"), std::string::npos);
  EXPECT_NE(report.find(std::string(21, ' ') + "and 5 more\n"), std::string::npos) << report;
}

TEST_F(Diagnose, MissingQueueFolderAndMissingSettingsFolder) {
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  EXPECT_EQ(Value(Report(Run()), "requests"), "none (no open-requests folder yet)");
  ASSERT_EQ(rmdir(folder_.c_str()), 0);
  EXPECT_EQ(Value(Report(Run()), "requests"), "none (no settings folder yet)");
}

// ---- the agent: the lock and agents without it ----

TEST_F(Diagnose, LockProbeAndScan) {
  struct Case {
    const char* name;
    int probe, pid, err;
    pid_t old, young;
    bool scanned;
    const char* lock;
    const char* without;
  } cases[] = {
      {"HeldWithPid", CVAgentRunning, 731, 0, 0, 0, false, "held by pid 731",
       "not looked for (an agent holds the lock)"},
      {"HeldWithoutPid", CVAgentRunning, 0, 0, 0, 0, false, "held (agent.lock names no pid)",
       "not looked for (an agent holds the lock)"},
      {"FreeNoneElse", CVAgentAbsent, 0, 0, 0, 0, true, "free: no agent holds agent.lock", "none"},
      {"FreeAnOldOne", CVAgentAbsent, 0, 0, 4242, 0, true, "free: no agent holds agent.lock",
       "pid 4242, running more than 19 s (an older agent: quit it)"},
      {"FreeAYoungOne", CVAgentAbsent, 0, 0, 0, 4343, true, "free: no agent holds agent.lock",
       "pid 4343, starting (19 s old or younger)"},
      {"Unreadable", CVAgentUnknown, 0, EACCES, 0, 0, false, nullptr, "not looked for (agent.lock can't be probed)"},
  };
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  struct stat st;
  ASSERT_EQ(stat(folder_.c_str(), &st), 0);
  for (const Case& c : cases) {
    agents_.realProbe = false;
    agents_.probeResult = c.probe;
    agents_.probePid = c.pid;
    agents_.probeErr = c.err;
    agents_.oldPid = c.old;
    agents_.youngPid = c.young;
    agents_.scans.clear();
    cv::Diagnosis d = Run();
    EXPECT_EQ(agents_.probedIno, st.st_ino) << c.name;
    EXPECT_EQ(d.agent.scanned, c.scanned) << c.name;
    EXPECT_EQ(agents_.scans, c.scanned ? std::vector<pid_t>{0} : std::vector<pid_t>{}) << c.name;
    std::string report = Report(d);
    std::string lock = c.lock ? c.lock : "can't be probed: " + ConfErrorText(EACCES);
    EXPECT_EQ(Value(report, "agent lock"), lock) << c.name;
    EXPECT_EQ(Value(report, "agents without lock"), c.without) << c.name;
  }
}

TEST_F(Diagnose, RealProbeOfAnUnlockedFile) {
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  ASSERT_TRUE(cvtest::WriteFile(folder_ + "/agent.lock", "{\"pid\":731}"));
  auto before = cvtest::SnapshotTree(folder_);
  cv::Diagnosis d = Run();
  EXPECT_EQ(d.agent.probe, CVAgentAbsent);
  EXPECT_EQ(cvtest::SnapshotTree(folder_), before);
}

// ---- the user service ----

TEST_F(Diagnose, UserServiceQuery) {
  struct Case {
    const char* name;
    cv::CommandResult result;
    cv::ServiceFacts::State state;
    bool installed, active;
    const char* line;
  };
  cv::CommandResult notRun;
  notRun.spawnErr = ENOENT;
  cv::CommandResult slow;
  slow.timedOut = true;
  cv::CommandResult silentFailure;
  silentFailure.status = 4;
  const Case cases[] = {
      {"NoManager", NoManager(), cv::ServiceFacts::kNoManager, false, false,
       "corvantis.agent.service: no user service manager (systemctl --user: Failed to connect to bus: No medium "
       "found)"},
      {"FailureWithoutText", silentFailure, cv::ServiceFacts::kNoManager, false, false,
       "corvantis.agent.service: no user service manager (systemctl --user failed (status 4))"},
      {"NotRun", notRun, cv::ServiceFacts::kNotAsked, false, false,
       "corvantis.agent.service: can't tell (/usr/bin/systemctl could not be run (No such file or directory))"},
      {"TimedOut", slow, cv::ServiceFacts::kNotAsked, false, false,
       "corvantis.agent.service: can't tell (systemctl did not answer within 5 s)"},
      {"NotInstalled", Answer("LoadState=not-found\nActiveState=inactive\n"), cv::ServiceFacts::kAnswered, false, false,
       "corvantis.agent.service: not installed (LoadState=not-found, ActiveState=inactive)"},
      {"InstalledInactive", Answer("ActiveState=inactive\nLoadState=loaded\n"), cv::ServiceFacts::kAnswered, true,
       false, "corvantis.agent.service: installed, not active (LoadState=loaded, ActiveState=inactive)"},
      {"InstalledActive", Answer("LoadState=loaded\nActiveState=active"), cv::ServiceFacts::kAnswered, true, true,
       "corvantis.agent.service: installed, active (LoadState=loaded, ActiveState=active)"},
      {"Failed", Answer("LoadState=loaded\nActiveState=failed\n"), cv::ServiceFacts::kAnswered, true, false,
       "corvantis.agent.service: installed, not active (LoadState=loaded, ActiveState=failed)"},
      {"Masked", Answer("LoadState=masked\nActiveState=inactive\n"), cv::ServiceFacts::kAnswered, false, false,
       "corvantis.agent.service: can't be started (LoadState=masked, ActiveState=inactive)"},
  };
  for (const Case& c : cases) {
    env_.service = c.result;
    env_.commands.clear();
    cv::Diagnosis d = Run();
    ASSERT_EQ(env_.commands.size(), 1u) << c.name;
    EXPECT_EQ(env_.commands[0], (std::vector<std::string>{"/usr/bin/systemctl", "--user", "show", "-p", "LoadState", "-p",
                                                      "ActiveState", "corvantis.agent.service"}));
    EXPECT_EQ(env_.timeout, 5);
    EXPECT_EQ(d.service.state, c.state) << c.name;
    EXPECT_EQ(d.service.installed(), c.installed) << c.name;
    EXPECT_EQ(d.service.active(), c.active) << c.name;
    EXPECT_EQ(Value(Report(d), "user service"), c.line) << c.name;
  }
}

// ---- the bundled agent and the alerts ----

TEST_F(Diagnose, BundledAgentWhereItIsLookedFor) {
  struct Case {
    std::optional<std::string> exe, bundled;
    const char* line;
  } cases[] = {
      {"/o/C.app/Contents/MacOS/corvantis-opener", "/o/C.app/Contents/Resources/agent/CorvantisAgent",
       "/o/C.app/Contents/Resources/agent/CorvantisAgent"},
      {"/o/C.app/Contents/MacOS/corvantis-opener", std::nullopt,
       "none: /o/C.app/Contents/Resources/agent/CorvantisAgent is missing or not executable"},
      {"/tmp/x/corvantis-opener", std::nullopt, "none: /tmp/x/corvantis-opener isn't inside an application bundle"},
      {"/o/Contents/MacOS/sub/corvantis-opener", std::nullopt,
       "none: /o/Contents/MacOS/sub/corvantis-opener isn't inside an application bundle"},
      {std::nullopt, std::nullopt, "none (this program's location is unknown)"},
  };
  for (const Case& c : cases) {
    env_.exe = c.exe;
    agents_.bundled = c.bundled;
    EXPECT_EQ(Value(Report(Run()), "bundled agent"), c.line);
  }
}

TEST_F(Diagnose, AlertsAreWindowsOnlyWithADisplayAndTheAlertProgram) {
  const std::string alert = "/o/C.app/Contents/MacOS/corvantis-alert";
  struct Case {
    std::optional<std::string> display, wayland;
    bool program;
    bool windows;
    const char* line;
  } cases[] = {
      {":99", std::nullopt, true, true, "windows (/o/C.app/Contents/MacOS/corvantis-alert, DISPLAY=:99)"},
      {std::nullopt, "wayland-0", true, true,
       "windows (/o/C.app/Contents/MacOS/corvantis-alert, WAYLAND_DISPLAY=wayland-0)"},
      {"", std::nullopt, true, false, "stderr lines: neither DISPLAY nor WAYLAND_DISPLAY is set"},
      {std::nullopt, std::nullopt, true, false, "stderr lines: neither DISPLAY nor WAYLAND_DISPLAY is set"},
      {":99", std::nullopt, false, false,
       "stderr lines: /o/C.app/Contents/MacOS/corvantis-alert is missing or not executable"},
  };
  env_.exe = "/o/C.app/Contents/MacOS/corvantis-opener";
  for (const Case& c : cases) {
    env_.vars["DISPLAY"] = c.display;
    env_.vars["WAYLAND_DISPLAY"] = c.wayland;
    env_.executables.clear();
    if (c.program) env_.executables.insert(alert);
    cv::Diagnosis d = Run();
    EXPECT_EQ(d.alerts.windows, c.windows);
    EXPECT_EQ(Value(Report(d), "alerts"), c.line);
  }
}

// ---- the report as a whole ----

TEST_F(Diagnose, ReportIsAlignedAndEscapesControlCharacters) {
  UseFolder(root_.Join("odd\x1b[2Jname"));
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  std::string report;
  int status = cv::RunDiagnose(&env_, agents_, &report);
  EXPECT_EQ(status, 0) << report;
  EXPECT_EQ(report.find('\x1b'), std::string::npos);
  EXPECT_NE(report.find("odd\\x1b[2Jname"), std::string::npos) << report;
  for (const std::string& line : cvtest::Lines(report)) {
    ASSERT_GE(line.size(), 22u) << line;
    if (line[0] == ' ') {
      EXPECT_EQ(line.find_first_not_of(' '), 21u) << line;
      continue;
    }
    size_t colon = line.find(':');
    ASSERT_NE(colon, std::string::npos) << line;
    EXPECT_EQ(line.find_first_not_of(' ', colon + 1), 21u) << line;
  }
  std::vector<std::string> labels;
  for (const std::string& line : cvtest::Lines(report)) {
    if (line[0] != ' ') labels.push_back(line.substr(0, line.find(':')));
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"settings folder", "folder state", "agent lock", "agents without lock",
                                              "requests", "bundled agent", "user service", "alerts", "verdict"}));
}

// The Env given is the current one while the facts are gathered and the
// report is worded, so that the fixed-argument calls (the agent's, CVConfDir,
// CVConfErrorText) meet the same system; the one before is back after.
TEST_F(Diagnose, ItsEnvIsCurrentForItsDuration) {
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  cv::Env* before = cv::CurrentEnv();
  cv::Env* during = nullptr;
  agents_.realProbe = false;
  agents_.onProbe = [&] { during = cv::CurrentEnv(); };
  Run();
  EXPECT_EQ(during, &env_);
  EXPECT_EQ(cv::CurrentEnv(), before);

  // HOME is the Env's alone: the "A1" text abbreviates the folder with it.
  ASSERT_EQ(rmdir(folder_.c_str()), 0);
  ASSERT_TRUE(cvtest::WriteFile(folder_, "x"));
  env_.vars["HOME"] = root_.path();
  std::string report;
  EXPECT_EQ(cv::RunDiagnose(&env_, agents_, &report), 1);
  EXPECT_EQ(Value(report, "folder state"),
            "not usable: Corvantis can't reach its settings folder (~/Corvantis): " + std::string(strerror(ENOTDIR)) +
                ".");
  EXPECT_EQ(cv::CurrentEnv(), before);
}

// ---- the verdict ----

struct VerdictCase {
  const char* name;
  int folderErr;
  bool missing;
  int probe;  // -1: not probed
  const char* loadState;
  const char* activeState;
  bool bundled;
  pid_t old, young;
  bool reaches;
  const char* why;
};

const VerdictCase kVerdictCases[] = {
    {"FolderUnusable", EPERM, false, CVAgentRunning, "", "", true, 0, 0, false, "settings folder isn't usable"},
    {"AgentHoldsTheLock", 0, false, CVAgentRunning, "not-found", "", false, 0, 0, true, "running agent (pid 731)"},
    {"LockUnreadable", 0, false, CVAgentUnknown, "loaded", "inactive", true, 0, 0, false, "can't be probed"},
    {"ServiceWouldBeStarted", 0, false, CVAgentAbsent, "loaded", "inactive", false, 4242, 0, true, "user service"},
    {"FailedServiceWouldBeStarted", 0, false, CVAgentAbsent, "loaded", "failed", false, 0, 0, true, "user service"},
    {"ServiceActiveWithoutTheLock", 0, false, CVAgentAbsent, "loaded", "active", true, 0, 0, false, "another one?"},
    {"BundledAgentWouldBeStarted", 0, false, CVAgentAbsent, "not-found", "inactive", true, 0, 0, true, "bundled agent"},
    {"MaskedServiceThenBundled", 0, false, CVAgentAbsent, "masked", "inactive", true, 0, 0, true, "bundled agent"},
    {"NoManagerThenBundled", 0, false, CVAgentAbsent, nullptr, "", true, 0, 0, true, "bundled agent"},
    {"NothingToStart", 0, false, CVAgentAbsent, nullptr, "", false, 0, 0, false, "no bundled agent"},
    {"OlderAgentInTheWay", 0, false, CVAgentAbsent, "not-found", "", true, 4242, 4343, false, "pid 4242"},
    {"YoungAgentIsWaitedFor", 0, false, CVAgentAbsent, "not-found", "", true, 0, 4343, true, "pid 4343"},
    {"MissingFolderBundled", 0, true, -1, nullptr, "", true, 0, 0, true, "bundled agent"},
    {"MissingFolderNothing", 0, true, -1, nullptr, "", false, 0, 0, false, "no bundled agent"},
};

void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }

class DiagnoseVerdict : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(DiagnoseVerdict, WouldADocumentReachAnAgent) {
  const VerdictCase& c = GetParam();
  cv::Diagnosis d;
  d.folder.err = c.folderErr;
  d.folder.missing = c.missing;
  d.agent.probed = c.probe >= 0;
  d.agent.probe = c.probe >= 0 ? c.probe : 0;
  d.agent.pid = 731;
  d.agent.old = c.old;
  d.agent.young = c.young;
  if (c.loadState) {
    d.service.state = cv::ServiceFacts::kAnswered;
    d.service.loadState = c.loadState;
    d.service.activeState = c.activeState;
  } else {
    d.service.state = cv::ServiceFacts::kNoManager;
  }
  if (c.bundled) d.bundledAgent = "/o/C.app/Contents/Resources/agent/CorvantisAgent";
  cv::Verdict v = cv::Judge(d);
  EXPECT_EQ(v.reaches, c.reaches);
  EXPECT_NE(v.why.find(c.why), std::string::npos) << v.why;
}

INSTANTIATE_TEST_SUITE_P(Cases, DiagnoseVerdict, ::testing::ValuesIn(kVerdictCases), ByName());

}  // namespace
