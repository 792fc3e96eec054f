#include "app/diagnose.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "agent/probe.h"
#include "queue/conf_dir.h"
#include "queue/protocol.h"

namespace cv {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// A name of the queue folder taken apart: a request, a temporary file, or
// something else.
void Classify(const std::string& name, double now, QueueFacts* q) {
  CVQueueName entry = CVParseQueueName(name);
  if (entry.kind == CVQueueName::kTemp) {
    ++q->beingWritten;
    return;
  }
  if (entry.kind == CVQueueName::kOther) {
    ++q->others;
    return;
  }
  QueuedRequest req;
  req.stem = entry.stem;
  req.claimed = entry.kind == CVQueueName::kClaimed;
  if (entry.ms) req.ageSeconds = now - static_cast<double>(*entry.ms) / 1000.0;
  q->requests.push_back(req);
}

std::string Parent(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  size_t keep = path.find_last_not_of('/', slash);
  return keep == std::string::npos ? "/" : path.substr(0, keep + 1);
}

// The setting that decides, by the rule of CVConfDir.
void ResolveSource(const DiagnoseSys& sys, FolderFacts* f) {
  CVConfDirSetting setting = CVConfDirSettingFrom(CVConfDirSources{sys.getenv, nullptr});
  f->source = setting.name ? setting.name : "the password database";
  f->value = setting.value;
}

// The folder is missing: would the opener's mkdirat succeed? It fails when
// a dangling link is in its place (EEXIST, then the second open ENOENT),
// when the parent is missing or no directory, or when the parent may not be
// written.
void PredictCreation(const DiagnoseSys& sys, const std::string& path, FolderFacts* f) {
  struct stat st;
  if (sys.fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    f->err = ENOENT;
    return;
  }
  std::string parent = Parent(path);
  if (sys.fstatat(AT_FDCWD, parent.c_str(), &st, 0) != 0) {
    f->err = errno;
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    f->err = ENOTDIR;
    return;
  }
  if (sys.faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK) != 0) {
    f->err = errno;
    return;
  }
  f->missing = true;
}

// A directory of this user, as CVOpenOwnedDir demands; else EPERM.
int OwnerError(const DiagnoseSys& sys, int fd, mode_t* modeOut) {
  struct stat st;
  if (sys.fstat(fd, &st) != 0) return EPERM;
  if (!CVIsOwnedDir(st, sys.geteuid())) return EPERM;
  if (modeOut) *modeOut = st.st_mode & 07777;
  return 0;
}

// What the opener's fchmod to 0700 would meet on the folder open as `fd`
// (this user's), judged without changing anything: EROFS on a read-only
// file system, EPERM (as access(2) reports it) for an immutable folder;
// else 0.
int TightenError(const DiagnoseSys& sys, int fd) {
  struct statvfs vfs;
  if (sys.fstatvfs(fd, &vfs) == 0 && (vfs.f_flag & ST_RDONLY) != 0) return EROFS;
  if (sys.faccessat(fd, ".", W_OK) == 0) return 0;
  int err = errno;
  return err == EROFS || err == EPERM ? err : 0;
}

// Whether entries can be made in the folder open as `fd`: 0, or the error.
// With `tightens`, as the folder will be at mode 0700: its owner may then
// write and search it, whatever the bits say now.
int EntryError(const DiagnoseSys& sys, int fd, bool tightens) {
  if (sys.faccessat(fd, ".", W_OK | X_OK) == 0) return 0;
  int err = errno;
  return err == EACCES && tightens ? 0 : err;
}

// Lists the open queue folder into `q`, in stem order.
void ListQueue(const DiagnoseSys& sys, int queueFd, QueueFacts* q) {
  std::vector<std::string> names;
  int rc = sys.listDir(queueFd, &names);
  if (rc != 0) {
    q->err = rc;
    return;
  }
  q->present = true;
  double now = sys.clock();
  for (const std::string& name : names) Classify(name, now, q);
  std::sort(q->requests.begin(), q->requests.end(),
            [](const QueuedRequest& a, const QueuedRequest& b) { return a.stem < b.stem; });
}

// The queue folder as the first request write would meet it, the settings
// folder already tightened: created when missing (the folder must then be
// writable), else a directory of this user, tightened in turn, in which
// files can be made. Lists it when it opens.
void CheckQueue(const DiagnoseSys& sys, int confFd, FolderFacts* f, QueueFacts* q) {
  q->looked = true;
  int fd = sys.openat(confFd, kCVQueueDir, kDirFlags | O_NOFOLLOW);
  if (fd < 0) {
    int err = errno;
    if (err != ENOENT) {
      q->err = err;
      f->err = err;
      f->errWhere = kCVQueueDir;
      return;
    }
    if (int entryErr = EntryError(sys, confFd, f->tightens); entryErr != 0) {
      f->err = entryErr;
      f->errWhere = std::string("creating ") + kCVQueueDir;
    }
    return;
  }
  ListQueue(sys, fd, q);
  int err = OwnerError(sys, fd, &q->mode);
  if (err == 0) {
    q->tightens = CVNeedsTightening(q->mode);
    if (q->tightens) err = TightenError(sys, fd);
  }
  if (err == 0) err = EntryError(sys, fd, q->tightens);
  sys.close(fd);
  if (err != 0) {
    f->err = err;
    f->errWhere = kCVQueueDir;
  }
}

void CheckAgent(const DiagnoseSys& sys, int confFd, AgentFacts* a) {
  if (confFd >= 0) {
    a->probed = true;
    a->probe = sys.probeAgent(confFd, &a->pid, &a->err);
  }
  // Only with the lock free does the opener look for agents without it;
  // with it held, the holder itself would be found.
  if (confFd >= 0 && a->probe != CVAgentAbsent) return;
  a->scanned = true;
  a->old = sys.findOldAgent(&a->young);
}

void CheckService(const DiagnoseSys& sys, ServiceFacts* s) {
  CommandResult r = sys.runCommand(
      {kSystemctl, "--user", "show", "-p", "LoadState", "-p", "ActiveState", kAgentServiceUnit}, kServiceQuerySeconds);
  if (r.spawnErr != 0) {
    s->detail = std::string(kSystemctl) + " could not be run (" + strerror(r.spawnErr) + ")";
    return;
  }
  if (r.timedOut) {
    s->detail = "systemctl did not answer within " + std::to_string(static_cast<int>(kServiceQuerySeconds)) + " s";
    return;
  }
  if (r.status != 0) {
    s->state = ServiceFacts::kNoManager;
    std::string first = r.err.substr(0, r.err.find('\n'));
    s->detail = first.empty() ? "systemctl --user failed (status " + std::to_string(r.status) + ")"
                              : "systemctl --user: " + first;
    return;
  }
  s->state = ServiceFacts::kAnswered;
  size_t at = 0;
  while (at < r.out.size()) {
    size_t end = r.out.find('\n', at);
    if (end == std::string::npos) end = r.out.size();
    std::string line = r.out.substr(at, end - at);
    at = end + 1;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    if (key == "LoadState") s->loadState = line.substr(eq + 1);
    if (key == "ActiveState") s->activeState = line.substr(eq + 1);
  }
}

void CheckAlerts(const DiagnoseSys& sys, const std::optional<std::string>& exe, AlertFacts* al) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    auto v = sys.getenv(name);
    if (v && !v->empty()) {
      al->display = std::string(name) + "=" + *v;
      break;
    }
  }
  if (exe) {
    size_t slash = exe->rfind('/');
    if (slash != std::string::npos) al->program = exe->substr(0, slash) + "/corvantis-alert";
  }
  al->programFound = !al->program.empty() && sys.isExecutableFile(al->program.c_str());
  al->windows = !al->display.empty() && al->programFound;
}

}  // namespace

Diagnosis Diagnose(const DiagnoseSys& sys) {
  Diagnosis d;
  FolderFacts& f = d.folder;
  ResolveSource(sys, &f);
  f.path = CVConfDir();

  // The settings folder, opened as CVOpenConfDir opens it (links followed),
  // but never created: a missing one is only judged creatable or not.
  int confFd = -1;
  if (!f.path) {
    f.err = EINVAL;
  } else {
    confFd = sys.openat(AT_FDCWD, f.path->c_str(), kDirFlags);
    if (confFd < 0) {
      int err = errno;
      if (err == ENOENT)
        PredictCreation(sys, *f.path, &f);
      else
        f.err = err;
    } else if (int err = OwnerError(sys, confFd, &f.mode); err != 0) {
      sys.close(confFd);
      confFd = -1;
      f.err = err;
    } else {
      // The opener tightens the folder before anything else; a folder that
      // cannot be tightened fails its open.
      f.tightens = CVNeedsTightening(f.mode);
      if (f.tightens) f.err = TightenError(sys, confFd);
      // One that its owner may not search as it is hides what is inside
      // until the opener has tightened it.
      f.hidden = f.err == 0 && f.tightens && sys.faccessat(confFd, ".", X_OK) != 0 && errno == EACCES;
      if (f.err != 0 || f.hidden) {
        sys.close(confFd);
        confFd = -1;
      } else {
        CheckQueue(sys, confFd, &f, &d.queue);
      }
    }
  }

  // A folder that is missing and creatable holds no lock: the lock is free.
  if (confFd >= 0 || f.missing) CheckAgent(sys, confFd, &d.agent);
  if (confFd >= 0) sys.close(confFd);

  d.exe = sys.exePath();
  d.bundledAgent = sys.bundledAgent();
  CheckService(sys, &d.service);
  CheckAlerts(sys, d.exe, &d.alerts);
  return d;
}

int RunDiagnose(const DiagnoseSys& sys, std::string* report) {
  Diagnosis d = Diagnose(sys);
  Verdict v = Judge(d);
  *report = FormatDiagnosis(d, v);
  return v.reaches ? 0 : 1;
}

}  // namespace cv
