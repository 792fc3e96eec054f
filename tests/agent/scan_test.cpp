#include "agent/scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "agent/process_table.h"
#include "agent/procargs.h"
#include "test_support.h"
#include "util/env.h"

namespace {

// Names each case of a table by its "name".
template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& c) {
  return c.param.name;
}

constexpr time_t kNow = 1'700'000'000;
constexpr pid_t kSelf = 500;
constexpr uid_t kUid = 1000;
constexpr char kAgentPath[] = "/opt/Corvantis.app/Contents/Resources/agent/CorvantisAgent";

// One process of the fake table. A field left empty cannot be read.
struct FakeProc {
  pid_t pid = 0;
  std::optional<cv::ProcessRecord> record;
  std::optional<std::string> path;
  std::optional<std::string> cmdline;  // NUL-separated, as the kernel gives it
  std::optional<std::string> environ;  // NUL-separated "NAME=value" strings
};

class FakeTable : public cv::ProcessTable {
 public:
  bool listable = true;
  std::vector<FakeProc> procs;
  std::vector<pid_t> argsRead;  // pids whose arguments were asked for
  std::vector<pid_t> environRead;  // pids whose environment was asked for

  bool ListPids(std::vector<pid_t>* pids) override {
    if (!listable) return false;
    pids->clear();
    for (const FakeProc& p : procs) pids->push_back(p.pid);
    return true;
  }
  bool ReadRecord(pid_t pid, cv::ProcessRecord* out) override {
    const FakeProc* p = Find(pid);
    if (p == nullptr || !p->record) return false;
    *out = *p->record;
    return true;
  }
  bool ReadPath(pid_t pid, std::string* out) override {
    const FakeProc* p = Find(pid);
    if (p == nullptr || !p->path) return false;
    *out = *p->path;
    return true;
  }
  bool ReadArgs(pid_t pid, std::vector<unsigned char>* out) override {
    argsRead.push_back(pid);
    const FakeProc* p = Find(pid);
    if (p == nullptr || !p->cmdline) return false;
    *out = CVArgBlockFromCmdline(p->path.value_or(""), *p->cmdline);
    return true;
  }
  bool ReadEnviron(pid_t pid, std::string* out) override {
    environRead.push_back(pid);
    const FakeProc* p = Find(pid);
    if (p == nullptr || !p->environ) return false;
    *out = *p->environ;
    return true;
  }
  time_t Now() override { return kNow; }
  pid_t Self() override { return kSelf; }
  uid_t RealUid() override { return kUid; }

 private:
  const FakeProc* Find(pid_t pid) const {
    for (const FakeProc& p : procs) {
      if (p.pid == pid) return &p;
    }
    return nullptr;
  }
};

cv::ProcessRecord Record(int age, uid_t uid = kUid, std::string name = "CorvantisAgent",
                         std::string comm = "CorvantisAgent") {
  cv::ProcessRecord r;
  r.uid = uid;
  r.startSec = kNow - age;
  r.name = std::move(name);
  r.comm = std::move(comm);
  return r;
}

// An agent run of the bundle copy started `age` seconds ago, no arguments.
FakeProc Agent(pid_t pid, int age) {
  return FakeProc{pid, Record(age), kAgentPath, std::string("CorvantisAgent\0", 15), std::nullopt};
}

FakeProc WithArgs(FakeProc p, std::vector<std::string> argv) {
  std::string cmdline;
  for (const std::string& a : argv) cmdline += a + '\0';
  p.cmdline = cmdline;
  return p;
}

struct Outcome {
  pid_t old;
  pid_t young;
};

Outcome Scan(FakeTable& table, pid_t excludePid = 0) {
  pid_t young = -7;  // must be overwritten
  pid_t old = CVFindOldFrozenAgentIn(table, excludePid, &young);
  return {old, young};
}

struct OrderCase {
  const char* name;
  std::vector<int> ages;  // of agents with pids 101, 102, ... in listing order
  pid_t old;
  pid_t young;
  friend void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }
};

class ScanOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(ScanOrder, FirstOldIsResultAndFirstYoungMetBeforeIsReported) {
  FakeTable table;
  pid_t pid = 101;
  for (int age : GetParam().ages) table.procs.push_back(Agent(pid++, age));
  Outcome got = Scan(table);
  EXPECT_EQ(got.old, GetParam().old);
  EXPECT_EQ(got.young, GetParam().young);
}

INSTANTIATE_TEST_SUITE_P(
    Ages, ScanOrder,
    testing::Values(OrderCase{"Age19IsYoung", {19}, 0, 101},
                    OrderCase{"Age20IsOld", {20}, 101, 0},
                    OrderCase{"Age0IsYoung", {0}, 0, 101},
                    OrderCase{"StartInTheFutureIsYoung", {-5}, 0, 101},
                    OrderCase{"YoungThenOld", {3, 25}, 102, 101},
                    OrderCase{"OldThenYoung", {25, 3}, 101, 0},
                    OrderCase{"TwoYoungFirstReported", {1, 2}, 0, 101},
                    OrderCase{"TwoOldFirstReturned", {30, 40}, 101, 0},
                    OrderCase{"YoungOldOldStopsAtFirstOld", {5, 21, 22}, 102, 101}),
    CaseName<OrderCase>);

TEST(Scan, StartTimesAtTheLimitsDoNotOverflow) {
  FakeTable table;
  table.procs = {Agent(101, 0), Agent(102, 0)};
  table.procs[0].record->startSec = INT64_MAX;
  table.procs[1].record->startSec = INT64_MIN;
  Outcome got = Scan(table);
  EXPECT_EQ(got.old, 102);
  EXPECT_EQ(got.young, 101);
}

TEST(Scan, StopsAtFirstOldAgent) {
  FakeTable table;
  table.procs = {Agent(101, 30), Agent(102, 5)};
  Scan(table);
  EXPECT_EQ(table.argsRead, std::vector<pid_t>{101});
}

TEST(Scan, EmptyOrUnlistableTableGivesNothing) {
  FakeTable empty;
  Outcome got = Scan(empty);
  EXPECT_EQ(got.old, 0);
  EXPECT_EQ(got.young, 0);

  FakeTable unlistable;
  unlistable.procs = {Agent(101, 30), Agent(102, 3)};
  unlistable.listable = false;
  got = Scan(unlistable);
  EXPECT_EQ(got.old, 0);
  EXPECT_EQ(got.young, 0);
}

TEST(Scan, NullYoungOutLeavesYoungAgentsUnreported) {
  FakeTable table;
  table.procs = {Agent(101, 3)};
  EXPECT_EQ(CVFindOldFrozenAgentIn(table, 0, nullptr), 0);
  table.procs = {Agent(101, 3), Agent(102, 50)};
  EXPECT_EQ(CVFindOldFrozenAgentIn(table, 0, nullptr), 102);
}

TEST(Scan, PassesOverExcludedSelfAndNonPositivePids) {
  FakeTable table;
  table.procs = {Agent(0, 50), Agent(-3, 50), Agent(kSelf, 50), Agent(321, 50), Agent(322, 4)};
  Outcome got = Scan(table, 321);
  EXPECT_EQ(got.old, 0);
  EXPECT_EQ(got.young, 322);
}

TEST(Scan, PassesOverOtherUsersAndUnreadableRecords) {
  FakeTable table;
  FakeProc other = Agent(101, 50);
  other.record->uid = kUid + 1;
  FakeProc root = Agent(102, 50);
  root.record->uid = 0;
  FakeProc vanished = Agent(103, 50);
  vanished.record.reset();
  table.procs = {other, root, vanished, Agent(104, 2)};
  Outcome got = Scan(table);
  EXPECT_EQ(got.old, 0);
  EXPECT_EQ(got.young, 104);
}

struct IdentityCase {
  const char* name;
  std::optional<std::string> path;
  std::string procName;
  std::string comm;
  bool agent;
  friend void PrintTo(const IdentityCase& c, std::ostream* os) { *os << c.name; }
};

class ScanIdentity : public testing::TestWithParam<IdentityCase> {};

TEST_P(ScanIdentity, PathDecidesAndNamesOnlyWhenPathUnreadable) {
  const IdentityCase& c = GetParam();
  FakeTable table;
  FakeProc p = Agent(101, 50);
  p.path = c.path;
  p.record = Record(50, kUid, c.procName, c.comm);
  table.procs = {p};
  EXPECT_EQ(Scan(table).old, c.agent ? 101 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ScanIdentity,
    testing::Values(
        IdentityCase{"BundleCopy", kAgentPath, "CorvantisAgent", "CorvantisAgent", true},
        IdentityCase{"AnyBundle", "/Users/x/Old.app/Contents/Resources/agent/CorvantisAgent", "x",
                     "x", true},
        IdentityCase{"SuffixOnly", "/Contents/Resources/agent/CorvantisAgent", "", "", true},
        IdentityCase{"NameButPathElsewhere", "/usr/local/bin/CorvantisAgent", "CorvantisAgent",
                     "CorvantisAgent", false},
        IdentityCase{"SuffixWithoutSlash", "/opt/XContents/Resources/agent/CorvantisAgent",
                     "CorvantisAgent", "CorvantisAgent", false},
        IdentityCase{"CaseDiffers", "/opt/C.app/Contents/Resources/agent/corvantisagent",
                     "CorvantisAgent", "CorvantisAgent", false},
        IdentityCase{"LongerName", "/opt/C.app/Contents/Resources/agent/CorvantisAgent2",
                     "CorvantisAgent", "CorvantisAgent", false},
        IdentityCase{"Truncated", "Resources/agent/CorvantisAgent", "CorvantisAgent",
                     "CorvantisAgent", false},
        IdentityCase{"UnreadableByName", std::nullopt, "CorvantisAgent", "other", true},
        IdentityCase{"UnreadableEmptyNameByComm", std::nullopt, "", "CorvantisAgent", true},
        IdentityCase{"UnreadableEmptyPathByComm", "", "", "CorvantisAgent", true},
        IdentityCase{"UnreadableOtherNames", std::nullopt, "sleep", "sleep", false},
        IdentityCase{"UnreadableNamePrefix", std::nullopt, "CorvantisAgen", "CorvantisAgentX",
                     false}),
    CaseName<IdentityCase>);

struct ToolCase {
  const char* name;
  std::optional<std::vector<std::string>> argv;  // nullopt: unreadable
  bool tool;
  friend void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.name; }
};

class ScanToolRun : public testing::TestWithParam<ToolCase> {};

TEST_P(ScanToolRun, ToolRunsArePassedOverAtAnyAge) {
  const ToolCase& c = GetParam();
  for (int age : {2, 50}) {
    FakeTable table;
    FakeProc p = Agent(101, age);
    if (c.argv) {
      p = WithArgs(p, *c.argv);
    } else {
      p.cmdline.reset();
    }
    table.procs = {p};
    Outcome got = Scan(table);
    pid_t counted = c.tool ? 0 : 101;
    EXPECT_EQ(got.old, age > 19 ? counted : 0) << "age " << age;
    EXPECT_EQ(got.young, age > 19 ? 0 : counted) << "age " << age;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Args, ScanToolRun,
    testing::Values(
        ToolCase{"NoArguments", std::vector<std::string>{"CorvantisAgent"}, false},
        ToolCase{"ToolFirst", std::vector<std::string>{"CorvantisAgent", "--tool"}, true},
        ToolCase{"ToolFirstThenMore",
                 std::vector<std::string>{"CorvantisAgent", "--tool", "status"}, true},
        ToolCase{"ToolPrefix", std::vector<std::string>{"CorvantisAgent", "--toolx"}, false},
        ToolCase{"ToolShort", std::vector<std::string>{"CorvantisAgent", "--too"}, false},
        ToolCase{"ToolSecond", std::vector<std::string>{"CorvantisAgent", "-v", "--tool"}, false},
        ToolCase{"ToolAsArgv0", std::vector<std::string>{"--tool", "x"}, false},
        ToolCase{"EmptyCommandLine", std::vector<std::string>{}, false},
        ToolCase{"Unreadable", std::nullopt, false}),
    CaseName<ToolCase>);

TEST(Scan, ArgumentsReadOnlyForOwnedAgents) {
  FakeTable table;
  FakeProc other = Agent(101, 50);
  other.record->uid = kUid + 1;
  FakeProc notAgent = Agent(102, 50);
  notAgent.path = "/bin/sleep";
  table.procs = {other, notAgent, Agent(103, 1)};
  Scan(table);
  EXPECT_EQ(table.argsRead, std::vector<pid_t>{103});
}

// ---- agents of another settings folder ----

// A directory as a look-up finds it: its device and inode.
struct FakeDir {
  dev_t dev;
  ino_t ino;
};
using Dirs = std::map<std::string, FakeDir>;

// This process's environment for the scan, as cv::CurrentEnv() gives it:
// only the variables named, and "/pw" as the password-database home.
// Paths are looked up in `dirs` (by their exact text; anything else does
// not exist), or on the real file system when `dirs` is nullopt. Installed
// while the object lives.
class OwnEnvironment : public cv::EnvWrapper {
 public:
  explicit OwnEnvironment(std::vector<std::pair<std::string, std::string>> vars,
                          std::optional<Dirs> dirs = Dirs{})
      : EnvWrapper(cv::Env::Default()), vars_(std::move(vars)), dirs_(std::move(dirs)), guard_(this) {}

  std::optional<std::string> GetEnv(const char* name) override {
    for (const auto& [k, v] : vars_) {
      if (k == name) return v;
    }
    return std::nullopt;
  }
  std::optional<std::string> RealUserHome() override { return "/pw"; }
  int FstatAt(int dirFd, const char* path, struct stat* st, int flags) override {
    if (!dirs_) return EnvWrapper::FstatAt(dirFd, path, st, flags);
    auto it = dirs_->find(path);
    if (dirFd != AT_FDCWD || flags != 0 || it == dirs_->end()) {
      errno = ENOENT;
      return -1;
    }
    *st = {};
    st->st_mode = S_IFDIR | 0700;
    st->st_dev = it->second.dev;
    st->st_ino = it->second.ino;
    return 0;
  }

 private:
  std::vector<std::pair<std::string, std::string>> vars_;
  std::optional<Dirs> dirs_;
  cv::ScopedEnv guard_;
};

std::string EnvBlock(std::vector<std::string> entries) {
  std::string block;
  for (const std::string& e : entries) block += e + '\0';
  return block;
}

struct FolderCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> own;
  std::optional<std::string> theirs;  // the candidate's block; nullopt: unreadable
  bool counted;
  friend void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }
};

class ScanFolder : public testing::TestWithParam<FolderCase> {};

TEST_P(ScanFolder, AgentsOfAnotherFolderArePassedOverAtAnyAge) {
  const FolderCase& c = GetParam();
  OwnEnvironment env(c.own);
  for (int age : {2, 50}) {
    FakeTable table;
    FakeProc p = Agent(101, age);
    p.environ = c.theirs;
    table.procs = {p};
    Outcome got = Scan(table);
    pid_t counted = c.counted ? 101 : 0;
    EXPECT_EQ(got.old, age > 19 ? counted : 0) << "age " << age;
    EXPECT_EQ(got.young, age > 19 ? 0 : counted) << "age " << age;
  }
}

using Vars = std::vector<std::pair<std::string, std::string>>;
const Vars kOwnX = {{"CORVANTIS_AGENT_DIR", "/x"}, {"HOME", "/h"}};

INSTANTIATE_TEST_SUITE_P(
    Environments, ScanFolder,
    testing::Values(
        FolderCase{"SameOverride", kOwnX, EnvBlock({"HOME=/h", "CORVANTIS_AGENT_DIR=/x"}), true},
        FolderCase{"OtherOverride", kOwnX, EnvBlock({"HOME=/h", "CORVANTIS_AGENT_DIR=/y"}), false},
        FolderCase{"OtherHome", {{"HOME", "/h"}}, EnvBlock({"HOME=/g"}), false},
        FolderCase{"SameFolderByAnotherSource", {{"CORVANTIS_AGENT_DIR", "/h/Corvantis"}},
                   EnvBlock({"HOME=/h"}), true},
        FolderCase{"TrailingSlashAndDoubledSlash", kOwnX, EnvBlock({"CORVANTIS_AGENT_DIR=//x/"}),
                   true},
        FolderCase{"PrefixIsAnotherFolder", kOwnX, EnvBlock({"CORVANTIS_AGENT_DIR=/x2"}), false},
        FolderCase{"EmptyOverrideFallsToHome", {{"HOME", "/h"}},
                   EnvBlock({"CORVANTIS_AGENT_DIR=", "HOME=/h"}), true},
        FolderCase{"AppDataBeforeHome", {{"HOME", "/h"}}, EnvBlock({"HOME=/h", "APPDATA=/a"}),
                   false},
        FolderCase{"NothingSetIsThePasswordHome", {{"CORVANTIS_AGENT_DIR", "/pw/Corvantis"}},
                   EnvBlock({"PATH=/bin"}), true},
        FolderCase{"NothingSetElsewhere", kOwnX, EnvBlock({"PATH=/bin"}), false},
        FolderCase{"FirstOfTwoEntriesDecides", kOwnX,
                   EnvBlock({"CORVANTIS_AGENT_DIR=/y", "CORVANTIS_AGENT_DIR=/x"}), false},
        FolderCase{"NameMustMatchWhole", kOwnX,
                   EnvBlock({"XCORVANTIS_AGENT_DIR=/y", "CORVANTIS_AGENT_DIRX=/y",
                             "CORVANTIS_AGENT_DIR=/x"}),
                   true},
        FolderCase{"LastEntryWithoutNul", kOwnX, std::string("CORVANTIS_AGENT_DIR=/y"), false},
        FolderCase{"UnreadableCounts", kOwnX, std::nullopt, true},
        // An exec in progress shows the new path before the environment.
        FolderCase{"EmptyBlockCounts", kOwnX, std::string(), true},
        FolderCase{"ResolvingToNoFolderCounts", kOwnX, EnvBlock({"CORVANTIS_AGENT_DIR=rel"}),
                   true},
        FolderCase{"NoOwnFolderCountsAll", {{"CORVANTIS_AGENT_DIR", "rel"}},
                   EnvBlock({"CORVANTIS_AGENT_DIR=/y"}), true}),
    CaseName<FolderCase>);

// Two spellings of one settings folder: the same directory when both can be
// looked up, the text when either cannot.
struct SpellingCase {
  const char* name;
  Vars own;
  std::string theirs;  // the candidate's block
  Dirs dirs;
  bool counted;
  friend void PrintTo(const SpellingCase& c, std::ostream* os) { *os << c.name; }
};

class ScanFolderSpelling : public testing::TestWithParam<SpellingCase> {};

TEST_P(ScanFolderSpelling, OneDirectoryIsOneFolderHoweverSpelt) {
  const SpellingCase& c = GetParam();
  OwnEnvironment env(c.own, c.dirs);
  FakeTable table;
  FakeProc p = Agent(101, 50);
  p.environ = c.theirs;
  table.procs = {p};
  EXPECT_EQ(Scan(table).old, c.counted ? 101 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, ScanFolderSpelling,
    testing::Values(
        // "/home" a link to "/var/home": the opener and the agent each took
        // HOME as its session gave it.
        SpellingCase{"HomeThroughALink", {{"HOME", "/home/u"}}, EnvBlock({"HOME=/var/home/u"}),
                     {{"/home/u/Corvantis", {8, 42}}, {"/var/home/u/Corvantis", {8, 42}}}, true},
        SpellingCase{"OverrideThroughALink", {{"CORVANTIS_AGENT_DIR", "/srv/link/C"}},
                     EnvBlock({"CORVANTIS_AGENT_DIR=/srv/real/C"}),
                     {{"/srv/link/C", {8, 42}}, {"/srv/real/C", {8, 42}}}, true},
        SpellingCase{"DotDotThroughALink", {{"CORVANTIS_AGENT_DIR", "/srv/C"}},
                     EnvBlock({"CORVANTIS_AGENT_DIR=/srv/link/../C"}),
                     {{"/srv/C", {8, 42}}, {"/srv/link/../C", {8, 42}}}, true},
        SpellingCase{"DoubledSlashesAndDots", {{"CORVANTIS_AGENT_DIR", "/srv/C"}},
                     EnvBlock({"CORVANTIS_AGENT_DIR=//srv//./C/."}), {{"/srv/C", {8, 42}}}, true},
        SpellingCase{"DifferentFolders", {{"CORVANTIS_AGENT_DIR", "/srv/C"}},
                     EnvBlock({"CORVANTIS_AGENT_DIR=/srv/D"}), {{"/srv/C", {8, 42}}, {"/srv/D", {8, 43}}},
                     false},
        SpellingCase{"SameInodeOnAnotherDevice", {{"CORVANTIS_AGENT_DIR", "/srv/C"}},
                     EnvBlock({"CORVANTIS_AGENT_DIR=/mnt/C"}), {{"/srv/C", {8, 42}}, {"/mnt/C", {9, 42}}},
                     false},
        // Where one spelling names nothing, only the text can tell.
        SpellingCase{"TheirsMissing", {{"CORVANTIS_AGENT_DIR", "/srv/C"}},
                     EnvBlock({"CORVANTIS_AGENT_DIR=/srv/link/C"}), {{"/srv/C", {8, 42}}}, false},
        SpellingCase{"OwnMissing", {{"CORVANTIS_AGENT_DIR", "/srv/link/C"}},
                     EnvBlock({"CORVANTIS_AGENT_DIR=/srv/C"}), {{"/srv/C", {8, 42}}}, false},
        SpellingCase{"BothMissingSameText", {{"CORVANTIS_AGENT_DIR", "/srv/C"}},
                     EnvBlock({"CORVANTIS_AGENT_DIR=/srv//C/"}), {}, true}),
    CaseName<SpellingCase>);

// The same on the real file system: a settings folder reached through a
// link to its parent, and spelt with "//" and ".".
TEST(Scan, FolderReachedThroughALinkOnDisk) {
  cvtest::TempDir root;
  ASSERT_EQ(mkdir(root.Join("real").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(root.Join("real/Corvantis").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(root.Join("other").c_str(), 0700), 0);
  ASSERT_EQ(symlink("real", root.Join("link").c_str()), 0);
  struct Case {
    std::string theirs;
    bool counted;
  } cases[] = {
      {root.Join("real/Corvantis"), true},
      {root.path() + "//real/./Corvantis/", true},
      {root.Join("link/../real/Corvantis"), true},
      {root.Join("other"), false},
      {root.Join("missing/Corvantis"), false},
  };
  OwnEnvironment env({{"HOME", root.Join("link")}}, std::nullopt);
  for (const Case& c : cases) {
    FakeTable table;
    FakeProc p = Agent(101, 50);
    p.environ = EnvBlock({"CORVANTIS_AGENT_DIR=" + c.theirs});
    table.procs = {p};
    EXPECT_EQ(Scan(table).old, c.counted ? 101 : 0) << c.theirs;
  }
}

TEST(Scan, AnotherFoldersOldAgentDoesNotHideThisFolders) {
  OwnEnvironment env(kOwnX);
  FakeTable table;
  FakeProc otherOld = Agent(101, 50);
  otherOld.environ = EnvBlock({"CORVANTIS_AGENT_DIR=/y"});
  FakeProc otherYoung = Agent(102, 3);
  otherYoung.environ = EnvBlock({"CORVANTIS_AGENT_DIR=/y"});
  FakeProc ownYoung = Agent(103, 4);
  ownYoung.environ = EnvBlock({"CORVANTIS_AGENT_DIR=/x"});
  FakeProc ownOld = Agent(104, 40);
  ownOld.environ = EnvBlock({"CORVANTIS_AGENT_DIR=/x"});
  table.procs = {otherOld, otherYoung, ownYoung, ownOld};
  Outcome got = Scan(table);
  EXPECT_EQ(got.old, 104);
  EXPECT_EQ(got.young, 103);
}

TEST(Scan, EnvironmentReadOnlyForOwnedAgentsThatAreNoToolRuns) {
  OwnEnvironment env(kOwnX);
  FakeTable table;
  FakeProc other = Agent(101, 50);
  other.record->uid = kUid + 1;
  FakeProc notAgent = Agent(102, 50);
  notAgent.path = "/bin/sleep";
  FakeProc tool = WithArgs(Agent(103, 50), {"CorvantisAgent", "--tool"});
  table.procs = {other, notAgent, tool, Agent(104, 1)};
  Scan(table);
  EXPECT_EQ(table.environRead, std::vector<pid_t>{104});
}

}  // namespace
