// Writing open requests: the document, its limits, the stem, the atomic
// write and every failing step.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "queue/request.h"
#include "queue/request_doc.h"
#include "queue_test_util.h"
#include "test_support.h"
#include "util/env.h"

namespace {

using cvqueuetest::CountOpenFds;
using cvqueuetest::Exists;
using cvqueuetest::ModeOf;
using cvqueuetest::PinnedEnv;
using cvqueuetest::TmpFaults;
using cvqueuetest::UuidOf;

const unsigned char kUuid[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const char* kHex = "000102030405060708090a0b0c0d0e0f";

// A settings folder in a fresh temporary directory, lastMs back at 0.
class RequestTest : public cvqueuetest::SettingsFolderTest {
 protected:
  std::string InQueue(const std::string& name) const { return Queue() + "/" + name; }
  std::vector<std::string> Entries() const { return cvtest::ListDir(Queue()); }
};

// ---- The document ----

TEST_F(RequestTest, WritesExactCompactDocumentUnderStem) {
  PinnedEnv env;
  env.clock = 1700000000.25;
  env.uuid = UuidOf(kUuid);
  cv::ScopedEnv guard(&env);

  auto stem = CVWriteRequest(conf_, "open", std::string("/Users/someone/plan.corva"));
  ASSERT_TRUE(stem);
  EXPECT_EQ(*stem, std::string("1700000000250-") + kHex);
  EXPECT_EQ(lastMs, 1700000000250);
  EXPECT_EQ(Entries(), std::vector<std::string>{*stem + ".json"});
  EXPECT_EQ(ModeOf(InQueue(*stem + ".json")), 0600);
  EXPECT_EQ(ModeOf(Queue()), 0700);

  std::string expected = "{\"format\":\"corvantis.open/1\",\"kind\":\"open\",\"created\":1700000000.25,"
                         "\"pid\":" + std::to_string(getpid()) +
                         ",\"origin\":\"mac-opener-dev\",\"path\":\"/Users/someone/plan.corva\"}";
  EXPECT_EQ(cvtest::ReadFile(InQueue(*stem + ".json")), expected);
}

struct DocCase {
  const char* name;
  const char* kind;
  std::optional<std::string> path;
};

class DocumentKeys : public RequestTest, public ::testing::WithParamInterface<DocCase> {};

TEST_P(DocumentKeys, ParsesBackWithExactlyTheKeys) {
  const DocCase& c = GetParam();
  const double kClock = 1712345678.123456789;
  PinnedEnv env;
  env.clock = kClock;
  cv::ScopedEnv guard(&env);
  auto stem = CVWriteRequest(conf_, c.kind, c.path);
  ASSERT_TRUE(stem);
  auto text = cvtest::ReadFile(InQueue(*stem + ".json"));
  ASSERT_TRUE(text);
  EXPECT_EQ(text->find('\n'), std::string::npos);
  EXPECT_EQ(nlohmann::ordered_json::parse(*text).dump(), *text);  // compact
  EXPECT_EQ(text->find("\\/"), std::string::npos);
  EXPECT_NE(static_cast<unsigned char>((*text)[0]), 0xEF);  // no byte-order mark
  auto doc = nlohmann::json::parse(*text);
  std::vector<std::string> keys;
  for (auto& [k, v] : doc.items()) keys.push_back(k);
  std::vector<std::string> want = {"created", "format", "kind", "origin", "pid"};
  if (c.path) want.push_back("path");
  std::sort(want.begin(), want.end());
  EXPECT_EQ(keys, want);
  EXPECT_EQ(doc["format"], "corvantis.open/1");
  EXPECT_EQ(doc["kind"], c.kind);
  EXPECT_EQ(doc["created"].get<double>(), kClock);
  EXPECT_TRUE(doc["pid"].is_number_integer());
  EXPECT_EQ(doc["pid"].get<long long>(), getpid());
  EXPECT_EQ(doc["origin"], "mac-opener-dev");
  if (c.path) {
    EXPECT_EQ(doc["path"], *c.path);
  }
}

const DocCase kDocCases[] = {
    {"OpenWithPath", "open", "/Users/someone/plan.corva"},
    {"ReopenHasNoPathKey", "reopen", std::nullopt},
    {"EmptyPathIsWritten", "open", ""},
    {"PathWithQuotesAndControlChars", "open", "/a \"b\"\\c\t\x01/d.corva"},
    {"NonAsciiPath", "open", "/Users/\xc3\xa9l\xc3\xa8ve/\xf0\x9f\x98\x80 plan.corva"},
};

INSTANTIATE_TEST_SUITE_P(Docs, DocumentKeys, ::testing::ValuesIn(kDocCases),
                         cvqueuetest::ByName());

// ---- Origin ----

TEST_F(RequestTest, OriginSwitchesWhenBundledCopyDisappears) {
  std::string macos = tmp_.Join("App.app/Contents/MacOS");
  std::string agentDir = tmp_.Join("App.app/Contents/Resources/agent");
  for (const char* d : {"App.app", "App.app/Contents", "App.app/Contents/MacOS",
                        "App.app/Contents/Resources", "App.app/Contents/Resources/agent"})
    ASSERT_EQ(mkdir(tmp_.Join(d).c_str(), 0755), 0);
  std::string agent = agentDir + "/CorvantisAgent";
  ASSERT_TRUE(cvtest::WriteFile(agent, "#!/bin/sh\n", 0755));
  PinnedEnv env;
  env.exePath = macos + "/corvantis-opener";
  cv::ScopedEnv guard(&env);

  auto first = CVWriteRequest(conf_, "reopen", std::nullopt);
  ASSERT_EQ(unlink(agent.c_str()), 0);
  auto second = CVWriteRequest(conf_, "reopen", std::nullopt);
  ASSERT_TRUE(first && second);
  auto origin = [&](const std::string& stem) {
    return nlohmann::json::parse(cvtest::ReadFile(InQueue(stem + ".json")).value())["origin"];
  };
  EXPECT_EQ(origin(*first), "mac-opener");
  EXPECT_EQ(origin(*second), "mac-opener-dev");
}

// ---- Path length in UTF-16 code units ----

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

struct LengthCase {
  const char* name;
  std::string path;
  bool accepted;
};

class PathLength : public RequestTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(PathLength, LimitIs8192Utf16Units) {
  const LengthCase& c = GetParam();
  errno = 0;
  auto stem = CVWriteRequest(conf_, "open", c.path);
  if (c.accepted) {
    ASSERT_TRUE(stem);
    auto doc = nlohmann::json::parse(cvtest::ReadFile(InQueue(*stem + ".json")).value());
    EXPECT_EQ(doc["path"], c.path);
  } else {
    EXPECT_FALSE(stem);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_FALSE(Exists(Queue()));  // nothing opened or created
    EXPECT_EQ(lastMs, 0);
  }
}

const std::string kEmoji = "\xf0\x9f\x98\x80";  // U+1F600: 4 bytes, 2 units
const std::string kEuro = "\xe2\x82\xac";       // U+20AC: 3 bytes, 1 unit

const LengthCase kLengthCases[] = {
    {"Ascii8192", "/" + std::string(8191, 'a'), true},
    {"Ascii8193", "/" + std::string(8192, 'a'), false},
    {"FourByte8192Units", "/" + Repeat(kEmoji, 4095) + "a", true},
    {"FourByte8193Units", "/" + Repeat(kEmoji, 4096), false},
    {"ThreeByte8192Units", "/" + Repeat(kEuro, 8191), true},
    {"ThreeByte8193Units", "/" + Repeat(kEuro, 8192), false},
    {"ControlChars8192", "/" + std::string(8191, '\x01'), true},
    // Stray continuation bytes are not UTF-8; each still counts as a unit,
    // so an over-long one is refused before anything is created.
    {"StrayContinuation8193", "/" + std::string(8192, '\x80'), false},
};

INSTANTIATE_TEST_SUITE_P(Lengths, PathLength, ::testing::ValuesIn(kLengthCases),
                         cvqueuetest::ByName());

TEST(Utf16Length, CountsUnitsOfUtf8) {
  EXPECT_EQ(CVUtf16Length(""), 0u);
  EXPECT_EQ(CVUtf16Length("abc"), 3u);
  EXPECT_EQ(CVUtf16Length("\xc3\xa9"), 1u);
  EXPECT_EQ(CVUtf16Length(kEuro), 1u);
  EXPECT_EQ(CVUtf16Length(kEmoji), 2u);
  EXPECT_EQ(CVUtf16Length("\xff\xfe"), 2u);
  EXPECT_EQ(CVUtf16Length("\x80"), 1u);
  EXPECT_EQ(CVUtf16Length("a\xc3\xa9\xa9"), 3u);  // one stray after a whole character
  EXPECT_EQ(CVUtf16Length("\xe2\x82"), 1u);          // a cut character
}

// ---- Serialization and size ----

struct RefusedCase {
  const char* name;
  std::string kind;
  std::optional<std::string> path;
  int err;
};

class RefusedDocument : public RequestTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedDocument, LeavesOnlyTheQueueFolder) {
  const RefusedCase& c = GetParam();
  int fds = CountOpenFds();
  errno = 0;
  EXPECT_FALSE(CVWriteRequest(conf_, c.kind, c.path));
  EXPECT_EQ(errno, c.err);
  EXPECT_EQ(ModeOf(Queue()), 0700);  // created on the way
  EXPECT_TRUE(Entries().empty());
  EXPECT_EQ(lastMs, 0);  // no stem formed
  EXPECT_EQ(CountOpenFds(), fds);
}

const RefusedCase kRefusedCases[] = {
    {"PathNotUtf8", "open", std::string("/a/\xff.corva"), EINVAL},
    {"PathLoneSurrogate", "open", std::string("/a/\xed\xa0\x80.corva"), EINVAL},
    {"PathTruncatedSequence", "open", std::string("/a/\xe2\x82"), EINVAL},
    {"KindNotUtf8", "op\xc0", std::nullopt, EINVAL},
    {"DocumentOver65536Bytes", std::string(70000, 'k'), std::nullopt, EFBIG},
};

INSTANTIATE_TEST_SUITE_P(Refused, RefusedDocument, ::testing::ValuesIn(kRefusedCases),
                         cvqueuetest::ByName());

TEST_F(RequestTest, Exactly65536BytesIsAcceptedOneMoreIsEfbig) {
  PinnedEnv env;
  env.clock = 1700000000.5;
  cv::ScopedEnv guard(&env);
  size_t base = CVRequestDocument("", std::nullopt, 1700000000.5, getpid(), "mac-opener-dev")->size();
  std::string kind(kCVMaxDocumentBytes - base, 'k');

  auto stem = CVWriteRequest(conf_, kind, std::nullopt);
  ASSERT_TRUE(stem);
  EXPECT_EQ(cvtest::ReadFile(InQueue(*stem + ".json")).value_or("").size(), 65536u);

  errno = 0;
  EXPECT_FALSE(CVWriteRequest(conf_, kind + "k", std::nullopt));
  EXPECT_EQ(errno, EFBIG);
  EXPECT_EQ(Entries().size(), 1u);
}

// ---- Stems ----

TEST_F(RequestTest, StemIsMillisecondsAndVersion4Uuid) {
  auto stem = CVWriteRequest(conf_, "reopen", std::nullopt);
  ASSERT_TRUE(stem);
  EXPECT_TRUE(std::regex_match(*stem, std::regex("[0-9]{13}-[0-9a-f]{12}4[0-9a-f]{3}[89ab][0-9a-f]{15}")))
      << *stem;
  EXPECT_EQ(std::stoll(stem->substr(0, 13)), lastMs);
}

TEST_F(RequestTest, StemsRiseWithinOneMillisecondAndAcrossClockStepBack) {
  // The clock reads each of `clocks` in turn.
  class SteppedClock : public cv::EnvWrapper {
   public:
    SteppedClock() : EnvWrapper(cv::Env::Default()) {}
    std::vector<double> clocks = {1700000000.0001, 1700000000.0009, 1700000000.000, 1699999940.0,
                                  1700000000.002, 1700000000.0021, 1600000000.0};
    size_t next = 0;
    double WallClock() override { return clocks[next++]; }
  } env;
  const std::vector<double>& clocks = env.clocks;
  cv::ScopedEnv guard(&env);
  std::vector<std::string> stems;
  for (size_t i = 0; i < clocks.size(); ++i) {
    auto stem = CVWriteRequest(conf_, "reopen", std::nullopt);
    ASSERT_TRUE(stem);
    stems.push_back(*stem);
  }
  std::vector<long long> ms;
  for (auto& s : stems) ms.push_back(std::stoll(s.substr(0, s.find('-'))));
  EXPECT_EQ(ms, (std::vector<long long>{1700000000000, 1700000000001, 1700000000002,
                                        1700000000003, 1700000000004, 1700000000005,
                                        1700000000006}));
  EXPECT_TRUE(std::is_sorted(stems.begin(), stems.end()));
  // "created" keeps the true reading while the stem runs ahead.
  auto doc = nlohmann::json::parse(cvtest::ReadFile(InQueue(stems[3] + ".json")).value());
  EXPECT_EQ(doc["created"].get<double>(), 1699999940.0);
}

struct MsCase {
  double clock;
  int64_t last;
  int64_t expected;
};

TEST(NextMs, TruncatesAndStaysAboveLast) {
  const MsCase cases[] = {
      {0.0, 0, 1},                       // first stem of a process is at least 1
      {-5.5, 0, 1},                      // before 1970
      {1.9999, 0, 1999},                 // truncation, not rounding
      {1700000000.2509, 1700000000250, 1700000000251},
      {1700000000.2509, 1700000000260, 1700000000261},
      {1e11, 0, 100000000000000},        // 15 digits
      {1e300, 7, 8},                     // out of range
      {std::numeric_limits<double>::quiet_NaN(), 7, 8},
      {0.0, std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max()},
  };
  for (const MsCase& c : cases) EXPECT_EQ(CVNextMs(c.clock, c.last), c.expected) << c.clock;
}

TEST(FormatStem, PadsTo13DigitsAndNeverCuts) {
  EXPECT_EQ(CVFormatStem(1, kHex), std::string("0000000000001-") + kHex);
  EXPECT_EQ(CVFormatStem(100000000000000, kHex), std::string("100000000000000-") + kHex);
  EXPECT_EQ(CVHexDigits(kUuid), kHex);
}

TEST(ParseRequestDocument, ReadsBackWhatIsWritten) {
  const std::optional<std::string> paths[] = {std::nullopt, "/t/a.corva", "/t/\"q\" \\ \u00e9/\x01.corva"};
  for (const char* kind : {"open", "reopen"}) {
    for (const auto& path : paths) {
      auto doc = CVRequestDocument(kind, path, 1700000000.5, 42, "mac-opener");
      ASSERT_TRUE(doc);
      CVParsedRequest got = CVParseRequestDocument(*doc);
      bool needsPath = std::string(kind) == "open" && !path;
      EXPECT_EQ(got.fault, needsPath ? CVParsedRequest::kNoPath : CVParsedRequest::kNone) << *doc;
      if (needsPath) continue;
      EXPECT_EQ(got.kind, kind);
      EXPECT_EQ(got.path, std::string(kind) == "open" ? path : std::nullopt) << *doc;
    }
  }
}

TEST(ParseRequestDocument, FaultsInOrder) {
  struct Case {
    const char* doc;
    CVParsedRequest::Fault fault;
    const char* value;
  };
  const Case cases[] = {
      {"", CVParsedRequest::kNotJson, ""},
      {"{\"format\":", CVParsedRequest::kNotJson, ""},
      {"[1]", CVParsedRequest::kNotObject, ""},
      {"{}", CVParsedRequest::kNoFormat, ""},
      {"{\"format\":1,\"kind\":\"reopen\"}", CVParsedRequest::kNoFormat, ""},
      {"{\"format\":\"corvantis.open/2\",\"kind\":7}", CVParsedRequest::kUnknownFormat, "corvantis.open/2"},
      {"{\"format\":\"corvantis.open/1\"}", CVParsedRequest::kNoKind, ""},
      {"{\"kind\":\"close\",\"format\":\"corvantis.open/1\"}", CVParsedRequest::kUnknownKind, "close"},
      {"{\"format\":\"corvantis.open/1\",\"kind\":\"open\",\"path\":null}", CVParsedRequest::kNoPath, ""},
      {"{\"path\":\"/a\",\"kind\":\"open\",\"x\":1,\"format\":\"corvantis.open/1\"}", CVParsedRequest::kNone, ""},
  };
  for (const Case& c : cases) {
    CVParsedRequest got = CVParseRequestDocument(c.doc);
    EXPECT_EQ(got.fault, c.fault) << c.doc;
    EXPECT_EQ(got.value, c.value) << c.doc;
  }
}

// ---- The atomic write ----

TEST_F(RequestTest, FileAppearsAsJsonOnlyCompleteAndFlushed) {
  // What the queue folder and the temporary file hold when fsync is called.
  class AtFsync : public TmpFaults {
   public:
    AtFsync(cv::Env* target, std::string queue) : TmpFaults(target), queue_(std::move(queue)) {}
    std::vector<std::string> atFsync;
    std::string contentAtFsync;
    int tmpMode = 0;
    int Fsync(int fd) override {
      std::string tmp = queue_ + "/." + kHex + ".tmp";
      atFsync = cvtest::ListDir(queue_);
      contentAtFsync = cvtest::ReadFile(tmp).value_or("");
      tmpMode = ModeOf(tmp);
      return TmpFaults::Fsync(fd);
    }

   private:
    std::string queue_;
  };
  PinnedEnv pinned;
  pinned.uuid = UuidOf(kUuid);
  AtFsync t(&pinned, Queue());
  const std::vector<std::string>& atFsync = t.atFsync;
  auto stem = CVWriteRequest(conf_, "open", std::string("/p.corva"));
  ASSERT_TRUE(stem);
  ASSERT_EQ(atFsync, std::vector<std::string>{std::string(".") + kHex + ".tmp"});
  EXPECT_EQ(atFsync[0].size(), 37u);
  EXPECT_EQ(t.tmpMode, 0600);
  EXPECT_EQ(t.contentAtFsync, cvtest::ReadFile(InQueue(*stem + ".json")).value());
  EXPECT_EQ(Entries(), std::vector<std::string>{*stem + ".json"});
}

TEST_F(RequestTest, ShortWritesAndEintrCompleteTheDocument) {
  // Every write stores at most 5 bytes; every third is interrupted.
  class ChoppyWrites : public TmpFaults {
   public:
    using TmpFaults::TmpFaults;
    int calls = 0;
    ssize_t Write(int fd, const void* buf, size_t n) override {
      if (++calls % 3 == 0) {
        errno = EINTR;
        return -1;
      }
      return cv::Env::Default()->Write(fd, buf, std::min<size_t>(n, 5));
    }
  };
  PinnedEnv pinned;
  pinned.clock = 1700000000.5;
  ChoppyWrites t(&pinned);
  const int& calls = t.calls;
  std::string path = "/Users/someone/a rather long name/plan.corva";
  auto stem = CVWriteRequest(conf_, "open", path);
  ASSERT_TRUE(stem);
  EXPECT_GT(calls, 20);
  EXPECT_EQ(cvtest::ReadFile(InQueue(*stem + ".json")),
            CVRequestDocument("open", path, 1700000000.5, getpid(), "mac-opener-dev"));
}

TEST_F(RequestTest, ExistingTemporaryNameIsEexistAndLeftAlone) {
  ASSERT_EQ(mkdir(Queue().c_str(), 0700), 0);
  std::string foreign = InQueue(std::string(".") + kHex + ".tmp");
  ASSERT_TRUE(cvtest::WriteFile(foreign, "another process", 0600));
  PinnedEnv pinned;
  pinned.uuid = UuidOf(kUuid);
  TmpFaults t(&pinned);
  int fds = CountOpenFds();
  errno = 0;
  EXPECT_FALSE(CVWriteRequest(conf_, "reopen", std::nullopt));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(cvtest::ReadFile(foreign), "another process");
  EXPECT_EQ(Entries().size(), 1u);
  EXPECT_EQ(t.unlinks, 0);
  EXPECT_GT(lastMs, 0);
  EXPECT_EQ(CountOpenFds(), fds);
}

TEST_F(RequestTest, SymlinkAtTemporaryNameIsNotFollowed) {
  ASSERT_EQ(mkdir(Queue().c_str(), 0700), 0);
  ASSERT_EQ(symlink("/nonexistent-target", InQueue(std::string(".") + kHex + ".tmp").c_str()), 0);
  PinnedEnv env;
  env.uuid = UuidOf(kUuid);
  cv::ScopedEnv guard(&env);
  errno = 0;
  EXPECT_FALSE(CVWriteRequest(conf_, "reopen", std::nullopt));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_FALSE(Exists("/nonexistent-target"));
}

// ---- Failing steps after the temporary file ----

struct FaultCase {
  const char* name;
  int writeErr, fsyncErr, closeErr, renameErr, unlinkErr;
  bool writeZero;
  int expectedErr;
  bool tmpLeft;     // only when the clean-up itself fails
  int fsyncs;       // fsync skipped after a write error
};

class WriteFaults : public RequestTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(WriteFaults, LeaveNeitherFileAndReportTheFirstError) {
  const FaultCase& c = GetParam();
  int64_t before = 0;
  {
    TmpFaults t;
    ASSERT_TRUE(CVWriteRequest(conf_, "reopen", std::nullopt));  // folder exists, lastMs set
    before = lastMs;
    auto entries = Entries();
    int fds = CountOpenFds();
    t.writes = t.fsyncs = t.tmpCloses = 0;
    t.writeErr = c.writeErr;
    t.writeZero = c.writeZero;
    t.fsyncErr = c.fsyncErr;
    t.closeErr = c.closeErr;
    t.renameErr = c.renameErr;
    t.unlinkErr = c.unlinkErr;
    errno = 0;
    EXPECT_FALSE(CVWriteRequest(conf_, "open", std::string("/full/disk.corva")));
    EXPECT_EQ(errno, c.expectedErr);
    EXPECT_EQ(t.fsyncs, c.fsyncs);
    EXPECT_EQ(t.tmpCloses, 1);
    EXPECT_EQ(CountOpenFds(), fds);
    EXPECT_GT(lastMs, before);  // the failed write used up its milliseconds
    auto after = Entries();
    if (c.tmpLeft) {
      EXPECT_EQ(after.size(), entries.size() + 1);
    } else {
      EXPECT_EQ(after, entries);
    }
  }
  int64_t failed = lastMs;
  auto stem = CVWriteRequest(conf_, "reopen", std::nullopt);
  ASSERT_TRUE(stem);
  EXPECT_GT(std::stoll(stem->substr(0, stem->find('-'))), failed);
}

const FaultCase kFaultCases[] = {
    // name                writeErr fsyncErr closeErr renameErr unlinkErr zero  errno   left fsyncs
    {"WriteFails", ENOSPC, 0, 0, 0, 0, false, ENOSPC, false, 0},
    {"WriteMakesNoProgress", 0, 0, 0, 0, 0, true, EIO, false, 0},
    {"FsyncFails", 0, EIO, 0, 0, 0, false, EIO, false, 1},
    {"CloseFails", 0, 0, EIO, 0, 0, false, EIO, false, 1},
    {"WriteErrorNotReplacedByClose", ENOSPC, 0, EIO, 0, 0, false, ENOSPC, false, 0},
    {"FsyncErrorNotReplacedByClose", 0, EIO, ENOSPC, 0, 0, false, EIO, false, 1},
    {"RenameFails", 0, 0, 0, EXDEV, 0, false, EXDEV, false, 1},
    {"FailedCleanupKeepsTheError", ENOSPC, 0, 0, 0, EROFS, false, ENOSPC, true, 0},
    {"FailedCleanupAfterRename", 0, 0, 0, EACCES, EROFS, false, EACCES, true, 1},
};

INSTANTIATE_TEST_SUITE_P(Faults, WriteFaults, ::testing::ValuesIn(kFaultCases),
                         cvqueuetest::ByName());

TEST_F(RequestTest, TemporaryFileCannotBeCreated) {
  TmpFaults t;
  t.tmpOpenErr = ENOSPC;
  int fds = CountOpenFds();
  errno = 0;
  EXPECT_FALSE(CVWriteRequest(conf_, "reopen", std::nullopt));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_TRUE(Entries().empty());
  EXPECT_EQ(t.unlinks, 0);
  EXPECT_EQ(lastMs > 0, true);
  EXPECT_EQ(CountOpenFds(), fds);
}

// ---- The queue folder ----

TEST_F(RequestTest, FirstWriteCreatesQueueFolderAnd0755IsTightened) {
  EXPECT_FALSE(Exists(Queue()));
  ASSERT_TRUE(CVWriteRequest(conf_, "reopen", std::nullopt));
  EXPECT_EQ(ModeOf(Queue()), 0700);
  ASSERT_EQ(chmod(Queue().c_str(), 0755), 0);
  ASSERT_TRUE(CVWriteRequest(conf_, "reopen", std::nullopt));
  EXPECT_EQ(ModeOf(Queue()), 0700);
}

struct QueueFolderCase {
  const char* name;
  int err;
};

class UnusableQueueFolder : public RequestTest, public ::testing::WithParamInterface<QueueFolderCase> {};

TEST_P(UnusableQueueFolder, WriteFailsWithErrorOfTheOpen) {
  const QueueFolderCase& c = GetParam();
  std::string name = c.name;
  if (name == "OtherOwner" && !cvtest::CanSwitchUser()) GTEST_SKIP() << "needs root";
  std::string real = tmp_.Join("elsewhere");
  ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
  if (name == "Symlink") {
    ASSERT_EQ(symlink("elsewhere", Queue().c_str()), 0);
  }
  if (name == "DanglingSymlink") {
    ASSERT_EQ(symlink("nowhere", Queue().c_str()), 0);
  }
  if (name == "RegularFile") {
    ASSERT_TRUE(cvtest::WriteFile(Queue(), "", 0600));
  }
  if (name == "Fifo") {
    ASSERT_EQ(mkfifo(Queue().c_str(), 0600), 0);
  }
  if (name == "OtherOwner") {
    ASSERT_EQ(mkdir(Queue().c_str(), 0700), 0);
    ASSERT_EQ(chown(Queue().c_str(), cvtest::kNobody, cvtest::kNobody), 0);
  }
  int fds = CountOpenFds();
  errno = 0;
  EXPECT_FALSE(CVWriteRequest(conf_, "reopen", std::nullopt));
  EXPECT_EQ(errno, c.err);
  EXPECT_TRUE(cvtest::ListDir(real).empty());
  EXPECT_EQ(lastMs, 0);
  EXPECT_EQ(CountOpenFds(), fds);
}

INSTANTIATE_TEST_SUITE_P(Folders, UnusableQueueFolder,
                         ::testing::Values(QueueFolderCase{"Symlink", ELOOP},
                                           QueueFolderCase{"DanglingSymlink", ELOOP},
                                           QueueFolderCase{"RegularFile", ENOTDIR},
                                           QueueFolderCase{"Fifo", ENOTDIR},
                                           QueueFolderCase{"OtherOwner", EPERM}),
                         cvqueuetest::ByName());

}  // namespace
