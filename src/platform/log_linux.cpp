#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/journal_log_linux.h"
#include "platform/log.h"

namespace cv {

namespace {

int SendToJournal(const std::vector<std::string>& fields) {
  std::vector<struct iovec> iov(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    iov[i].iov_base = const_cast<char*>(fields[i].data());
    iov[i].iov_len = fields[i].size();
  }
  return sd_journal_sendv(iov.data(), static_cast<int>(iov.size()));
}

bool StderrForced() {
  const char* value = std::getenv("CORVANTIS_LOG_STDERR");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

bool Exists(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0;
}

}  // namespace

JournalSender SystemJournalSender() { return SendToJournal; }

std::vector<std::string> JournalFields(LogLevel level, const std::string& line,
                                       const std::string& subsystem, const std::string& category) {
  int priority = level == LogLevel::kError ? 3 : 5;
  return {
      "MESSAGE=" + line,
      "PRIORITY=" + std::to_string(priority),
      std::string("SYSLOG_IDENTIFIER=") + kSyslogIdentifier,
      "CORVANTIS_SUBSYSTEM=" + subsystem,
      "CORVANTIS_CATEGORY=" + category,
  };
}

JournalLog::JournalLog(std::string subsystem, std::string category, JournalSender send)
    : subsystem_(std::move(subsystem)), category_(std::move(category)), send_(std::move(send)) {}

void JournalLog::Emit(LogLevel level, const std::string& line) {
  int saved = errno;
  if (send_(JournalFields(level, line, subsystem_, category_)) < 0) StderrLog::Emit(level, line);
  errno = saved;
}

Log* CreateSystemLogAt(const char* subsystem, const char* category, const char* journalSocket,
                       JournalSender send) {
  if (StderrForced() || !Exists(journalSocket)) return new StderrLog();
  return new JournalLog(subsystem, category, std::move(send));
}

Log* CreateSystemLog(const char* subsystem, const char* category) {
  return CreateSystemLogAt(subsystem, category, kJournalSocket, SystemJournalSender());
}

}  // namespace cv
