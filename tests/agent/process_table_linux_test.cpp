#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "agent/process_table.h"
#include "agent/procargs.h"
#include "agent/scan.h"
#include "test_support.h"
#include "util/env.h"

extern char** environ;

namespace {

// Names each case of a table by its "name".
template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& c) {
  return c.param.name;
}

using namespace std::string_literals;

// A copy of this test binary started with this variable set stands in for
// an agent that accepts any argument: it only waits to be killed.
constexpr char kIdleEnv[] = "CV_PROC_TEST_IDLE";
[[maybe_unused]] const bool kIdleStandIn = [] {
  if (getenv(kIdleEnv) != nullptr) {
    for (;;) pause();
  }
  return false;
}();

// ---- parsers on fixture strings

struct StatCase {
  const char* name;
  std::string line;
  bool ok;
  char state;
  uint64_t ticks;
  friend void PrintTo(const StatCase& c, std::ostream* os) { *os << c.name; }
};

class StatParse : public testing::TestWithParam<StatCase> {};

TEST_P(StatParse, CountsFieldsFromTheLastParenthesis) {
  const StatCase& c = GetParam();
  cv::StatFields f;
  ASSERT_EQ(cv::ParseProcStat(c.line, &f), c.ok);
  if (!c.ok) return;
  EXPECT_EQ(f.state, c.state);
  EXPECT_EQ(f.startTicks, c.ticks);
}

// Fields 4 to 21 of a stat line, then field 22 and the rest.
std::string Tail(const std::string& ticks) {
  return " 1 1 1 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 " + ticks + " 123 45 18446744073709551615\n";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, StatParse,
    testing::Values(
        StatCase{"Plain", "42 (sleep) S" + Tail("7311"), true, 'S', 7311},
        StatCase{"NameWithSpaceAndParen", "42 (a) b) R c) Z" + Tail("99"), true, 'Z', 99},
        StatCase{"NameLooksLikeFields", "42 (x) S 1 1 1 0 -1 4 5 6 7 8 9) S" + Tail("5"), true,
                 'S', 5},
        StatCase{"Zombie", "42 (CorvantisAgent) Z" + Tail("12"), true, 'Z', 12},
        StatCase{"LargestTicks", "42 (s) S" + Tail("18446744073709551615"), true, 'S',
                 18446744073709551615ull},
        StatCase{"TicksOverflow", "42 (s) S" + Tail("18446744073709551616"), false, 0, 0},
        StatCase{"TicksNegative", "42 (s) S" + Tail("-5"), false, 0, 0},
        StatCase{"CutBeforeField22", "42 (s) S 1 1 1 0 -1 4194560 100", false, 0, 0},
        StatCase{"NoParenthesis", "42 sleep S" + Tail("7"), false, 0, 0},
        StatCase{"LongState", "42 (s) SS" + Tail("7"), false, 0, 0},
        StatCase{"Empty", "", false, 0, 0}),
    CaseName<StatCase>);

struct UidCase {
  const char* name;
  std::string text;
  bool ok;
  uid_t uid;
  friend void PrintTo(const UidCase& c, std::ostream* os) { *os << c.name; }
};

class StatusParse : public testing::TestWithParam<UidCase> {};

TEST_P(StatusParse, TakesRealUidFromUidLine) {
  uid_t uid = 12345;
  ASSERT_EQ(cv::ParseStatusUid(GetParam().text, &uid), GetParam().ok);
  if (GetParam().ok) {
    EXPECT_EQ(uid, GetParam().uid);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StatusParse,
    testing::Values(
        UidCase{"RealIsFirst", "Name:\tsleep\nState:\tS\nUid:\t1000\t0\t0\t0\nGid:\t5\t5\t5\t5\n",
                true, 1000},
        UidCase{"Root", "Uid:\t0\t0\t0\t0\n", true, 0},
        UidCase{"LastLineWithoutNewline", "Name:\tx\nUid:\t65534\t1\t1\t1", true, 65534},
        UidCase{"SpacesInsteadOfTabs", "Uid:   42 42 42 42\n", true, 42},
        UidCase{"NameLineMentionsUid", "Name:\tUid: 7\nUid:\t8\t8\t8\t8\n", true, 8},
        UidCase{"NoUidLine", "Name:\tsleep\nGid:\t1\t1\t1\t1\n", false, 0},
        UidCase{"UidNotNumber", "Uid:\tabc\t0\t0\t0\n", false, 0},
        UidCase{"UidTooLarge", "Uid:\t4294967296\t0\t0\t0\n", false, 0},
        UidCase{"UidEmpty", "Uid:\n", false, 0}),
    CaseName<UidCase>);

TEST(ProcParse, BootTimeLine) {
  int64_t boot = 0;
  EXPECT_TRUE(cv::ParseBootTime("cpu  1 2 3\nintr 5 6\nctxt 9\nbtime 1700000000\nprocesses 4\n",
                                &boot));
  EXPECT_EQ(boot, 1700000000);
  EXPECT_FALSE(cv::ParseBootTime("cpu 1 2\nctxt 9\n", &boot));
  EXPECT_FALSE(cv::ParseBootTime("btime -1\n", &boot));
  EXPECT_FALSE(cv::ParseBootTime("xbtime 5\n", &boot));
}

TEST(ProcParse, DeletedSuffixIsCut) {
  const std::string agent = "/opt/C.app/Contents/Resources/agent/CorvantisAgent";
  EXPECT_EQ(cv::ExePathFromLink(agent + " (deleted)"), agent);
  EXPECT_EQ(cv::ExePathFromLink(agent), agent);
  EXPECT_EQ(cv::ExePathFromLink(agent + " (deleted) (deleted)"), agent + " (deleted)");
  EXPECT_EQ(cv::ExePathFromLink(agent + "(deleted)"), agent + "(deleted)");
  EXPECT_EQ(cv::ExePathFromLink(" (deleted)"), "");
}

// ---- the table over a folder shaped like /proc

class FixtureProc : public testing::Test {
 protected:
  void SetUp() override {
    hz_ = sysconf(_SC_CLK_TCK);
    ASSERT_GT(hz_, 0);
    boot_ = time(nullptr) - 100000;
    ASSERT_TRUE(cvtest::WriteFile(root_.Join("stat"),
                                  "cpu 1 2 3\nbtime " + std::to_string(boot_) + "\n"));
  }

  // Adds process `pid` started `age` seconds ago; empty strings leave a file
  // out, an empty `exe` leaves the link out.
  void AddProc(pid_t pid, int64_t age, const std::string& name, char state, uid_t uid,
               const std::string& exe, const std::string& cmdline) {
    std::string dir = root_.Join(std::to_string(pid));
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    lastStart_ = time(nullptr) - age;
    int64_t ticks = (lastStart_ - boot_) * hz_ + hz_ - 1;  // a fraction short of the next second
    std::string stat = std::to_string(pid) + " (" + name + ") " + state + Tail(std::to_string(ticks));
    ASSERT_TRUE(cvtest::WriteFile(dir + "/stat", stat));
    ASSERT_TRUE(cvtest::WriteFile(dir + "/status", "Name:\t" + name + "\nUid:\t" +
                                                       std::to_string(uid) + "\t0\t0\t0\n"));
    ASSERT_TRUE(cvtest::WriteFile(dir + "/comm", name + "\n"));
    ASSERT_TRUE(cvtest::WriteFile(dir + "/cmdline", cmdline));
    if (!exe.empty()) {
      ASSERT_EQ(symlink(exe.c_str(), (dir + "/exe").c_str()), 0);
    }
  }

  cvtest::TempDir root_;
  long hz_ = 0;
  int64_t boot_ = 0;
  int64_t lastStart_ = 0;
};

constexpr char kAgent[] = "/opt/C.app/Contents/Resources/agent/CorvantisAgent";

TEST_F(FixtureProc, ListsNumericEntriesOnly) {
  AddProc(300, 1, "a", 'S', 0, "", "a\0"s);
  AddProc(7, 1, "b", 'S', 0, "", "b\0"s);
  ASSERT_EQ(mkdir(root_.Join("self").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(root_.Join("12x").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(root_.Join("99999999999999").c_str(), 0755), 0);
  cv::ProcfsTable table(root_.path());
  std::vector<pid_t> pids;
  ASSERT_TRUE(table.ListPids(&pids));
  std::sort(pids.begin(), pids.end());
  EXPECT_EQ(pids, (std::vector<pid_t>{7, 300}));

  cv::ProcfsTable missing(root_.Join("nothing"));
  EXPECT_FALSE(missing.ListPids(&pids));
}

TEST_F(FixtureProc, RecordFromStatStatusAndComm) {
  AddProc(42, 7, "Corvantis) S 1", 'S', 1234, "", "x\0"s);
  cv::ProcfsTable table(root_.path());
  cv::ProcessRecord rec;
  ASSERT_TRUE(table.ReadRecord(42, &rec));
  EXPECT_EQ(rec.uid, 1234u);
  EXPECT_EQ(rec.startSec, lastStart_);
  EXPECT_EQ(rec.name, "Corvantis) S 1");
  EXPECT_EQ(rec.comm, "Corvantis) S 1");
}

TEST_F(FixtureProc, UnreadableRecords) {
  AddProc(10, 1, "CorvantisAgent", 'Z', 0, kAgent, "");
  AddProc(11, 1, "CorvantisAgent", 'S', 0, kAgent, "a\0"s);
  ASSERT_EQ(unlink(root_.Join("11/status").c_str()), 0);
  AddProc(12, 1, "CorvantisAgent", 'S', 0, kAgent, "a\0"s);
  ASSERT_TRUE(cvtest::WriteFile(root_.Join("12/stat"), "12 (CorvantisAgent) S 1 2\n"));
  cv::ProcfsTable table(root_.path());
  cv::ProcessRecord rec;
  EXPECT_FALSE(table.ReadRecord(10, &rec)) << "exited, not reaped";
  EXPECT_FALSE(table.ReadRecord(11, &rec)) << "no status";
  EXPECT_FALSE(table.ReadRecord(12, &rec)) << "cut stat";
  EXPECT_FALSE(table.ReadRecord(13, &rec)) << "gone";

  ASSERT_TRUE(cvtest::WriteFile(root_.Join("stat"), "cpu 1 2 3\n"));
  AddProc(14, 1, "a", 'S', 0, "", "a\0"s);
  cv::ProcfsTable noBootTime(root_.path());
  EXPECT_FALSE(noBootTime.ReadRecord(14, &rec));
}

TEST_F(FixtureProc, PathAndArguments) {
  AddProc(20, 1, "CorvantisAgent", 'S', 0, std::string(kAgent) + " (deleted)",
          "CorvantisAgent\0--tool\0status\0"s);
  AddProc(21, 1, "CorvantisAgent", 'S', 0, "", "CorvantisAgent\0"s);
  ASSERT_EQ(unlink(root_.Join("21/cmdline").c_str()), 0);
  cv::ProcfsTable table(root_.path());

  std::string path;
  ASSERT_TRUE(table.ReadPath(20, &path));
  EXPECT_EQ(path, kAgent);
  EXPECT_FALSE(table.ReadPath(21, &path));

  std::vector<unsigned char> block;
  ASSERT_TRUE(table.ReadArgs(20, &block));
  EXPECT_TRUE(CVArgsShowToolRun(block.data(), block.size()));
  EXPECT_FALSE(table.ReadArgs(21, &block));
}

TEST_F(FixtureProc, ScanOverFixture) {
  uid_t me = getuid();
  AddProc(100, 50, "CorvantisAgent", 'S', me + 1, kAgent, "CorvantisAgent\0"s);  // other user
  AddProc(200, 50, "CorvantisAgent", 'Z', me, "", "");                  // exited
  AddProc(300, 50, "CorvantisAgent", 'S', me, kAgent, "CorvantisAgent\0--tool\0"s);
  AddProc(350, 50, "CorvantisAgent", 'S', me, "/usr/bin/CorvantisAgent", "CorvantisAgent\0"s);
  AddProc(400, 5, "CorvantisAgent", 'S', me, std::string(kAgent) + " (deleted)",
          "CorvantisAgent\0"s);
  AddProc(500, 50, "CorvantisAgent", 'S', me, "", "CorvantisAgent\0"s);  // path unreadable
  // A folder lists in no particular order: one old and one young agent.
  cv::ProcfsTable table(root_.path());
  EXPECT_EQ(CVFindOldFrozenAgentIn(table, 0, nullptr), 500);
  pid_t young = -1;
  EXPECT_EQ(CVFindOldFrozenAgentIn(table, 500, &young), 0);
  EXPECT_EQ(young, 400);
}

// The table reaches the system only through the Env it is given: the
// calling process's pid, user and clock come from it, every file it opens
// it closes, and a failing open fails the read.
class TableEnv : public cv::EnvWrapper {
 public:
  TableEnv() : EnvWrapper(cv::Env::Default()) {}
  int opens = 0;
  int closes = 0;
  int openErr = 0;
  double wall = 1000000.75;
  std::optional<double> sinceBoot;  // nullopt: the real boot clock

  int OpenAt(int dirFd, const char* path, int flags, mode_t mode) override {
    if (openErr) {
      errno = openErr;
      return -1;
    }
    int fd = EnvWrapper::OpenAt(dirFd, path, flags, mode);
    opens += fd >= 0;
    return fd;
  }
  int Close(int fd) override {
    closes++;
    return EnvWrapper::Close(fd);
  }
  pid_t GetPid() override { return 4242; }
  uid_t GetUid() override { return 77; }
  double WallClock() override { return wall; }
  double BootClock() override { return sinceBoot ? *sinceBoot : EnvWrapper::BootClock(); }
};

TEST_F(FixtureProc, ReadsThroughItsEnv) {
  AddProc(40, 7, "CorvantisAgent", 'S', 77, kAgent, "CorvantisAgent\0"s);
  ASSERT_TRUE(cvtest::WriteFile(root_.Join("40/environ"), "HOME=/h\0"s));
  TableEnv env;
  cv::ProcfsTable table(root_.path(), &env);
  EXPECT_EQ(table.Now(), 1000000);
  EXPECT_EQ(table.Self(), 4242);
  EXPECT_EQ(table.RealUid(), 77u);

  std::vector<pid_t> pids;
  ASSERT_TRUE(table.ListPids(&pids));
  EXPECT_EQ(pids, std::vector<pid_t>{40});
  cv::ProcessRecord rec;
  ASSERT_TRUE(table.ReadRecord(40, &rec));
  EXPECT_EQ(rec.uid, 77u);
  EXPECT_EQ(rec.startSec, lastStart_) << "a wall clock far from btime leaves btime as it stands";
  std::string path;
  ASSERT_TRUE(table.ReadPath(40, &path));
  EXPECT_EQ(path, kAgent);
  std::string block;
  ASSERT_TRUE(table.ReadEnviron(40, &block));
  EXPECT_GT(env.opens, 0);
  EXPECT_EQ(env.closes, env.opens);

  env.openErr = EMFILE;
  EXPECT_FALSE(table.ListPids(&pids));
  EXPECT_FALSE(table.ReadRecord(40, &rec));
  EXPECT_FALSE(table.ReadEnviron(40, &block));
  std::vector<unsigned char> args;
  EXPECT_FALSE(table.ReadArgs(40, &args));
}

// btime is whole seconds; the Env's clocks give the boot instant's fraction
// when they bear btime out. The process started a fraction short of a
// second after boot's whole second; 0.3 s more of boot moves it past it.
TEST_F(FixtureProc, BootFractionComesFromTheClocksWhenTheyAgreeWithBtime) {
  AddProc(50, 7, "a", 'S', 0, "", "a\0"s);
  struct Case {
    const char* name;
    double bootOffset;  // wall clock minus boot clock, from btime
    int64_t start;      // from lastStart_
  } cases[] = {
      {"clocks agree", 0.3, 1},
      {"clocks a second away", 5.0, 0},
      {"clocks before btime", -0.9, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TableEnv env;
    env.sinceBoot = 1000.0;
    env.wall = static_cast<double>(boot_) + 1000.0 + c.bootOffset;
    cv::ProcfsTable table(root_.path(), &env);
    cv::ProcessRecord rec;
    ASSERT_TRUE(table.ReadRecord(50, &rec));
    EXPECT_EQ(rec.startSec, lastStart_ + c.start);
  }
}

// ---- the real /proc with real children

// The real table, listing only the processes a test started, so that
// whatever else runs on the machine cannot change the outcome. Now may be
// shifted to look at the same processes later.
class OwnChildrenTable : public cv::ProcfsTable {
 public:
  std::vector<pid_t> only;
  time_t shift = 0;

  bool ListPids(std::vector<pid_t>* pids) override {
    if (!ProcfsTable::ListPids(pids)) return false;
    std::erase_if(*pids, [this](pid_t p) { return std::find(only.begin(), only.end(), p) == only.end(); });
    return true;
  }
  time_t Now() override { return ProcfsTable::Now() + shift; }
};

std::optional<std::string> LinkOf(pid_t pid) {
  char buf[4096];
  ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf);
  if (n <= 0) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

char StateOf(pid_t pid) {
  std::optional<std::string> text = cvtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  cv::StatFields f;
  if (!text || !cv::ParseProcStat(*text, &f)) return 0;
  return f.state;
}

// A program copied into an application bundle below a temporary folder and
// run from there as a child. The child is killed and reaped on destruction.
class BundleCopy {
 public:
  // Copies `program` to <tmp>/<bundle>/Contents/Resources/agent/CorvantisAgent.
  BundleCopy(const std::string& program, const std::string& bundle = "X.app",
             const std::string& leaf = "Contents/Resources/agent/CorvantisAgent") {
    path_ = dir_.Join(bundle + "/" + leaf);
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
    std::optional<std::string> bytes = cvtest::ReadFile(program);
    ok_ = bytes && cvtest::WriteFile(path_, *bytes, 0755) && chmod(path_.c_str(), 0755) == 0;
  }
  ~BundleCopy() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      int status;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }

  // Starts the copy with `argv` and waits until it runs the copy. `vars`
  // ("NAME=value") replace the same names of this process's environment.
  bool Run(const std::vector<std::string>& argv, bool idle = false,
           const std::vector<std::string>& vars = {}) {
    if (!ok_) return false;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      std::string name = entry.substr(0, entry.find('='));
      bool replaced = std::any_of(vars.begin(), vars.end(),
                                  [&](const std::string& v) { return v.substr(0, v.find('=')) == name; });
      if (!replaced) envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), vars.begin(), vars.end());
    if (idle) envStrings.push_back(std::string(kIdleEnv) + "=1");
    std::vector<char*> env;
    for (std::string& e : envStrings) env.push_back(e.data());
    env.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      execve(path_.c_str(), args.data(), env.data());
      _exit(127);
    }
    return cvtest::WaitUntil([this] { return LinkOf(pid_) == path_ || StateOf(pid_) == 'Z'; }, 30);
  }

  const std::string& path() const { return path_; }
  pid_t pid() const { return pid_; }

 private:
  cvtest::TempDir dir_;
  std::string path_;
  bool ok_ = false;
  pid_t pid_ = -1;
};

struct Found {
  pid_t old;
  pid_t young;
};

Found ScanChildren(std::vector<pid_t> only, time_t shift = 0) {
  OwnChildrenTable table;
  table.only = std::move(only);
  table.shift = shift;
  Found f{-1, -1};
  f.old = CVFindOldFrozenAgentIn(table, 0, &f.young);
  return f;
}

// The start second of a process is the second its fork happened in: never
// one early, which would make an agent of 19 seconds count as old. Whether
// the boot instant's fraction was lost shows only for some start instants,
// so several children are checked.
TEST(RealProc, StartSecondIsTheSecondOfTheFork) {
  cv::ProcfsTable table;
  for (int i = 0; i < 25; ++i) {
    struct timespec before, after;
    clock_gettime(CLOCK_REALTIME, &before);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      pause();
      _exit(0);
    }
    clock_gettime(CLOCK_REALTIME, &after);
    cv::ProcessRecord rec;
    bool read = table.ReadRecord(pid, &rec);
    kill(pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ASSERT_TRUE(read);
    // The start is counted in clock ticks: allow one tick (at most 10 ms at
    // the usual 100 Hz) before the first reading.
    double earliest = before.tv_sec + before.tv_nsec / 1e9 - 0.011;
    EXPECT_GE(rec.startSec, static_cast<int64_t>(std::floor(earliest))) << "child " << i;
    EXPECT_LE(rec.startSec, static_cast<int64_t>(after.tv_sec)) << "child " << i;
    // Spread the forks over the fractions of a second.
    usleep(37000);
  }
}

TEST(RealProc, RunOfBundleCopyIsYoungThenOld) {
  time_t before = time(nullptr);
  BundleCopy agent("/bin/sleep");
  ASSERT_TRUE(agent.Run({"CorvantisAgent", "30"}));
  time_t after = time(nullptr);

  cv::ProcfsTable table;
  cv::ProcessRecord rec;
  ASSERT_TRUE(table.ReadRecord(agent.pid(), &rec));
  EXPECT_EQ(rec.uid, getuid());
  EXPECT_EQ(rec.comm, "CorvantisAgent");
  EXPECT_GE(rec.startSec, before - 2);
  EXPECT_LE(rec.startSec, after + 2);
  std::string path;
  ASSERT_TRUE(table.ReadPath(agent.pid(), &path));
  EXPECT_EQ(path, agent.path());

  Found now = ScanChildren({agent.pid()});
  EXPECT_EQ(now.old, 0);
  EXPECT_EQ(now.young, agent.pid());
  Found later = ScanChildren({agent.pid()}, 25);
  EXPECT_EQ(later.old, agent.pid());
  EXPECT_EQ(later.young, 0);
}

TEST(RealProc, ToolRunIsPassedOver) {
  std::optional<std::string> self = LinkOf(getpid());
  ASSERT_TRUE(self);
  BundleCopy tool(*self);
  ASSERT_TRUE(tool.Run({"CorvantisAgent", "--tool", "status"}, true));
  BundleCopy agent(*self, "Y.app");
  ASSERT_TRUE(agent.Run({"CorvantisAgent", "--toolx"}, true));
  ASSERT_NE(StateOf(tool.pid()), 'Z');
  ASSERT_NE(StateOf(agent.pid()), 'Z');

  Found f = ScanChildren({tool.pid(), agent.pid()}, 25);
  EXPECT_EQ(f.old, agent.pid());
  EXPECT_EQ(f.young, 0);
  f = ScanChildren({tool.pid()}, 25);
  EXPECT_EQ(f.old, 0);
  EXPECT_EQ(f.young, 0);
}

TEST(RealProc, AgentWhoseFileWasRemovedIsStillFound) {
  BundleCopy agent("/bin/sleep");
  ASSERT_TRUE(agent.Run({"CorvantisAgent", "30"}));
  ASSERT_EQ(unlink(agent.path().c_str()), 0);
  ASSERT_EQ(LinkOf(agent.pid()), agent.path() + " (deleted)");

  Found f = ScanChildren({agent.pid()});
  EXPECT_EQ(f.old, 0);
  EXPECT_EQ(f.young, agent.pid());
}

TEST(RealProc, CopyOutsideBundleAndExitedRunArePassedOver) {
  BundleCopy elsewhere("/bin/sleep", "bin", "CorvantisAgent");
  ASSERT_TRUE(elsewhere.Run({"CorvantisAgent", "30"}));
  BundleCopy exited("/bin/sleep");
  ASSERT_TRUE(exited.Run({"CorvantisAgent", "0"}));
  ASSERT_TRUE(cvtest::WaitUntil([&] { return StateOf(exited.pid()) == 'Z'; }, 30));

  Found f = ScanChildren({elsewhere.pid(), exited.pid()}, 25);
  EXPECT_EQ(f.old, 0);
  EXPECT_EQ(f.young, 0);
}

TEST(RealProc, FindOldFrozenAgentFindsRunningCopy) {
  BundleCopy agent("/bin/sleep");
  ASSERT_TRUE(agent.Run({"CorvantisAgent", "30"}));
  pid_t young = -1;
  pid_t old = CVFindOldFrozenAgent(agent.pid(), &young);
  if (old != 0 || young != 0) GTEST_SKIP() << "another agent runs on this machine: " << old << " " << young;

  young = -1;
  EXPECT_EQ(CVFindOldFrozenAgent(0, &young), 0);
  EXPECT_EQ(young, agent.pid());
  EXPECT_EQ(CVFindOldFrozenAgent(0, nullptr), 0);
}

// ---- agents of another settings folder

TEST_F(FixtureProc, EnvironmentWholeOrNot) {
  AddProc(30, 1, "CorvantisAgent", 'S', 0, kAgent, "CorvantisAgent\0"s);
  ASSERT_TRUE(cvtest::WriteFile(root_.Join("30/environ"), "HOME=/h\0CORVANTIS_AGENT_DIR=/x\0"s));
  AddProc(31, 1, "CorvantisAgent", 'S', 0, kAgent, "CorvantisAgent\0"s);
  cv::ProcfsTable table(root_.path());
  std::string block;
  ASSERT_TRUE(table.ReadEnviron(30, &block));
  EXPECT_EQ(block, "HOME=/h\0CORVANTIS_AGENT_DIR=/x\0"s);
  EXPECT_FALSE(table.ReadEnviron(31, &block));
  // A block longer than any the kernel passes to a program is cut: unusable.
  ASSERT_TRUE(cvtest::WriteFile(root_.Join("31/environ"),
                                std::string(static_cast<size_t>(sysconf(_SC_ARG_MAX)) + 1, 'x')));
  EXPECT_FALSE(table.ReadEnviron(31, &block));
}

TEST(RealProc, AgentOfAnotherFolderIsPassedOverAndOfThisFolderCounted) {
  std::optional<std::string> self = LinkOf(getpid());
  ASSERT_TRUE(self);
  cvtest::TempDir folders;
  std::string own = folders.Join("own");
  cvtest::ScopedEnv env("CORVANTIS_AGENT_DIR", own);
  BundleCopy other(*self, "O.app");
  ASSERT_TRUE(other.Run({"CorvantisAgent"}, true, {"CORVANTIS_AGENT_DIR=" + folders.Join("other")}));
  BundleCopy same(*self, "S.app");
  // The same folder spelt with a doubled and a trailing slash.
  ASSERT_TRUE(same.Run({"CorvantisAgent"}, true, {"CORVANTIS_AGENT_DIR=/" + own + "/"}));
  BundleCopy byHome(*self, "H.app");
  ASSERT_TRUE(byHome.Run({"CorvantisAgent"}, true, {"CORVANTIS_AGENT_DIR=", "HOME=" + folders.path()}));
  // The exec shows the new path a moment before the environment.
  for (pid_t pid : {other.pid(), same.pid(), byHome.pid()}) {
    ASSERT_TRUE(cvtest::WaitUntil(
        [pid] { return !cvtest::ReadFile("/proc/" + std::to_string(pid) + "/environ").value_or("").empty(); },
        30));
  }

  Found f = ScanChildren({other.pid()}, 25);
  EXPECT_EQ(f.old, 0);
  EXPECT_EQ(f.young, 0);
  f = ScanChildren({other.pid()});
  EXPECT_EQ(f.young, 0);
  f = ScanChildren({other.pid(), same.pid()});
  EXPECT_EQ(f.old, 0);
  EXPECT_EQ(f.young, same.pid());
  f = ScanChildren({other.pid(), same.pid()}, 25);
  EXPECT_EQ(f.old, same.pid());
  // HOME/Corvantis is another folder than "own".
  f = ScanChildren({byHome.pid()}, 25);
  EXPECT_EQ(f.old, 0);
  cvtest::ScopedEnv home("CORVANTIS_AGENT_DIR", folders.Join("Corvantis"));
  f = ScanChildren({byHome.pid()}, 25);
  EXPECT_EQ(f.old, byHome.pid());
}

// An agent whose environment this user may not read (its effective user is
// another) counts as this folder's, whatever the environment holds.
TEST(RealProc, AgentWithUnreadableEnvironmentCounts) {
  if (!cvtest::CanSwitchUser()) GTEST_SKIP() << "needs root to make a process of mixed users";
  pid_t agent = fork();
  ASSERT_GE(agent, 0);
  if (agent == 0) {
    prctl(PR_SET_NAME, "CorvantisAgent", 0, 0, 0);
    if (setresgid(cvtest::kNobody, 0, 0) != 0 || setresuid(cvtest::kNobody, 0, 0) != 0) _exit(1);
    for (;;) pause();
  }
  ASSERT_TRUE(cvtest::WaitUntil(
      [&] {
        cv::ProcessRecord rec;
        return cv::ProcfsTable().ReadRecord(agent, &rec) && rec.uid == cvtest::kNobody &&
               rec.comm == "CorvantisAgent";
      },
      30));
  int rc = cvtest::RunAsUser(cvtest::kNobody, [agent] {
    // The agent's environment names this process's folder; this process now
    // resolves another, which a readable environment would give away.
    setenv("CORVANTIS_AGENT_DIR", "/elsewhere/entirely", 1);
    OwnChildrenTable table;
    std::string block;
    if (table.ReadEnviron(agent, &block)) return 10;
    table.only = {agent};
    table.shift = 25;
    pid_t young = -1;
    if (CVFindOldFrozenAgentIn(table, 0, &young) != agent) return 11;
    return 0;
  });
  kill(agent, SIGKILL);
  int status;
  while (waitpid(agent, &status, 0) < 0 && errno == EINTR) {
  }
  EXPECT_EQ(rc, 0);
}

}  // namespace
