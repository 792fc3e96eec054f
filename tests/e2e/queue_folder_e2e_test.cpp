// The built opener against a queue folder that goes away or cannot be
// reached while a request waits in it, and against a descriptor limit that
// leaves it no room to take a request back. The lock is held by the test
// itself (a running agent that never claims), so the request waits for the
// 15-second claim deadline. Alerts arrive on stderr (no display).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "test_support.h"

namespace {

using cvtest::Process;

constexpr char kAlert[] = "Corvantis Agent: ";
constexpr char kNotWithdrawn[] =
    "Corvantis Agent: Corvantis Agent didn't take the tract, and Corvantis couldn't take it back from its "
    "queue (";
constexpr char kSettingsAlert[] = "Corvantis Agent: Corvantis can't reach its settings folder";

std::string OpenerPath() { return cvtest::BuildDir() + "/Corvantis.app/Contents/MacOS/corvantis-opener"; }

int CountStartingWith(const std::string& text, const std::string& prefix) {
  auto lines = cvtest::Lines(text);
  return static_cast<int>(
      std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// Entries of `dir` ending in ".json".
int JsonCount(const std::string& dir) {
  auto names = cvtest::ListDir(dir);
  return static_cast<int>(std::count_if(names.begin(), names.end(), [](const std::string& n) {
    return n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0;
  }));
}

// One opener run in a settings folder of its own, whose lock this process
// holds. As root the folder belongs to the unprivileged user and the opener
// runs as that user (setpriv), so that permissions count.
class OpenerRun {
 public:
  explicit OpenerRun(const std::string& name) : name_(name) {
    settings_ = dir_.path();
    tract_ = files_.Join("plan.corva");
    EXPECT_TRUE(cvtest::WriteFile(tract_, "tract\n"));
    std::string lock = settings_ + "/agent.lock";
    lockFd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_GE(lockFd_, 0);
    std::string pid = "{\"pid\":" + std::to_string(getpid()) + "}";
    EXPECT_EQ(write(lockFd_, pid.data(), pid.size()), static_cast<ssize_t>(pid.size()));
    EXPECT_EQ(flock(lockFd_, LOCK_EX | LOCK_NB), 0);
    if (cvtest::CanSwitchUser()) {
      for (const std::string& p : {settings_, lock, files_.path(), tract_}) {
        EXPECT_EQ(chown(p.c_str(), cvtest::kNobody, cvtest::kNobody), 0) << p;
      }
    }
  }
  ~OpenerRun() {
    if (lockFd_ >= 0) close(lockFd_);
    // Whatever the case left, the folders must go with their TempDirs.
    chmod(Queue().c_str(), 0700);
    chmod((Queue() + ".old").c_str(), 0700);
  }
  OpenerRun(const OpenerRun&) = delete;
  OpenerRun& operator=(const OpenerRun&) = delete;

  void Start() {
    std::vector<std::string> argv;
    if (cvtest::CanSwitchUser()) {
      argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(cvtest::kNobody),
              "--regid=" + std::to_string(cvtest::kNobody), "--clear-groups", "--"};
    }
    argv.push_back(OpenerPath());
    argv.push_back(tract_);
    opener_ = std::make_unique<Process>(argv,
                                        std::map<std::string, std::optional<std::string>>{
                                            {"CORVANTIS_AGENT_DIR", settings_},
                                            {"CORVANTIS_LOG_STDERR", "1"},
                                            {"DISPLAY", std::nullopt},
                                            {"WAYLAND_DISPLAY", std::nullopt},
                                        },
                                        logs_.Join("out"), logs_.Join("err"));
    ASSERT_GT(opener_->pid(), 0);
  }
  bool Posted() const { return opener_->Err().find("] request ") != std::string::npos; }

  const std::string& name() const { return name_; }
  std::string Queue() const { return settings_ + "/open-requests"; }
  Process& opener() { return *opener_; }

 private:
  std::string name_;
  cvtest::TempDir dir_;
  cvtest::TempDir files_;
  cvtest::TempDir logs_;
  std::string settings_;
  std::string tract_;
  int lockFd_ = -1;
  std::unique_ptr<Process> opener_;
};

struct FolderCase {
  const char* name;
  // Done to the queue folder `q` once the request is in it; returns the
  // folder where the request now lies.
  std::function<std::string(const std::string& q)> act;
  const char* reason;  // in the alert
};

// The queue folder is moved away, replaced by a file or a link, or made
// unreadable under an opener that waits for the claim: the request is never
// logged handled, and at the deadline the person is told that it could not
// be taken back (it may still open), instead of a silent exit 0 or an
// advice to open the tract again. The file stays where it was.
TEST(QueueFolderE2E, FolderGoneOrUnreadableUnderAWaitingOpenerIsReported) {
  auto moveAway = [](const std::string& q) {
    EXPECT_EQ(rename(q.c_str(), (q + ".old").c_str()), 0);
    return q + ".old";
  };
  const FolderCase cases[] = {
      {"Moved", moveAway, "its folder was moved or replaced"},
      {"ReplacedByFile",
       [&](const std::string& q) {
         std::string old = moveAway(q);
         EXPECT_TRUE(cvtest::WriteFile(q, ""));
         return old;
       },
       "Not a directory"},
      {"ReplacedByLink",
       [&](const std::string& q) {
         std::string old = moveAway(q);
         EXPECT_EQ(symlink(old.c_str(), q.c_str()), 0);
         return old;
       },
       "Not a directory"},
      {"Mode0000",
       [](const std::string& q) {
         EXPECT_EQ(chmod(q.c_str(), 0), 0);
         return q;
       },
       "Permission denied"},
  };
  // All at once: each waits 15 s for its deadline.
  std::vector<std::unique_ptr<OpenerRun>> runs;
  for (const FolderCase& c : cases) {
    runs.push_back(std::make_unique<OpenerRun>(c.name));
    runs.back()->Start();
  }
  std::vector<std::string> lies(runs.size());
  for (size_t i = 0; i < runs.size(); ++i) {
    OpenerRun& r = *runs[i];
    ASSERT_TRUE(cvtest::WaitUntil([&] { return r.Posted(); }, 20)) << r.name() << ": " << r.opener().Err();
    lies[i] = cases[i].act(r.Queue());
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    OpenerRun& r = *runs[i];
    SCOPED_TRACE(r.name());
    auto status = r.opener().Wait(60);
    ASSERT_TRUE(status && WIFEXITED(*status)) << r.opener().Err();
    std::string log = r.opener().Err();
    EXPECT_EQ(log.find("] handled "), std::string::npos) << log;
    EXPECT_EQ(CountStartingWith(log, kAlert), 1) << log;
    EXPECT_EQ(CountStartingWith(log, std::string(kNotWithdrawn) + cases[i].reason + ")."), 1) << log;
    chmod(lies[i].c_str(), 0700);
    EXPECT_EQ(JsonCount(lies[i]), 1) << lies[i];
  }
}

// Six descriptors and a fresh home: the lock probe fails for want of one,
// and so does the withdrawal that precedes its alert. Nothing may tell the
// person that the settings folder failed ("A1") while the request stays
// queued for the next agent to open.
//
// The sanitizers' runtime needs a descriptor of its own (UBSan's type check
// makes a pipe): a sanitized opener is given one more.
#ifdef CV_SANITIZED
constexpr const char* kFewDescriptors = "ulimit -n 7 && exec \"$0\" \"$@\"";
#else
constexpr const char* kFewDescriptors = "ulimit -n 6 && exec \"$0\" \"$@\"";
#endif

TEST(QueueFolderE2E, TooFewDescriptorsNeverLeaveARequestBehindAnA1) {
  cvtest::TempDir home, files, logs;
  std::string tract = files.Join("plan.corva");
  ASSERT_TRUE(cvtest::WriteFile(tract, "tract\n"));
  // The limit is set by the child itself before it runs the opener.
  Process opener({"/bin/sh", "-c", kFewDescriptors, OpenerPath(), tract},
                 {{"HOME", home.path()},
                  {"CORVANTIS_AGENT_DIR", std::nullopt},
                  {"APPDATA", std::nullopt},
                  {"CORVANTIS_LOG_STDERR", "1"},
                  {"CORVANTIS_AGENT_IDLE_EXIT", "1"},
                  {"DISPLAY", std::nullopt},
                  {"WAYLAND_DISPLAY", std::nullopt}},
                 logs.Join("out"), logs.Join("err"));
  auto status = opener.Wait(60);
  ASSERT_TRUE(status && WIFEXITED(*status)) << opener.Err();
  std::string log = opener.Err();
  EXPECT_GE(CountStartingWith(log, kAlert), 1) << log;
  if (JsonCount(home.path() + "/Corvantis/open-requests") > 0) {
    EXPECT_EQ(CountStartingWith(log, kSettingsAlert), 0) << log;
    EXPECT_EQ(CountStartingWith(log, kNotWithdrawn), 1) << log;
  }
}

}  // namespace
