// Log lines as stored, the journald record, and the choice of sink.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "loop_util.h"
#include "platform/journal_log_linux.h"
#include "platform/log.h"
#include "test_support.h"
#include "util/env.h"

namespace {

struct FormatCase {
  const char* name;
  std::string fmt;
  std::vector<cv::LogArg> args;
  std::string expected;
};

std::string Format(const std::string& fmt, const std::vector<cv::LogArg>& args) {
  // FormatLogLine takes an initializer list; these cases use up to four.
  switch (args.size()) {
    case 0: return cv::FormatLogLine(fmt, {});
    case 1: return cv::FormatLogLine(fmt, {args[0]});
    case 2: return cv::FormatLogLine(fmt, {args[0], args[1]});
    case 3: return cv::FormatLogLine(fmt, {args[0], args[1], args[2]});
    default: return cv::FormatLogLine(fmt, {args[0], args[1], args[2], args[3]});
  }
}

TEST(FormatLogLine, RedactsPrivateArgumentsOnly) {
  const std::string stem = "0001733000000000-3f2a9c1e4b7d4e0f8a6b2c3d4e5f6a7b";
  const FormatCase cases[] = {
      {"request line", "request %{public}@ (%{public}@: %{public}@, %{private}@)",
       {stem, "open", "plan.corva", "/home/u/plan.corva"},
       "request " + stem + " (open: plan.corva, <private>)"},
      {"public string", "code %{public}@", {"A5"}, "code A5"},
      {"public C string", "kind %{public}s", {"reopen"}, "kind reopen"},
      {"private string", "path %{private}@", {"/home/u/x.corva"}, "path <private>"},
      {"unmarked string is private", "text %@", {"secret"}, "text <private>"},
      {"unmarked C string is private", "text %s", {"secret"}, "text <private>"},
      {"unmarked number is public", "pid %d", {4242}, "pid 4242"},
      {"public number", "pid %{public}d", {17}, "pid 17"},
      {"private number", "pid %{private}d", {17}, "pid <private>"},
      {"negative number", "err %d", {-1}, "err -1"},
      {"percent sign", "100%% done", {}, "100% done"},
      {"percent before a specifier", "%%%{public}@", {"x"}, "%x"},
      {"missing arguments", "%{public}@ and %d", {"one"}, "one and (null)"},
      {"no arguments at all", "%{public}@", {}, "(null)"},
      {"extra arguments ignored", "plain", {"x", 1}, "plain"},
      {"lone percent at the end", "50%", {}, "50%"},
      {"unknown conversion kept", "%q stays", {}, "%q stays"},
      {"unclosed privacy mark kept", "%{public", {"x"}, "%{public"},
  };
  for (const FormatCase& c : cases) {
    EXPECT_EQ(Format(c.fmt, c.args), c.expected) << c.name;
  }
}

// Visible arguments cannot split a line or fake one; private ones stay
// redacted, and the format's own text is not touched.
TEST(FormatLogLine, EscapesControlCharactersAndInvalidUtf8InVisibleArguments) {
  const FormatCase cases[] = {
      {"newline", "label %{public}@", {"a\nb.corva"}, "label a\\nb.corva"},
      {"fake line", "label %{public}@", {"x\ncorvantis-opener[1] done"}, "label x\\ncorvantis-opener[1] done"},
      {"tab and carriage return", "label %{public}@", {"a\tb\rc"}, "label a\\tb\\rc"},
      {"other C0 and DEL", "label %{public}@", {std::string("\x01\x1b[31m\x1f\x7f", 8)}, "label \\x01\\x1b[31m\\x1f\\x7f"},
      {"NUL byte", "label %{public}@", {std::string("a\0b", 3)}, "label a\\x00b"},
      {"backslash", "label %{public}@", {"a\\nb"}, "label a\\\\nb"},
      {"C1 controls", "label %{public}@", {"a\xc2\x85" "b\xc2\x9f" "c\xc2\x80"}, "label a\\xc2\\x85b\\xc2\\x9fc\\xc2\\x80"},
      {"Latin-1 and beyond kept", "label %{public}@", {"\xc2\xa0\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x84"},
       "label \xc2\xa0\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x84"},
      {"line and paragraph separators", "label %{public}@", {"a\u2028b\u2029c"}, "label a\\u2028b\\u2029c"},
      {"bidirectional override", "label %{public}@", {"\u202Eavroc.exe"}, "label \\u202eavroc.exe"},
      {"bidirectional marks and isolates", "label %{public}@", {"\u200e\u200f\u061c\u2066\u2069"},
       "label \\u200e\\u200f\\u061c\\u2066\\u2069"},
      {"neighbours of those kept", "label %{public}@", {"\u200d\u2027\u202f\u2065\u206a"},
       "label \u200d\u2027\u202f\u2065\u206a"},
      {"stray continuation byte", "label %{public}@", {"a\x80z"}, "label a\\x80z"},
      {"lone lead byte", "label %{public}@", {"a\xc3"}, "label a\\xc3"},
      {"truncated three-byte sequence", "label %{public}@", {"\xe2\x82z"}, "label \\xe2\\x82z"},
      {"overlong slash", "label %{public}@", {"\xc0\xaf"}, "label \\xc0\\xaf"},
      {"overlong three-byte", "label %{public}@", {"\xe0\x80\xaf"}, "label \\xe0\\x80\\xaf"},
      {"surrogate", "label %{public}@", {"\xed\xa0\x80"}, "label \\xed\\xa0\\x80"},
      {"past U+10FFFF", "label %{public}@", {"\xf4\x90\x80\x80"}, "label \\xf4\\x90\\x80\\x80"},
      {"Latin-1 byte", "label %{public}@", {"caf\xe9"}, "label caf\\xe9"},
      {"private stays redacted", "path %{private}@", {"a\nb"}, "path <private>"},
      {"format text untouched", "two\nlines %{public}@", {"x"}, "two\nlines x"},
  };
  for (const FormatCase& c : cases) {
    EXPECT_EQ(Format(c.fmt, c.args), c.expected) << c.name;
  }
}

TEST(JournalDatagram, FieldsAreLinesAndValuesWithNewlinesAreSizedBinary) {
  EXPECT_EQ(cv::JournalDatagram({"MESSAGE=done", "PRIORITY=5"}), "MESSAGE=done\nPRIORITY=5\n");
  std::string sized = cv::JournalDatagram({"MESSAGE=two\nlines", "PRIORITY=3"});
  EXPECT_EQ(sized, std::string("MESSAGE\n\x09\0\0\0\0\0\0\0two\nlines\nPRIORITY=3\n", 37));
  EXPECT_EQ(cv::JournalDatagram({"EMPTY="}), "EMPTY=\n");
  EXPECT_EQ(cv::JournalDatagram({}), "");
  // A value of 256 bytes or more: the length's higher bytes are used.
  std::string big(300, 'x');
  big[7] = '\n';
  std::string d = cv::JournalDatagram({"M=" + big});
  ASSERT_EQ(d.size(), 2 + 8 + 300 + 1);
  EXPECT_EQ(d.substr(0, 2), "M\n");
  EXPECT_EQ(static_cast<unsigned char>(d[2]), 300 % 256);
  EXPECT_EQ(static_cast<unsigned char>(d[3]), 300 / 256);
}

// A bound datagram socket standing in for journald's.
class FakeJournal {
 public:
  FakeJournal() : path_(dir_.Join("socket")) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~FakeJournal() {
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }

  // The next datagram, or the content of the descriptor passed with it
  // (then *passed is set and *sealed tells whether it was sealed against
  // writes). nullopt when nothing is queued.
  std::optional<std::string> Receive(bool* passed = nullptr, bool* sealed = nullptr) {
    std::string buf(1 << 20, '\0');
    union {
      struct cmsghdr align;
      char data[CMSG_SPACE(sizeof(int))];
    } control = {};
    struct iovec iov = {buf.data(), buf.size()};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data;
    msg.msg_controllen = sizeof control.data;
    ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) return std::nullopt;
    if (passed) *passed = false;
    struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    if (cmsg != nullptr && cmsg->cmsg_type == SCM_RIGHTS) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(cmsg), sizeof fd);
      if (passed) *passed = true;
      if (sealed) *sealed = (fcntl(fd, F_GET_SEALS) & F_SEAL_WRITE) != 0;
      std::string content;
      char chunk[65536];
      ssize_t r;
      while ((r = pread(fd, chunk, sizeof chunk, static_cast<off_t>(content.size()))) > 0) content.append(chunk, r);
      close(fd);
      EXPECT_EQ(n, 0) << "a passed record carries no payload";
      return content;
    }
    buf.resize(static_cast<size_t>(n));
    return buf;
  }

 private:
  cvtest::TempDir dir_;
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(JournalSocketSender, SendsOneDatagramPerRecordOnOneSocket) {
  FakeJournal journal;
  ASSERT_TRUE(journal.bound());
  int before = cvtest::CountOpenFds();
  {
    cv::JournalSender send = cv::JournalSocketSender(journal.path());
    EXPECT_EQ(cvtest::CountOpenFds(), before) << "nothing is opened before the first record";
    EXPECT_EQ(send({"MESSAGE=one", "PRIORITY=5"}), 0);
    EXPECT_EQ(send({"MESSAGE=two\nlines"}), 0);
    EXPECT_EQ(cvtest::CountOpenFds(), before + 1) << "one socket, kept";
    EXPECT_EQ(journal.Receive(), "MESSAGE=one\nPRIORITY=5\n");
    EXPECT_EQ(journal.Receive(), cv::JournalDatagram({"MESSAGE=two\nlines"}));
    EXPECT_EQ(journal.Receive(), std::nullopt);
  }
  EXPECT_EQ(cvtest::CountOpenFds(), before) << "the socket goes with the sender";
}

TEST(JournalSocketSender, RecordTooLargeForADatagramGoesInASealedMemfd) {
  FakeJournal journal;
  ASSERT_TRUE(journal.bound());
  int before = cvtest::CountOpenFds();
  cv::JournalSender send = cv::JournalSocketSender(journal.path());
  std::vector<std::string> fields = {"MESSAGE=" + std::string(4 << 20, 'm'), "PRIORITY=5"};
  EXPECT_EQ(send(fields), 0);
  bool passed = false;
  bool sealed = false;
  EXPECT_EQ(journal.Receive(&passed, &sealed), cv::JournalDatagram(fields));
  EXPECT_TRUE(passed);
  EXPECT_TRUE(sealed);
  EXPECT_EQ(cvtest::CountOpenFds(), before + 1) << "the memfd is closed after sending";
}

TEST(JournalSocketSender, FailuresAreNegativeErrnoValues) {
  cvtest::TempDir dir;
  EXPECT_EQ(cv::JournalSocketSender(dir.Join("none"))({"MESSAGE=x"}), -ENOENT);
  EXPECT_EQ(cv::JournalSocketSender(std::string(200, 'x'))({"MESSAGE=x"}), -ENAMETOOLONG);
  // A socket that nobody reads fills up: the sender fails at once instead
  // of waiting for room.
  FakeJournal journal;
  ASSERT_TRUE(journal.bound());
  cv::JournalSender send = cv::JournalSocketSender(journal.path());
  int rc = 0;
  for (int i = 0; i < 100000 && rc == 0; ++i) rc = send({"MESSAGE=" + std::string(1000, 'f')});
  EXPECT_EQ(rc, -EAGAIN);
}

// The real system with sendmsg failing with the errors listed, in order,
// before it goes to the real call; memfd_create may fail.
class ScriptedEnv : public cv::EnvWrapper {
 public:
  ScriptedEnv() : EnvWrapper(cv::Env::Default()) {}
  std::vector<int> sendErrors;
  int sendCalls = 0;
  bool failMemfd = false;

  ssize_t SendMsg(int fd, const struct msghdr* msg, int flags) override {
    ++sendCalls;
    if (!sendErrors.empty()) {
      errno = sendErrors.front();
      sendErrors.erase(sendErrors.begin());
      return -1;
    }
    return EnvWrapper::SendMsg(fd, msg, flags);
  }
  int MemfdCreate(const char* name, unsigned int flags) override {
    if (failMemfd) {
      errno = EMFILE;
      return -1;
    }
    return EnvWrapper::MemfdCreate(name, flags);
  }
};

TEST(JournalSocketSender, RetriesInterruptedSendsAndFallsBackToMemfdOnlyForSize) {
  FakeJournal journal;
  ASSERT_TRUE(journal.bound());
  struct Case {
    const char* name;
    std::vector<int> errors;
    bool failMemfd;
    int result;
    bool passed;
    int sends;
  } cases[] = {
      {"interrupted twice", {EINTR, EINTR}, false, 0, false, 3},
      {"too large", {EMSGSIZE}, false, 0, true, 2},
      {"no buffer space", {ENOBUFS}, false, 0, true, 2},
      {"too large, memfd refused", {EMSGSIZE}, true, -EMFILE, false, 1},
      {"refused", {ECONNREFUSED}, false, -ECONNREFUSED, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedEnv env;
    env.sendErrors = c.errors;
    env.failMemfd = c.failMemfd;
    int before = cvtest::CountOpenFds();
    {
      cv::JournalSender send = cv::JournalSocketSender(journal.path(), &env);
      EXPECT_EQ(send({"MESSAGE=x"}), c.result);
    }
    EXPECT_EQ(cvtest::CountOpenFds(), before);
    EXPECT_EQ(env.sendCalls, c.sends);
    bool passed = false;
    auto got = journal.Receive(&passed);
    EXPECT_EQ(got.has_value(), c.result == 0);
    if (got) {
      EXPECT_EQ(*got, "MESSAGE=x\n");
    }
    EXPECT_EQ(passed, c.passed);
  }
}

// A record in a memfd: a short write into it is continued, a failed write
// or seal fails the record, and the memfd is closed on every path.
TEST(JournalSocketSender, MemfdWriteAndSealFailures) {
  FakeJournal journal;
  ASSERT_TRUE(journal.bound());
  class MemfdEnv : public ScriptedEnv {
   public:
    size_t writeCap = 0;  // not 0: each write writes at most this many bytes
    int writeErr = 0;
    int sealErr = 0;
    int writes = 0;
    ssize_t Write(int fd, const void* buf, size_t n) override {
      ++writes;
      if (writeErr) {
        errno = writeErr;
        return -1;
      }
      return ScriptedEnv::Write(fd, buf, writeCap ? std::min(n, writeCap) : n);
    }
    int Fcntl(int fd, int cmd, int arg) override {
      if (cmd == F_ADD_SEALS && sealErr) {
        errno = sealErr;
        return -1;
      }
      return ScriptedEnv::Fcntl(fd, cmd, arg);
    }
  };
  struct Case {
    const char* name;
    size_t writeCap;
    int writeErr;
    int sealErr;
    int result;
    int writes;
  } cases[] = {
      {"short writes", 4, 0, 0, 0, 3},
      {"write fails", 0, ENOSPC, 0, -ENOSPC, 1},
      {"seal fails", 0, 0, EPERM, -EPERM, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemfdEnv env;
    env.sendErrors = {EMSGSIZE};
    env.writeCap = c.writeCap;
    env.writeErr = c.writeErr;
    env.sealErr = c.sealErr;
    int before = cvtest::CountOpenFds();
    {
      cv::JournalSender send = cv::JournalSocketSender(journal.path(), &env);
      EXPECT_EQ(send({"MESSAGE=x"}), c.result);  // 10 bytes: "MESSAGE=x\n"
    }
    EXPECT_EQ(cvtest::CountOpenFds(), before);
    EXPECT_EQ(env.writes, c.writes);
    bool passed = false;
    auto got = journal.Receive(&passed);
    EXPECT_EQ(got.has_value(), c.result == 0);
    if (got) {
      EXPECT_EQ(*got, "MESSAGE=x\n");
      EXPECT_TRUE(passed);
    }
  }
}

// The record as journald receives it, from the opener's log handle.
TEST(JournalLog, RecordAboutARequestCarriesItsStemAsAField) {
  FakeJournal journal;
  ASSERT_TRUE(journal.bound());
  cvtest::ScopedEnv env("CORVANTIS_LOG_STDERR", std::nullopt);
  std::unique_ptr<cv::Log> log(cv::CreateSystemLogAt("corvantis.opener", "opener", journal.path().c_str(),
                                                     cv::JournalSocketSender(journal.path())));
  const std::string stem = "1796873372279-bf859ee000a246e882f03fea5439a4a5";
  cvtest::CaptureStderr capture;
  log->Write(cv::LogLevel::kDefault, "claimed %{public}@", {stem}, stem);
  log->Write(cv::LogLevel::kDefault, "done");
  EXPECT_EQ(capture.Text(), "");
  EXPECT_EQ(journal.Receive(), "MESSAGE=claimed " + stem +
                                   "\nPRIORITY=5\nSYSLOG_IDENTIFIER=corvantis-opener\n"
                                   "CORVANTIS_SUBSYSTEM=corvantis.opener\nCORVANTIS_CATEGORY=opener\n"
                                   "CORVANTIS_STEM=" + stem + "\n");
  EXPECT_EQ(journal.Receive(), "MESSAGE=done\nPRIORITY=5\nSYSLOG_IDENTIFIER=corvantis-opener\n"
                               "CORVANTIS_SUBSYSTEM=corvantis.opener\nCORVANTIS_CATEGORY=opener\n");
}

// The line reaches stderr through the Env: its pid, its writes, a short
// write continued; a failed write loses the line and keeps errno.
TEST(StderrLog, WritesThroughTheEnv) {
  class StderrEnv : public cv::EnvWrapper {
   public:
    StderrEnv() : EnvWrapper(cv::Env::Default()) {}
    int writeErr = 0;
    int writes = 0;
    pid_t GetPid() override { return 4242; }
    ssize_t Write(int fd, const void* buf, size_t n) override {
      if (fd != STDERR_FILENO) return EnvWrapper::Write(fd, buf, n);
      ++writes;
      if (writeErr) {
        errno = writeErr;
        return -1;
      }
      return EnvWrapper::Write(fd, buf, std::min<size_t>(n, 10));
    }
  };
  StderrEnv env;
  cv::ScopedEnv guard(&env);
  cv::StderrLog log;
  {
    cvtest::CaptureStderr capture;
    log.Write(cv::LogLevel::kDefault, "handled %{public}@", {"0001-ab"});
    EXPECT_EQ(capture.Text(), "corvantis-opener[4242] handled 0001-ab\n");
  }
  EXPECT_EQ(env.writes, 4) << "39 bytes, 10 at a time";
  env.writeErr = EPIPE;
  env.writes = 0;
  cvtest::CaptureStderr capture;
  errno = EACCES;
  log.Write(cv::LogLevel::kDefault, "lost");
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(env.writes, 1);
  EXPECT_EQ(capture.Text(), "");
}

TEST(StderrLog, StemIsNotAddedToTheLine) {
  cv::StderrLog log;
  cvtest::CaptureStderr capture;
  log.Write(cv::LogLevel::kDefault, "handled %{public}@", {"0001-ab"}, "0001-ab");
  EXPECT_EQ(capture.Text(), "corvantis-opener[" + std::to_string(getpid()) + "] handled 0001-ab\n");
}

TEST(JournalLog, RecordCarriesPriorityIdentifierSubsystemAndCategory) {
  struct Case {
    cv::LogLevel level;
    const char* priority;
  } cases[] = {{cv::LogLevel::kDefault, "PRIORITY=5"}, {cv::LogLevel::kError, "PRIORITY=3"}};
  for (const Case& c : cases) {
    std::vector<std::vector<std::string>> sent;
    cv::JournalLog log("corvantis.opener", "opener", [&](const std::vector<std::string>& fields) {
      sent.push_back(fields);
      return 0;
    });
    cvtest::CaptureStderr capture;
    log.Write(c.level, "request %{public}@ (%{public}@: %{public}@, %{private}@)",
              {"0001-ab", "open", "plan.corva", "/secret/plan.corva"});
    EXPECT_EQ(capture.Text(), "") << "a record the journal took must not reach stderr";
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (std::vector<std::string>{
                           "MESSAGE=request 0001-ab (open: plan.corva, <private>)",
                           c.priority,
                           "SYSLOG_IDENTIFIER=corvantis-opener",
                           "CORVANTIS_SUBSYSTEM=corvantis.opener",
                           "CORVANTIS_CATEGORY=opener",
                       }));
  }
}

TEST(JournalLog, RefusedRecordGoesToStderrAndKeepsErrno) {
  cv::JournalLog log("corvantis.opener", "opener", [](const std::vector<std::string>&) { return -ECONNREFUSED; });
  cvtest::CaptureStderr capture;
  errno = EACCES;
  log.Write(cv::LogLevel::kError, "alert %{public}@", {"A4"});
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(capture.Text(), "corvantis-opener[" + std::to_string(getpid()) + "] alert A4\n");
}

// Which sink CreateSystemLogAt picks, told apart by where a line lands.
TEST(SystemLog, JournalOnlyWithItsSocketAndWithoutTheOverride) {
  cvtest::TempDir dir;
  const std::string socket = dir.Join("socket");
  ASSERT_TRUE(cvtest::WriteFile(socket, ""));
  const std::string line = "corvantis-opener[" + std::to_string(getpid()) + "] done\n";
  struct Case {
    const char* name;
    bool socketExists;
    std::optional<std::string> override;
    bool journal;
  } cases[] = {
      {"socket present", true, std::nullopt, true},
      {"socket present, override 0", true, "0", true},
      {"socket present, override 1", true, "1", false},
      {"no socket", false, std::nullopt, false},
      {"no socket, override 1", false, "1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cvtest::ScopedEnv env("CORVANTIS_LOG_STDERR", c.override);
    int records = 0;
    std::unique_ptr<cv::Log> log(cv::CreateSystemLogAt(
        "corvantis.opener", "opener", c.socketExists ? socket.c_str() : dir.Join("none").c_str(),
        [&](const std::vector<std::string>&) { return ++records; }));
    ASSERT_NE(log, nullptr);
    cvtest::CaptureStderr capture;
    log->Write(cv::LogLevel::kDefault, "done");
    std::string text = capture.Text();
    EXPECT_EQ(records, c.journal ? 1 : 0);
    EXPECT_EQ(text, c.journal ? "" : line);
  }
}

TEST(SystemLog, OverrideForcesStderrForTheProcessLog) {
  cvtest::ScopedEnv env("CORVANTIS_LOG_STDERR", "1");
  std::unique_ptr<cv::Log> log(cv::CreateSystemLog("corvantis.opener", "opener"));
  cvtest::CaptureStderr capture;
  log->Write(cv::LogLevel::kError, "spawn failed %d", {2});
  EXPECT_EQ(capture.Text(), "corvantis-opener[" + std::to_string(getpid()) + "] spawn failed 2\n");
}

}  // namespace
