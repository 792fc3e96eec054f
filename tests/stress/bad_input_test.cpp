// Hostile arguments and a hostile environment, end to end: every input has a
// clear result (an alert, or the tract handled by the agent), nothing posted
// is lost, and nothing is written outside the settings folder. Remote file
// URIs are rejected, a path that cannot go into a request is a fault of that
// one document ("bad-path"), and control characters in names stay inside one
// log line.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "stress_rig.h"

namespace {

using cvstress::AlertLine;
using cvstress::Rig;

// What one run of the opener did.
struct Outcome {
  std::optional<int> status;
  std::string log;
  std::vector<std::string> alerts;  // the stderr alert lines, in order
  std::vector<std::string> opened;  // paths the agent opened meanwhile, in order
};

std::string Utf8Quoted(const std::string& name) { return "\u201c" + name + "\u201d"; }

// A path of exactly `units` ASCII characters below `dir`, ending in "long.corva".
std::string PathOfLength(const std::string& dir, size_t units) {
  std::string path = dir;
  const std::string last = "/long.corva";
  while (path.size() + last.size() < units) {
    size_t room = units - path.size() - last.size();
    path += "/" + std::string(std::min<size_t>(200, room > 1 ? room - 1 : 1), 'd');
  }
  path += last;
  path.resize(units - last.size());
  return path + last;
}

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    bool locked = false;
    agent_ = rig_.StartAgent({}, &locked);
    ASSERT_TRUE(locked) << agent_->Err();
    good_ = rig_.Tract("good.corva");
    before_ = cvtest::ListDir(rig_.FilesDir());
  }

  void TearDown() override {
    // Nothing appeared beside the tracts, and the queue folder is empty.
    EXPECT_EQ(cvtest::ListDir(rig_.FilesDir()), before_);
    EXPECT_EQ(rig_.Queue(), std::vector<std::string>{});
    EXPECT_EQ(cvstress::CountPrefixed(agent_->Out(), "rejected "), 0) << agent_->Out();
    for (const std::string& n : cvtest::ListDir(rig_.Settings()))
      EXPECT_TRUE(n == "open-requests" || n == "agent.lock" || n == "agent.log") << "settings folder: " << n;
  }

  // Runs the opener with `args` in the tracts folder, waits for it and for
  // the agent's lines about it.
  Outcome Run(const std::vector<std::string>& args, const cvstress::EnvChanges& extra = {}) {
    size_t seen = cvtest::Lines(agent_->Out()).size();
    auto opener = rig_.StartOpener(args, extra, rig_.FilesDir());
    Outcome o;
    o.status = opener->Wait(60);
    o.log = opener->Err();
    for (const std::string& l : cvtest::Lines(o.log))
      if (l.compare(0, 17, "Corvantis Agent: ") == 0) o.alerts.push_back(l);
    auto lines = cvtest::Lines(agent_->Out());
    for (size_t i = seen; i < lines.size(); ++i)
      if (lines[i].compare(0, 5, "open ") == 0) o.opened.push_back(lines[i].substr(5));
    ++tried_;
    return o;
  }

  Rig rig_;
  std::unique_ptr<cvtest::Process> agent_;
  std::string good_;
  std::vector<std::string> before_;
  static int tried_;
};

int BadInput::tried_ = 0;

struct Case {
  std::string what;
  std::vector<std::string> args;
  std::vector<std::string> alerts;
  std::vector<std::string> opened;
};

void Check(const Case& c, const Outcome& o) {
  EXPECT_TRUE(cvstress::ExitedZero(o.status)) << c.what << "\n" << o.log;
  EXPECT_EQ(o.alerts, c.alerts) << c.what << "\n" << o.log;
  EXPECT_EQ(o.opened, c.opened) << c.what << "\n" << o.log;
}

TEST_F(BadInput, ArgumentsEachGetAClearResult) {
  const std::string dir = rig_.FilesDir();
  const std::string notCorva = AlertLine(cvstress::kNotCorvaAlert);
  std::string spaced = rig_.Tract("My Plan.corva");
  std::string newline = rig_.Tract("two\nlines.corva");
  std::string tab = rig_.Tract("tab\there.corva");
  ASSERT_EQ(mkdir((dir + "/folder.corva").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0700), 0);
  before_ = cvtest::ListDir(dir);
  const std::string base = dir.substr(dir.rfind('/') + 1);
  std::string exact = PathOfLength(dir, 8192);
  ASSERT_EQ(exact.size(), 8192u);

  const Case cases[] = {
      {"https URI", {"https://example.com/x.corva", good_}, {notCorva}, {good_}},
      {"sftp URI", {"sftp://host" + dir + "/good.corva", good_}, {notCorva}, {good_}},
      {"data URI", {"data:,x.corva", good_}, {notCorva}, {good_}},
      {"an escaped slash", {"file://" + dir + "/a%2Fb.corva", good_}, {notCorva}, {good_}},
      {"an empty argument", {"", good_}, {notCorva}, {good_}},
      {"three rejects in one event", {"", "notes.txt", "https://x/y.corva", good_}, {notCorva}, {good_}},
      {"file URI with localhost", {"file://localhost" + good_}, {}, {good_}},
      {"file URI, empty host", {"file://" + good_}, {}, {good_}},
      {"percent-encoded space", {"file://" + dir + "/My%20Plan.corva"}, {}, {spaced}},
      {"percent-encoded letters", {"file://" + dir + "/%67ood.%63orva"}, {}, {good_}},
      {"relative path", {"good.corva"}, {}, {good_}},
      // "." goes; ".." stays for the kernel to take after the folder before it
      // (a link, perhaps): both open good.corva.
      {"relative path with dots", {"./sub/../good.corva", "../" + base + "/good.corva"},
       {}, {dir + "/sub/../good.corva", dir + "/../" + base + "/good.corva"}},
      {"a name with a newline", {newline}, {}, {newline.substr(0, newline.find('\n')) + "\\x0alines.corva"}},
      {"a name with a tab", {tab}, {}, {tab.substr(0, tab.find('\t')) + "\\x09here.corva"}},
      {"a directory named x.corva", {dir + "/folder.corva"}, {}, {dir + "/folder.corva"}},
      {"upper-case extension of a missing file", {dir + "/missing.CORVA"}, {}, {dir + "/missing.CORVA"}},
      {"a path of exactly 8192 characters", {exact, good_}, {}, {exact, good_}},
  };
  for (const Case& c : cases) Check(c, Run(c.args));
  fprintf(stderr, "bad input: %d argument sets tried\n", tried_);
}

TEST_F(BadInput, RemoteFileUriIsRejected) {
  Case c{"file URI with another host", {"file://otherhost" + good_, good_}, {AlertLine(cvstress::kNotCorvaAlert)},
         {good_}};
  Check(c, Run(c.args));
}

TEST_F(BadInput, InvalidUtf8PathIsOneDocumentsFault) {
  std::string bad = rig_.Tract("bad\xff.corva");
  before_ = cvtest::ListDir(rig_.FilesDir());
  const std::string prefix = "Corvantis Agent: Corvantis can't open \u201c";
  const std::string suffix = "\u201d: its path isn't valid UTF-8.";
  std::string bad2 = rig_.Tract("\xc3(.corva");
  before_ = cvtest::ListDir(rig_.FilesDir());
  for (const auto& args : {std::vector<std::string>{bad, good_},
                           std::vector<std::string>{"file://" + rig_.FilesDir() + "/bad%FF.corva", good_},
                           std::vector<std::string>{bad, good_, bad2}}) {
    Outcome o = Run(args);
    EXPECT_TRUE(cvstress::ExitedZero(o.status)) << o.log;
    ASSERT_EQ(o.alerts.size(), 1u) << o.log;
    EXPECT_EQ(o.alerts[0].compare(0, prefix.size(), prefix), 0) << o.alerts[0];
    EXPECT_TRUE(o.alerts[0].size() > suffix.size() &&
                o.alerts[0].compare(o.alerts[0].size() - suffix.size(), suffix.size(), suffix) == 0)
        << o.alerts[0];
    // The event's other document is still posted and handled.
    EXPECT_EQ(o.opened, std::vector<std::string>{good_}) << o.log;
  }
}

TEST_F(BadInput, OverlongPathIsOneDocumentsFault) {
  std::string over = PathOfLength(rig_.FilesDir(), 8193);
  ASSERT_EQ(over.size(), 8193u);
  Case c{"a path of 8193 characters",
         {over, good_},
         {"Corvantis Agent: Corvantis can't open " + Utf8Quoted("long.corva") +
          ": its path is longer than 8192 characters."},
         {good_}};
  Check(c, Run(c.args));
  // Two documents of one event too long: one alert for both (with one of
  // each fault the opener may show one alert per fault).
  std::string over2 = PathOfLength(rig_.FilesDir(), 9000);
  Outcome o = Run({over, good_, over2});
  EXPECT_EQ(o.alerts, c.alerts) << o.log;
  EXPECT_EQ(o.opened, std::vector<std::string>{good_}) << o.log;
}

TEST_F(BadInput, ControlCharactersStayInsideOneLogLine) {
  std::string newline = rig_.Tract("two\nlines.corva");
  std::string cr = rig_.Tract("car\rriage.corva");
  before_ = cvtest::ListDir(rig_.FilesDir());
  Outcome o = Run({newline, cr});
  EXPECT_EQ(o.opened.size(), 2u) << o.log;
  for (const std::string& l : cvtest::Lines(o.log)) {
    EXPECT_TRUE(l.compare(0, 17, "corvantis-opener[") == 0 || l.compare(0, 17, "Corvantis Agent: ") == 0)
        << "a log line split: [" << l << "]";
    EXPECT_EQ(l.find('\r'), std::string::npos) << l;
  }
}

TEST_F(BadInput, ClosedStandardDescriptorsAtLaunch) {
  // A shell closes the descriptors, then becomes the opener.
  const char* closers[] = {"exec 0<&-", "exec 1>&-", "exec 2>&-", "exec 0<&- 1>&- 2>&-"};
  cvtest::TempDir logs;
  int n = 0;
  for (const char* closer : closers) {
    std::string tract = rig_.Tract("fd" + std::to_string(n++) + ".corva");
    before_ = cvtest::ListDir(rig_.FilesDir());
    size_t seen = cvtest::Lines(agent_->Out()).size();
    cvtest::Process sh({"/bin/sh", "-c", std::string(closer) + "; exec \"$0\" \"$@\"", cvstress::OpenerPath(), tract},
                       rig_.Env(), logs.Join("sh" + std::to_string(n) + ".out"),
                       logs.Join("sh" + std::to_string(n) + ".err"));
    EXPECT_TRUE(cvstress::ExitedZero(sh.Wait(60))) << closer << ": " << sh.Err();
    auto lines = cvtest::Lines(agent_->Out());
    std::vector<std::string> opened(lines.begin() + static_cast<long>(seen), lines.end());
    opened.erase(std::remove(opened.begin(), opened.end(), "reopen"), opened.end());
    EXPECT_EQ(opened, std::vector<std::string>{"open " + tract}) << closer << ": " << sh.Err();
    // No log line went into a file of the settings folder.
    if (auto log = cvtest::ReadFile(rig_.Settings() + "/agent.log")) {
      EXPECT_EQ(log->find("corvantis-opener["), std::string::npos) << closer;
    }
    auto lock = cvtest::ReadFile(rig_.Settings() + "/agent.lock");
    ASSERT_TRUE(lock);
    EXPECT_EQ(lock->find("corvantis"), std::string::npos) << closer << ": " << *lock;
    ++tried_;
  }
}

// A small tmpfs mounted on a fresh folder for the settings; unmounted when
// the object goes away. ok() is false, with the reason in why(), where
// mounting is not allowed.
class SmallFileSystem {
 public:
  SmallFileSystem() {
    if (mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=256k,mode=0700") == 0) {
      mounted_ = true;
      return;
    }
    why_ = std::string("mount tmpfs: ") + strerror(errno);
    // Without the privilege in this namespace: a namespace of our own.
    if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=256k,mode=0700") == 0) {
      mounted_ = true;
      return;
    }
    why_ += std::string("; in a mount namespace of its own: ") + strerror(errno);
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
  }
  bool ok() const { return mounted_; }
  const std::string& why() const { return why_; }
  const std::string& path() const { return dir_.path(); }
  bool ReadOnly() { return mount(nullptr, dir_.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; }

 private:
  cvtest::TempDir dir_;
  bool mounted_ = false;
  std::string why_;
};

TEST(BadSettings, FullFileSystemAlertsAndLeavesNothing) {
  SmallFileSystem fs;
  if (!fs.ok()) GTEST_SKIP() << "no small file system for the settings folder: " << fs.why();
  Rig rig(fs.path());
  bool locked = false;
  auto agent = rig.StartAgent({}, &locked);
  ASSERT_TRUE(locked) << agent->Err();
  std::string a = rig.Tract("a.corva"), b = rig.Tract("b.corva");
  {
    std::ofstream filler(fs.path() + "/filler", std::ios::binary);
    std::string block(4096, 'x');
    while (filler.write(block.data(), block.size())) {
    }
  }
  auto opener = rig.StartOpener({a, b});
  ASSERT_TRUE(cvstress::ExitedZero(opener->Wait(60))) << opener->Err();
  std::string log = opener->Err();
  EXPECT_EQ(cvstress::CountLines(log, AlertLine("Corvantis can't reach its settings folder (" + fs.path() +
                                                "): No space left on device.")),
            1)
      << log;
  EXPECT_EQ(rig.Queue(), std::vector<std::string>{});
  EXPECT_EQ(agent->Out(), "");

  // Room again: the next opener goes through.
  unlink((fs.path() + "/filler").c_str());
  auto again = rig.StartOpener({a, b});
  ASSERT_TRUE(cvstress::ExitedZero(again->Wait(60))) << again->Err();
  EXPECT_EQ(cvtest::Lines(agent->Out()), (std::vector<std::string>{"open " + a, "open " + b}));
  EXPECT_EQ(rig.Queue(), std::vector<std::string>{});
  EXPECT_TRUE(cvstress::ExitedZero(agent->Stop(SIGTERM)));
}

TEST(BadSettings, ReadOnlyFileSystemAlertsAndLeavesNothing) {
  SmallFileSystem fs;
  if (!fs.ok()) GTEST_SKIP() << "no small file system for the settings folder: " << fs.why();
  ASSERT_EQ(mkdir((fs.path() + "/open-requests").c_str(), 0700), 0);
  if (!fs.ReadOnly()) GTEST_SKIP() << "remount read-only: " << strerror(errno);
  Rig rig(fs.path());
  std::string a = rig.Tract("a.corva");
  auto opener = rig.StartOpener({a});
  ASSERT_TRUE(cvstress::ExitedZero(opener->Wait(60))) << opener->Err();
  std::string log = opener->Err();
  EXPECT_EQ(cvstress::CountLines(log, AlertLine("Corvantis can't reach its settings folder (" + fs.path() +
                                                "): Read-only file system.")),
            1)
      << log;
  // Nothing posted, so no agent was started.
  EXPECT_EQ(log.find("spawned agent"), std::string::npos) << log;
  EXPECT_EQ(cvtest::ListDir(fs.path()), std::vector<std::string>{"open-requests"});
  EXPECT_EQ(rig.Queue(), std::vector<std::string>{});
}

}  // namespace
