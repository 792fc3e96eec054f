// The system log on Linux: journald records with fields of their own, or
// one line per record on stderr.
//
// CreateSystemLog (log.h) picks journald when its socket
// /run/systemd/journal/socket exists, and stderr otherwise. Setting the
// environment variable CORVANTIS_LOG_STDERR=1 forces stderr; the end-to-end
// tests and the demo read the opener's lines from there.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/log.h"

namespace cv {

constexpr const char kJournalSocket[] = "/run/systemd/journal/socket";
constexpr const char kSyslogIdentifier[] = "corvantis-opener";

// Sends one record given as "NAME=value" fields; returns >= 0 on success or
// a negative errno value (the contract of sd_journal_sendv).
using JournalSender = std::function<int(const std::vector<std::string>& fields)>;

// The sender that writes to journald.
JournalSender SystemJournalSender();

// The fields of one record: MESSAGE, PRIORITY (notice 5 for the default
// level, err 3 for the error level), SYSLOG_IDENTIFIER, CORVANTIS_SUBSYSTEM,
// CORVANTIS_CATEGORY.
std::vector<std::string> JournalFields(LogLevel level, const std::string& line,
                                       const std::string& subsystem, const std::string& category);

// Sends each record to journald; a record the journal refuses is written to
// stderr as StderrLog writes it, so that no line is lost.
class JournalLog : public StderrLog {
 public:
  JournalLog(std::string subsystem, std::string category, JournalSender send);

 protected:
  void Emit(LogLevel level, const std::string& line) override;

 private:
  std::string subsystem_;
  std::string category_;
  JournalSender send_;
};

// CreateSystemLog with the socket path and the sender given: a JournalLog
// when `journalSocket` exists and CORVANTIS_LOG_STDERR is not "1", else a
// StderrLog. Never null; caller owns it.
Log* CreateSystemLogAt(const char* subsystem, const char* category, const char* journalSocket,
                       JournalSender send);

}  // namespace cv
