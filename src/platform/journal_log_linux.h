// The system log on Linux: journald records with fields of their own, or
// one line per record on stderr.
//
// CreateSystemLog (log.h) picks journald when its socket
// /run/systemd/journal/socket exists, and stderr otherwise. Setting the
// environment variable CORVANTIS_LOG_STDERR=1 forces stderr; the end-to-end
// tests and the demo read the opener's lines from there.
//
// Records go to journald by its documented native protocol, one datagram of
// fields per record, without the journal library: nothing is loaded or
// opened for the journal before the first record is written.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"
#include "util/env.h"

namespace cv {

constexpr const char kJournalSocket[] = "/run/systemd/journal/socket";
constexpr const char kSyslogIdentifier[] = "corvantis-opener";

// Sends one record given as "NAME=value" fields; returns >= 0 on success or
// a negative errno value (the contract of sd_journal_sendv).
using JournalSender = std::function<int(const std::vector<std::string>& fields)>;

// One record in the native protocol: each field "NAME=value" as that text
// and "\n"; a field whose value holds a newline as "NAME\n", the value's
// length as a 64-bit little-endian number, the value and "\n". A field
// without "=" is sent as a name with an empty value.
std::string JournalDatagram(const std::vector<std::string>& fields);

// A sender to the datagram socket at `socketPath` (journald's, or a test's).
// At its first record it opens a non-blocking, close-on-exec datagram
// socket, kept until the sender is destroyed; each record is one sendmsg,
// retried on EINTR. A record too large for a datagram (EMSGSIZE, ENOBUFS)
// is written into a sealed memfd that is passed alone with SCM_RIGHTS. A
// full journal queue (EAGAIN) is a failure, never a wait. Returns 0, or a
// negative errno value. Every system call goes through `env` (not owned;
// it must outlive the sender).
JournalSender JournalSocketSender(std::string socketPath, Env* env = CurrentEnv());

// The sender that writes to journald: JournalSocketSender(kJournalSocket).
JournalSender SystemJournalSender();

// The fields of one record: MESSAGE, PRIORITY (notice 5 for the default
// level, err 3 for the error level), SYSLOG_IDENTIFIER, CORVANTIS_SUBSYSTEM,
// CORVANTIS_CATEGORY, and CORVANTIS_STEM when `stem` is not empty.
std::vector<std::string> JournalFields(LogLevel level, const std::string& line,
                                       const std::string& subsystem, const std::string& category,
                                       std::string_view stem = {});

// Sends each record to journald; a record the journal refuses is written to
// stderr as StderrLog writes it, so that no line is lost.
class JournalLog : public StderrLog {
 public:
  JournalLog(std::string subsystem, std::string category, JournalSender send);

 protected:
  void Emit(LogLevel level, const std::string& line, std::string_view stem) override;

 private:
  std::string subsystem_;
  std::string category_;
  JournalSender send_;
};

// CreateSystemLog with the socket path and the sender given: a JournalLog
// when `journalSocket` exists and CORVANTIS_LOG_STDERR is not "1" (both
// looked at through CurrentEnv()), else a StderrLog. Never null; caller
// owns it.
Log* CreateSystemLogAt(const char* subsystem, const char* category, const char* journalSocket,
                       JournalSender send);

}  // namespace cv
