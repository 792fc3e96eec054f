// Writing a request under injected faults: for every fallible system call
// of a write in turn (N = 1, 2, ... until a run injects nothing), the Nth
// call fails once or from then on, with ENOSPC, EIO, an interruption or a
// short write. Whatever happens, a ".json" exists only when a stem was
// returned, and then holds exactly the expected bytes; no ".tmp" stays; no
// descriptor leaks; errno is the failing step's; the next write goes
// through under a larger stem.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "queue/request.h"
#include "queue_test_util.h"
#include "test_support.h"
#include "util/env.h"

namespace {

using cvqueuetest::Call;
using cvqueuetest::CallName;
using cvqueuetest::Fault;
using cvqueuetest::FaultInjection;

constexpr double kClock = 1765000000.125;
const unsigned char kUuid[16] = {0xde, 0xad, 0xbe, 0xef, 4, 5, 0x46, 7, 0x88, 9, 10, 11, 12, 13, 14, 15};
const std::string kPath = "/home/someone/plans/ground floor.corva";

int64_t StemMs(const std::string& stem) { return std::stoll(stem.substr(0, stem.find('-'))); }

// Fixes the clock and the UUID, so that every write forms the same document.
class Pinned : public cv::EnvWrapper {
 public:
  Pinned() : EnvWrapper(cv::Env::Default()) {}
  double WallClock() override { return kClock; }
  void Uuid(unsigned char out[16]) override { std::copy(kUuid, kUuid + 16, out); }
};

// A settings folder of its own, with or without "open-requests" in it.
struct Folder {
  explicit Folder(bool withQueue) {
    if (withQueue) mkdir(tmp.Join("open-requests").c_str(), 0700);
    fd = open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  ~Folder() { close(fd); }
  std::vector<std::string> Entries() const { return cvtest::ListDir(tmp.Join("open-requests")); }
  cvtest::TempDir tmp;
  int fd = -1;
};

// The document a write without faults forms, in the same conditions.
std::string ExpectedDocument() {
  Pinned pinned;
  cv::ScopedEnv guard(&pinned);
  Folder folder(true);
  auto stem = CVWriteRequest(folder.fd, "open", kPath);
  if (!stem) return "";
  return cvtest::ReadFile(folder.tmp.Join("open-requests/" + *stem + ".json")).value_or("");
}

// What the write must answer when `first` was made to fail (nullopt: no
// fault reached a call): nullopt for success, else the errno.
std::optional<int> ExpectedError(Fault fault, int err, std::optional<Call> first, bool tmpClose) {
  if (!first || fault == Fault::kShort) return std::nullopt;
  // A failing fstat of the folder is a refusal of the folder.
  if (*first == Call::kFstat) return EPERM;
  // Interrupted calls are made again; an interrupted close counts as done.
  if (fault == Fault::kEintr) return std::nullopt;
  // The folder's own descriptor is closed after the rename: too late to matter.
  if (*first == Call::kClose && !tmpClose) return std::nullopt;
  return err;
}

struct LoopCase {
  const char* name;
  bool queueExists;
  Fault fault;
  int err;
  bool persistent;
  friend void PrintTo(const LoopCase& c, std::ostream* os) { *os << c.name; }
};

class RequestFaultLoop : public ::testing::TestWithParam<LoopCase> {
 public:
  static int survived;  // faults injected over every case
  static int writes;    // writes under injection over every case
  static void TearDownTestSuite() {
    std::cout << "injected faults survived: " << survived << " in " << writes << " writes\n";
  }
};
int RequestFaultLoop::survived = 0;
int RequestFaultLoop::writes = 0;

TEST_P(RequestFaultLoop, EveryCallFailsInTurnAndNothingIsLostOrLeftOver) {
  const LoopCase& c = GetParam();
  const std::string expected = ExpectedDocument();
  ASSERT_FALSE(expected.empty());
  std::string maxStem;
  int runs = 0;
  int injectedHere = 0;
  for (int n = 1;; ++n) {
    SCOPED_TRACE("fault at call " + std::to_string(n));
    ASSERT_LT(n, 200) << "the write never went through";
    Folder folder(c.queueExists);
    int fds = cvtest::CountOpenFds();
    std::optional<std::string> stem;
    int gotErr = 0;
    std::optional<Call> first;
    bool tmpClose = false;
    int injected = 0, calls = 0;
    {
      Pinned pinned;
      FaultInjection faults(n, c.fault, c.err, c.persistent, &pinned);
      errno = 0;
      stem = CVWriteRequest(folder.fd, "open", kPath);
      gotErr = errno;
      first = faults.first();
      tmpClose = faults.firstCloseWasTmp();
      injected = faults.injected();
      calls = faults.calls();
    }
    ++runs;
    ++writes;
    survived += injected;
    injectedHere += injected;
    std::string where = first ? CallName(*first) : "nothing";
    std::optional<int> want = ExpectedError(c.fault, c.err, first, tmpClose);
    EXPECT_EQ(cvtest::CountOpenFds(), fds) << where;

    std::vector<std::string> entries = folder.Entries();
    for (const std::string& e : entries) {
      EXPECT_FALSE(e.size() > 4 && e.compare(e.size() - 4, 4, ".tmp") == 0) << where << " left " << e;
    }
    if (want) {
      EXPECT_FALSE(stem) << where;
      EXPECT_EQ(gotErr, *want) << where << ": " << strerror(gotErr);
      EXPECT_TRUE(entries.empty()) << where;
    } else {
      ASSERT_TRUE(stem) << where << ": " << strerror(gotErr);
      EXPECT_EQ(entries, std::vector<std::string>{*stem + ".json"}) << where;
      EXPECT_EQ(cvtest::ReadFile(folder.tmp.Join("open-requests/" + *stem + ".json")), expected) << where;
      EXPECT_GT(*stem, maxStem);
      maxStem = *stem;
    }

    // The next write, without faults, goes through under a larger stem.
    int64_t used = lastMs;
    Pinned pinned;
    cv::ScopedEnv guard(&pinned);
    auto next = CVWriteRequest(folder.fd, "open", kPath);
    ASSERT_TRUE(next) << where << ": " << strerror(errno);
    EXPECT_GT(StemMs(*next), used);
    EXPECT_GT(*next, maxStem);
    maxStem = *next;
    EXPECT_EQ(cvtest::ReadFile(folder.tmp.Join("open-requests/" + *next + ".json")), expected);

    if (n > calls) break;  // call n is past the last one: the loop is done
  }
  EXPECT_GT(runs, 5);
  EXPECT_GT(injectedHere, 0);
}

const LoopCase kLoopCases[] = {
    {"EnospcOnce", true, Fault::kError, ENOSPC, false},
    {"EnospcPersistent", true, Fault::kError, ENOSPC, true},
    {"EioOnce", true, Fault::kError, EIO, false},
    {"EioPersistent", true, Fault::kError, EIO, true},
    {"EintrOnce", true, Fault::kEintr, 0, false},
    {"EintrPersistent", true, Fault::kEintr, 0, true},
    {"ShortWriteOnce", true, Fault::kShort, 0, false},
    {"ShortWritesPersistent", true, Fault::kShort, 0, true},
    // The first write of a fresh settings folder creates "open-requests":
    // mkdirat and the second open are in the loop as well.
    {"NewFolderEnospcOnce", false, Fault::kError, ENOSPC, false},
    {"NewFolderEnospcPersistent", false, Fault::kError, ENOSPC, true},
    {"NewFolderEioOnce", false, Fault::kError, EIO, false},
    {"NewFolderEioPersistent", false, Fault::kError, EIO, true},
    {"NewFolderEintrOnce", false, Fault::kEintr, 0, false},
    {"NewFolderEintrPersistent", false, Fault::kEintr, 0, true},
    {"NewFolderShortWriteOnce", false, Fault::kShort, 0, false},
    {"NewFolderShortWritesPersistent", false, Fault::kShort, 0, true},
};

INSTANTIATE_TEST_SUITE_P(Faults, RequestFaultLoop, ::testing::ValuesIn(kLoopCases), cvqueuetest::ByName());

}  // namespace
