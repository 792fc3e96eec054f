// The request table and the claim deadline, on real request files.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "opener_fixture.h"

namespace cvtest {
namespace {

using RequestsTest = OpenerTest;

TEST_F(RequestsTest, PostWritesFileRecordsAndLogs) {
  CVOpener& o = Make();
  ASSERT_TRUE(o.post("open", std::string("/Users/u/Docs/plan.corva")));
  ASSERT_TRUE(o.post("reopen", std::nullopt));
  ASSERT_EQ(o.outstanding(), 2u);
  const CVRequest& doc = *o.TEST_Reqs()[0];
  const CVRequest& re = *o.TEST_Reqs()[1];
  EXPECT_EQ(doc.kind, "open");
  EXPECT_EQ(doc.label, "plan.corva");
  EXPECT_EQ(re.kind, "reopen");
  EXPECT_EQ(re.label, "reopen");
  EXPECT_FALSE(doc.claimedAt || re.claimedAt);
  EXPECT_LT(doc.stem, re.stem);
  EXPECT_EQ(QueueFiles(), (std::vector<std::string>{doc.stem + ".json", re.stem + ".json"}));
  EXPECT_EQ(Lines("request " + doc.stem + " (open: plan.corva, <private>)"), 1);
  EXPECT_EQ(Lines("request " + re.stem + " (reopen: reopen, <private>)"), 1);
  // Posting alone neither starts the agent nor sets a deadline.
  EXPECT_EQ(agents.probes, 0);
  EXPECT_FALSE(o.TEST_ClaimBy());
}

TEST_F(RequestsTest, PostWithoutFolderRaisesA1AndLeavesNothing) {
  ScopedEnv relative("CORVANTIS_AGENT_DIR", "relative");
  CVOpener& o = Launched();
  EXPECT_FALSE(o.post("open", std::string("/d/a.corva")));
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{o.confErrorText(EINVAL)});
  EXPECT_EQ(Lines("alert A1: <private>"), 1);
}

// A write that fails for a reason of the folder: "A1" with that error, no
// fault of the document reported, nothing left in the queue folder. EINVAL
// and ENAMETOOLONG count as the folder's when the path is fine.
struct FolderFault {
  const char* name;
  const char* step;  // "tmp" (creating the temporary file), "write", "rename" or "queue" (its folder)
  int err;
};
void PrintTo(const FolderFault& c, std::ostream* os) { *os << c.name; }

class FolderFaultTest : public OpenerTest, public ::testing::WithParamInterface<FolderFault> {};

TEST_P(FolderFaultTest, RaisesA1WithItsErrorAndLeavesNothing) {
  CVOpener& o = Launched();
  const FolderFault& c = GetParam();
  // The call of `step` fails with `err`.
  class FailingStep : public cv::EnvWrapper {
   public:
    FailingStep(std::string step, int err) : EnvWrapper(cv::Env::Default()), step_(std::move(step)), err_(err) {}
    int OpenAt(int dir, const char* path, int flags, mode_t mode) override {
      bool temporary = path[0] == '.';
      bool queue = std::string(path) == "open-requests";
      if ((step_ == "tmp" && temporary) || (step_ == "queue" && queue)) return Fail();
      return EnvWrapper::OpenAt(dir, path, flags, mode);
    }
    ssize_t Write(int fd, const void* buf, size_t n) override {
      return step_ == "write" ? Fail() : EnvWrapper::Write(fd, buf, n);
    }
    int RenameAt(int fromDir, const char* from, int toDir, const char* to) override {
      return step_ == "rename" ? Fail() : EnvWrapper::RenameAt(fromDir, from, toDir, to);
    }

   private:
    int Fail() {
      errno = err_;
      return -1;
    }
    std::string step_;
    int err_;
  };
  UseEnv<FailingStep>(c.step, c.err);
  cv::PathFault fault = cv::PathFault::kTooLong;
  EXPECT_FALSE(o.post("open", std::string("/d/a.corva"), &fault));
  EXPECT_EQ(fault, cv::PathFault::kNone);
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{o.confErrorText(c.err)});
  EXPECT_EQ(Lines("alert A1: <private>"), 1);
  EXPECT_TRUE(QueueFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderFaultTest,
    ::testing::Values(FolderFault{"NoSpaceForTheFile", "tmp", ENOSPC},
                      FolderFault{"ReadOnlyFileSystem", "tmp", EROFS},
                      FolderFault{"NoPermission", "tmp", EACCES},
                      FolderFault{"WriteIoError", "write", EIO},
                      FolderFault{"WriteNoSpace", "write", ENOSPC},
                      FolderFault{"RenameReadOnly", "rename", EROFS},
                      FolderFault{"QueueFolderNoPermission", "queue", EACCES},
                      FolderFault{"EinvalOfTheFolder", "tmp", EINVAL},
                      FolderFault{"NameTooLongOfTheFolder", "queue", ENAMETOOLONG}),
    [](const auto& tp) { return std::string(tp.param.name); });

// A path that cannot go into a request is the document's fault: no "A1",
// the fault reported to the caller (or, without a place for it, one
// "bad-path" alert), nothing left on disk.
struct BadPathCase {
  const char* name;
  std::string path;
  cv::PathFault fault;
  std::string text;
};
void PrintTo(const BadPathCase& c, std::ostream* os) { *os << c.name; }

const std::string kLongDir = "/" + std::string(8186, 'a');  // 8187 units; + "/x.corva" is 8195

class BadPathTest : public OpenerTest, public ::testing::WithParamInterface<BadPathCase> {};

TEST_P(BadPathTest, ReportedAsTheDocumentsFault) {
  CVOpener& o = Launched();
  const BadPathCase& c = GetParam();
  cv::PathFault fault = cv::PathFault::kNone;
  EXPECT_FALSE(o.post("open", c.path, &fault));
  EXPECT_EQ(fault, c.fault);
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_TRUE(platform.alerts.empty());
  EXPECT_EQ(LinesStartingWith("not posted ("), 1);
  EXPECT_EQ(o.badPathText(c.fault, c.path), c.text);
  // Without a place for the fault, post raises the alert itself.
  EXPECT_FALSE(o.post("open", c.path));
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{c.text});
  EXPECT_EQ(Lines("alert bad-path: <private>"), 1);
  EXPECT_EQ(Lines("alert A1: <private>"), 0);
  EXPECT_TRUE(QueueFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadPathTest,
    ::testing::Values(
        BadPathCase{"TooLong", kLongDir + "/x.corva", cv::PathFault::kTooLong,
                    "Corvantis can't open \u201Cx.corva\u201D: its path is longer than 8192 characters."},
        BadPathCase{"NotUtf8", "/d/caf\xC3\xA9\xFF.corva", cv::PathFault::kNotUtf8,
                    "Corvantis can't open \u201C" "caf\u00E9\uFFFD.corva\u201D: its path isn't valid UTF-8."},
        BadPathCase{"InvalidDirectoryOnly", "/d\xC0\xAF/plan.corva", cv::PathFault::kNotUtf8,
                    "Corvantis can't open \u201Cplan.corva\u201D: its path isn't valid UTF-8."},
        BadPathCase{"SurrogateInName", "/d/\xED\xA0\x80.corva", cv::PathFault::kNotUtf8,
                    "Corvantis can't open \u201C\uFFFD\uFFFD\uFFFD.corva\u201D: its path isn't valid UTF-8."},
        BadPathCase{"BothIsTooLong", kLongDir + "/\xFF.corva", cv::PathFault::kTooLong,
                    "Corvantis can't open \u201C\uFFFD.corva\u201D: its path is longer than 8192 characters."}),
    [](const auto& tp) { return std::string(tp.param.name); });

// A relative name without a current folder is named by its last
// component, made displayable, never as "/name".
TEST_F(RequestsTest, NoFolderTextNamesTheRelativeName) {
  CVOpener& o = Launched();
  const char* tail = ": the folder it was opened from no longer exists or can't be read.";
  EXPECT_EQ(o.badPathText(cv::PathFault::kNoFolder, "rel.corva"),
            std::string("Corvantis can't open \u201Crel.corva\u201D") + tail);
  EXPECT_EQ(o.badPathText(cv::PathFault::kNoFolder, "../sub/caf\xFF.corva"),
            std::string("Corvantis can't open \u201C" "caf\uFFFD.corva\u201D") + tail);
}

TEST_F(RequestsTest, PathOfExactly8192UnitsIsPosted) {
  CVOpener& o = Launched();
  std::string path = "/" + std::string(8185, 'a') + ".corva";
  ASSERT_EQ(path.size(), 8192u);
  cv::PathFault fault = cv::PathFault::kTooLong;
  EXPECT_TRUE(o.post("open", path, &fault));
  EXPECT_EQ(fault, cv::PathFault::kNone);
  EXPECT_EQ(QueueFiles().size(), 1u);
}

TEST_F(RequestsTest, WithdrawTakesBackQueuedAndKeepsClaimed) {
  CVOpener& o = Make();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(o.post("open", "/d/t" + std::to_string(i) + ".corva"));
  std::string first = Stem(0), claimed = Stem(1), last = Stem(2);
  ASSERT_TRUE(Claim(claimed));  // the agent takes one just before
  platform.Advance(3);

  EXPECT_EQ(o.withdrawPending(), 2u);
  ASSERT_EQ(o.TEST_Reqs().size(), 1u);
  EXPECT_EQ(Stem(0), claimed);
  EXPECT_EQ(o.TEST_Reqs()[0]->claimedAt, platform.now);
  EXPECT_EQ(LinesStartingWith("withdrew "), 2);
  EXPECT_EQ(Lines("withdrew " + first), 1);
  EXPECT_EQ(Lines("withdrew " + last), 1);
  EXPECT_EQ(QueueFiles(), std::vector<std::string>{claimed + ".claimed"});
  EXPECT_FALSE(o.anyPending());
  // Nothing pending is left: a second call is a no-op.
  EXPECT_EQ(o.withdrawPending(), 0u);
  EXPECT_EQ(o.TEST_Reqs().size(), 1u);
}

TEST_F(RequestsTest, WithdrawDropsGoneRecordsSilently) {
  CVOpener& o = Make();
  ASSERT_TRUE(o.post("open", std::string("/d/a.corva")));
  std::string stem = Stem(0);
  ASSERT_TRUE(Claim(stem));
  ASSERT_TRUE(Handle(stem));
  EXPECT_EQ(o.withdrawPending(), 0u);
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_EQ(LinesStartingWith("withdrew "), 0);
}

TEST_F(RequestsTest, WithdrawOnEmptyTableReturnsZero) {
  CVOpener& o = Make();
  EXPECT_EQ(o.withdrawPending(), 0u);
  EXPECT_FALSE(o.anyPending());
}

TEST_F(RequestsTest, WithdrawWithoutFolderForgetsPendingUncounted) {
  CVOpener& o = Make();
  ASSERT_TRUE(o.post("open", std::string("/d/a.corva")));
  o.TEST_SetCfd(-1);  // as if the folder were unusable
  EXPECT_EQ(o.withdrawPending(), 0u);
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_EQ(QueueFiles().size(), 1u);  // no file touched
}

// Each record knows the folder it was written into: after the queue folder
// is replaced between two posts, the request written into the new folder is
// withdrawn, the one left in the old folder is not and is counted as such;
// the alert that follows is then "A7", never the caller's.
TEST_F(RequestsTest, WithdrawReachesOnlyRequestsInTheFolderTheyWereWrittenInto) {
  CVOpener& o = Launched();
  ASSERT_TRUE(o.post("open", std::string("/d/a.corva")));
  std::string old = settings + "/open-requests.old";
  ASSERT_EQ(std::rename(Queue().c_str(), old.c_str()), 0);
  ASSERT_TRUE(o.post("open", std::string("/d/b.corva")));
  std::string a = Stem(0), b = Stem(1);

  EXPECT_EQ(o.withdrawPending(), 1u);
  EXPECT_EQ(o.TEST_Unwithdrawn(), 1u);
  EXPECT_TRUE(o.TEST_Reqs().empty());
  EXPECT_EQ(Lines("withdrew " + b), 1);
  EXPECT_EQ(LinesStartingWith("not withdrawn " + a), 1);
  EXPECT_TRUE(QueueFiles().empty());
  EXPECT_EQ(ListDir(old), std::vector<std::string>{a + ".json"});
  o.alertAfterWithdrawal("caller's text", "A1");
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{A7(kMoved)});
  EXPECT_EQ(o.TEST_Unwithdrawn(), 0u);
  // A later withdrawal that reaches everything gives the caller's alert.
  o.alertAfterWithdrawal("caller's text", "A1");
  EXPECT_EQ(AlertTexts(), (std::vector<std::string>{A7(kMoved), "caller's text"}));
}

TEST_F(RequestsTest, AnyPendingFollowsClaimStamps) {
  CVOpener& o = Make();
  ASSERT_TRUE(o.post("open", std::string("/d/a.corva")));
  EXPECT_TRUE(o.anyPending());
  ASSERT_TRUE(Claim(Stem(0)));
  o.tick();  // stamps the record claimed
  ASSERT_TRUE(o.TEST_Reqs()[0]->claimedAt);
  EXPECT_FALSE(o.anyPending());
}

struct ExtendCase {
  const char* name;
  std::vector<double> asks;  // seconds, asked one after the other at the same instant
  double expected;           // seconds from now
};
void PrintTo(const ExtendCase& c, std::ostream* os) { *os << c.name; }


class ExtendClaimTest : public OpenerTest, public ::testing::WithParamInterface<ExtendCase> {};

TEST_P(ExtendClaimTest, OnlyMovesLater) {
  CVOpener& o = Make();
  for (double s : GetParam().asks) o.extendClaim(s);
  ASSERT_TRUE(o.TEST_ClaimBy());
  EXPECT_EQ(*o.TEST_ClaimBy(), platform.now + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtendClaimTest,
                         ::testing::Values(ExtendCase{"FromNone", {15}, 15},
                                           ExtendCase{"NinetyThenFifteen", {90, 15}, 90},
                                           ExtendCase{"FifteenThenNinety", {15, 90}, 90},
                                           ExtendCase{"Equal", {15, 15}, 15}),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(RequestsTest, ExtendClaimLaterInTimeCanMoveTheDeadline) {
  CVOpener& o = Make();
  o.extendClaim(90);
  platform.Advance(80);
  o.extendClaim(15);
  EXPECT_EQ(*o.TEST_ClaimBy(), platform.now + 15);  // 95 s after the first ask
  platform.Advance(1);
  o.extendClaim(13);
  EXPECT_EQ(*o.TEST_ClaimBy(), platform.now + 14);  // unchanged
}

}  // namespace
}  // namespace cvtest
