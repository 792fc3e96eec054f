#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/journal_log_linux.h"
#include "platform/log.h"
#include "util/eintr.h"
#include "util/env.h"
#include "util/write_all.h"

namespace cv {

namespace {

constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;

// The socket of one sender: opened at its first record, closed with it.
struct JournalSocket {
  std::string path;
  Env* env = nullptr;
  int fd = -1;

  ~JournalSocket() {
    if (fd >= 0) env->Close(fd);
  }
};

// The record in a sealed memfd, passed as the only content of a datagram.
int SendAsMemfd(JournalSocket& sock, struct msghdr* msg, const std::string& datagram) {
  Env* env = sock.env;
  int mfd = env->MemfdCreate("journal-record", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (mfd < 0) return -errno;
  if (CVWriteAll(mfd, datagram.data(), datagram.size(), env) != 0 || env->Fcntl(mfd, F_ADD_SEALS, kSeals) < 0) {
    int err = errno;
    env->Close(mfd);
    return -err;
  }
  union {
    struct cmsghdr align;
    char buf[CMSG_SPACE(sizeof(int))];
  } control;
  std::memset(&control, 0, sizeof control);
  msg->msg_iov = nullptr;
  msg->msg_iovlen = 0;
  msg->msg_control = control.buf;
  msg->msg_controllen = sizeof control.buf;
  struct cmsghdr* cmsg = CMSG_FIRSTHDR(msg);
  cmsg->cmsg_level = SOL_SOCKET;
  cmsg->cmsg_type = SCM_RIGHTS;
  cmsg->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(cmsg), &mfd, sizeof(int));
  ssize_t n = CVRetryEintr([&] { return env->SendMsg(sock.fd, msg, MSG_NOSIGNAL); });
  int err = errno;
  env->Close(mfd);
  return n < 0 ? -err : 0;
}

int Send(JournalSocket& sock, const std::vector<std::string>& fields) {
  Env* env = sock.env;
  struct sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (sock.path.size() >= sizeof addr.sun_path) return -ENAMETOOLONG;
  std::memcpy(addr.sun_path, sock.path.data(), sock.path.size());
  if (sock.fd < 0) {
    sock.fd = env->Socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sock.fd < 0) return -errno;
  }
  std::string datagram = JournalDatagram(fields);
  struct iovec iov = {datagram.data(), datagram.size()};
  struct msghdr msg;
  std::memset(&msg, 0, sizeof msg);
  msg.msg_name = &addr;
  msg.msg_namelen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + sock.path.size() + 1);
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (CVRetryEintr([&] { return env->SendMsg(sock.fd, &msg, MSG_NOSIGNAL); }) >= 0) return 0;
  if (errno != EMSGSIZE && errno != ENOBUFS) return -errno;
  return SendAsMemfd(sock, &msg, datagram);
}

bool StderrForced(Env* env) {
  std::optional<std::string> value = env->GetEnv("CORVANTIS_LOG_STDERR");
  return value && *value == "1";
}

bool Exists(Env* env, const char* path) {
  struct stat st;
  return env->FstatAt(AT_FDCWD, path, &st, 0) == 0;
}

}  // namespace

std::string JournalDatagram(const std::vector<std::string>& fields) {
  std::string out;
  for (const std::string& field : fields) {
    size_t eq = field.find('=');
    std::string_view name = std::string_view(field).substr(0, eq);
    std::string_view value = eq == std::string::npos ? std::string_view() : std::string_view(field).substr(eq + 1);
    if (value.find('\n') == std::string_view::npos) {
      out.append(name);
      out += '=';
      out.append(value);
      out += '\n';
      continue;
    }
    out.append(name);
    out += '\n';
    uint64_t size = value.size();
    for (int i = 0; i < 8; ++i) out += static_cast<char>((size >> (8 * i)) & 0xff);
    out.append(value);
    out += '\n';
  }
  return out;
}

JournalSender JournalSocketSender(std::string socketPath, Env* env) {
  auto sock = std::make_shared<JournalSocket>();
  sock->path = std::move(socketPath);
  sock->env = env;
  return [sock](const std::vector<std::string>& fields) { return Send(*sock, fields); };
}

JournalSender SystemJournalSender() { return JournalSocketSender(kJournalSocket); }

std::vector<std::string> JournalFields(LogLevel level, const std::string& line, const std::string& subsystem,
                                       const std::string& category, std::string_view stem) {
  int priority = level == LogLevel::kError ? 3 : 5;
  std::vector<std::string> fields = {
      "MESSAGE=" + line,
      "PRIORITY=" + std::to_string(priority),
      std::string("SYSLOG_IDENTIFIER=") + kSyslogIdentifier,
      "CORVANTIS_SUBSYSTEM=" + subsystem,
      "CORVANTIS_CATEGORY=" + category,
  };
  if (!stem.empty()) fields.push_back("CORVANTIS_STEM=" + std::string(stem));
  return fields;
}

JournalLog::JournalLog(std::string subsystem, std::string category, JournalSender send)
    : subsystem_(std::move(subsystem)), category_(std::move(category)), send_(std::move(send)) {}

void JournalLog::Emit(LogLevel level, const std::string& line, std::string_view stem) {
  int saved = errno;
  if (send_(JournalFields(level, line, subsystem_, category_, stem)) < 0) StderrLog::Emit(level, line, stem);
  errno = saved;
}

Log* CreateSystemLogAt(const char* subsystem, const char* category, const char* journalSocket,
                       JournalSender send) {
  Env* env = CurrentEnv();
  if (StderrForced(env) || !Exists(env, journalSocket)) return new StderrLog();
  return new JournalLog(subsystem, category, std::move(send));
}

Log* CreateSystemLog(const char* subsystem, const char* category) {
  return CreateSystemLogAt(subsystem, category, kJournalSocket, SystemJournalSender());
}

}  // namespace cv
