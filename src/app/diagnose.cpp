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
#include "util/eintr.h"

namespace cv {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

int OpenDir(Env* env, int dirFd, const char* path, int flags) {
  return CVRetryEintr([&] { return env->OpenAt(dirFd, path, flags, 0); });
}

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

// The setting that decides, by the rule of CVConfDir, asked of the Env
// that CVConfDir asks.
void ResolveSource(Env* env, FolderFacts* f) {
  CVConfDirSources sources;
  sources.getenv = [env](const char* name) { return env->GetEnv(name); };
  CVConfDirSetting setting = CVConfDirSettingFrom(sources);
  f->source = setting.name ? setting.name : "the password database";
  f->value = setting.value;
}

// The folder is missing: would the opener's mkdirat succeed? It fails when
// a dangling link is in its place (EEXIST, then the second open ENOENT),
// when the parent is missing or no directory, or when the parent may not be
// written.
void PredictCreation(Env* env, const std::string& path, FolderFacts* f) {
  struct stat st;
  if (env->FstatAt(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    f->err = ENOENT;
    return;
  }
  std::string parent = Parent(path);
  if (env->FstatAt(AT_FDCWD, parent.c_str(), &st, 0) != 0) {
    f->err = errno;
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    f->err = ENOTDIR;
    return;
  }
  if (env->AccessAt(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    f->err = errno;
    return;
  }
  f->missing = true;
}

// A directory of this user, as CVOpenOwnedDir demands; else EPERM.
int OwnerError(Env* env, int fd, mode_t* modeOut) {
  struct stat st;
  if (env->Fstat(fd, &st) != 0) return EPERM;
  if (!CVIsOwnedDir(st, env->GetEuid())) return EPERM;
  if (modeOut) *modeOut = st.st_mode & 07777;
  return 0;
}

// What the opener's fchmod to 0700 would meet on the folder open as `fd`
// (this user's), judged without changing anything: EROFS on a read-only
// file system, EPERM (as access(2) reports it) for an immutable folder;
// else 0.
int TightenError(Env* env, int fd) {
  struct statvfs vfs;
  if (env->Fstatvfs(fd, &vfs) == 0 && (vfs.f_flag & ST_RDONLY) != 0) return EROFS;
  if (env->AccessAt(fd, ".", W_OK, AT_EACCESS) == 0) return 0;
  int err = errno;
  return err == EROFS || err == EPERM ? err : 0;
}

// Whether entries can be made in the folder open as `fd`: 0, or the error.
// With `tightens`, as the folder will be at mode 0700: its owner may then
// write and search it, whatever the bits say now.
int EntryError(Env* env, int fd, bool tightens) {
  if (env->AccessAt(fd, ".", W_OK | X_OK, AT_EACCESS) == 0) return 0;
  int err = errno;
  return err == EACCES && tightens ? 0 : err;
}

// Lists the open queue folder into `q`, in stem order.
void ListQueue(Env* env, int queueFd, QueueFacts* q) {
  std::vector<std::string> names;
  int rc = env->ListDir(queueFd, &names);
  if (rc != 0) {
    q->err = rc;
    return;
  }
  q->present = true;
  double now = env->WallClock();
  for (const std::string& name : names) Classify(name, now, q);
  std::sort(q->requests.begin(), q->requests.end(),
            [](const QueuedRequest& a, const QueuedRequest& b) { return a.stem < b.stem; });
}

// The queue folder as the first request write would meet it, the settings
// folder already tightened: created when missing (the folder must then be
// writable), else a directory of this user, tightened in turn, in which
// files can be made. Lists it when it opens.
void CheckQueue(Env* env, int confFd, FolderFacts* f, QueueFacts* q) {
  q->looked = true;
  int fd = OpenDir(env, confFd, kCVQueueDir, kDirFlags | O_NOFOLLOW);
  if (fd < 0) {
    int err = errno;
    if (err != ENOENT) {
      q->err = err;
      f->err = err;
      f->errWhere = kCVQueueDir;
      return;
    }
    if (int entryErr = EntryError(env, confFd, f->tightens); entryErr != 0) {
      f->err = entryErr;
      f->errWhere = std::string("creating ") + kCVQueueDir;
    }
    return;
  }
  ListQueue(env, fd, q);
  int err = OwnerError(env, fd, &q->mode);
  if (err == 0) {
    q->tightens = CVNeedsTightening(q->mode);
    if (q->tightens) err = TightenError(env, fd);
  }
  if (err == 0) err = EntryError(env, fd, q->tightens);
  env->Close(fd);
  if (err != 0) {
    f->err = err;
    f->errWhere = kCVQueueDir;
  }
}

void CheckAgent(AgentControl& agents, int confFd, AgentFacts* a) {
  if (confFd >= 0) {
    a->probed = true;
    a->probe = agents.ProbeAgent(confFd, &a->pid, &a->err);
  }
  // Only with the lock free does the opener look for agents without it;
  // with it held, the holder itself would be found.
  if (confFd >= 0 && a->probe != CVAgentAbsent) return;
  a->scanned = true;
  a->old = agents.FindOldFrozenAgent(0, &a->young);
}

void CheckService(Env* env, ServiceFacts* s) {
  CommandResult r = env->RunCommand(
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

void CheckAlerts(Env* env, const std::optional<std::string>& exe, AlertFacts* al) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    auto v = env->GetEnv(name);
    if (v && !v->empty()) {
      al->display = std::string(name) + "=" + *v;
      break;
    }
  }
  if (exe) {
    size_t slash = exe->rfind('/');
    if (slash != std::string::npos) al->program = exe->substr(0, slash) + "/corvantis-alert";
  }
  al->programFound = !al->program.empty() && env->IsExecutableFile(al->program.c_str());
  al->windows = !al->display.empty() && al->programFound;
}

}  // namespace

Diagnosis Diagnose(Env* env, AgentControl& agents) {
  ScopedEnv guard(env);
  Diagnosis d;
  FolderFacts& f = d.folder;
  ResolveSource(env, &f);
  f.path = CVConfDir();

  // The settings folder, opened as CVOpenConfDir opens it (links followed),
  // but never created: a missing one is only judged creatable or not.
  int confFd = -1;
  if (!f.path) {
    f.err = EINVAL;
  } else {
    confFd = OpenDir(env, AT_FDCWD, f.path->c_str(), kDirFlags);
    if (confFd < 0) {
      int err = errno;
      if (err == ENOENT)
        PredictCreation(env, *f.path, &f);
      else
        f.err = err;
    } else if (int err = OwnerError(env, confFd, &f.mode); err != 0) {
      env->Close(confFd);
      confFd = -1;
      f.err = err;
    } else {
      // The opener tightens the folder before anything else; a folder that
      // cannot be tightened fails its open.
      f.tightens = CVNeedsTightening(f.mode);
      if (f.tightens) f.err = TightenError(env, confFd);
      // One that its owner may not search as it is hides what is inside
      // until the opener has tightened it.
      f.hidden = f.err == 0 && f.tightens && env->AccessAt(confFd, ".", X_OK, AT_EACCESS) != 0 && errno == EACCES;
      if (f.err != 0 || f.hidden) {
        env->Close(confFd);
        confFd = -1;
      } else {
        CheckQueue(env, confFd, &f, &d.queue);
      }
    }
  }

  // A folder that is missing and creatable holds no lock: the lock is free.
  if (confFd >= 0 || f.missing) CheckAgent(agents, confFd, &d.agent);
  if (confFd >= 0) env->Close(confFd);

  d.exe = env->ExePath();
  d.bundledAgent = agents.BundledAgent();
  CheckService(env, &d.service);
  CheckAlerts(env, d.exe, &d.alerts);
  return d;
}

int RunDiagnose(Env* env, AgentControl& agents, std::string* report) {
  // The report words errors as the opener would, from the same Env.
  ScopedEnv guard(env);
  Diagnosis d = Diagnose(env, agents);
  Verdict v = Judge(d);
  *report = FormatDiagnosis(d, v);
  return v.reaches ? 0 : 1;
}

}  // namespace cv
