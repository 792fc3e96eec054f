#include "queue/conf_dir.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string_view>

#include "queue/protocol.h"
#include "util/eintr.h"
#include "util/env.h"

namespace {

// "Corvantis" below `base` with exactly one "/" between: "" gives the bare
// name, a base of only slashes gives "/Corvantis".
std::string JoinComponent(const std::string& base, const char* name) {
  if (base.empty()) return name;
  size_t end = base.find_last_not_of('/');
  if (end == std::string::npos) return std::string("/") + name;
  return base.substr(0, end + 1) + "/" + name;
}


// `path` with runs of "/" made one, "." components dropped and no trailing
// "/"; the root, however spelt, is "/".
std::string Lexical(const std::string& path) {
  std::string out;
  size_t i = 0;
  while (i < path.size()) {
    size_t end = path.find('/', i);
    if (end == std::string::npos) end = path.size();
    std::string_view part(path.data() + i, end - i);
    if (!part.empty() && part != ".") {
      if (i > 0) out.push_back('/');
      out.append(part);
    }
    i = end + 1;
  }
  if (out.empty() && !path.empty() && path[0] == '/') out.push_back('/');
  return out;
}

bool IsLink(cv::Env* env, int baseFd, const char* path) {
  struct stat st;
  return env->FstatAt(baseFd, path, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

CVConfDirSetting CVConfDirSettingFrom(const CVConfDirSources& sources) {
  if (auto v = sources.getenv("CORVANTIS_AGENT_DIR"); v && !v->empty()) return {"CORVANTIS_AGENT_DIR", v};
  if (auto a = sources.getenv("APPDATA")) return {"APPDATA", a};
  if (auto h = sources.getenv("HOME")) return {"HOME", h};
  return {};
}

std::optional<std::string> CVConfDirFrom(const CVConfDirSources& sources) {
  std::optional<std::string> path;
  CVConfDirSetting setting = CVConfDirSettingFrom(sources);
  std::string_view name = setting.name ? setting.name : "";
  if (name == "CORVANTIS_AGENT_DIR") {
    path = *setting.value;
  } else {
    // HOME set but empty stands for "/".
    std::optional<std::string> base = setting.name ? setting.value : sources.realUserHome();
    if (!base) return std::nullopt;
    path = JoinComponent(name == "HOME" && base->empty() ? std::string("/") : *base, "Corvantis");
  }
  if (path->empty() || (*path)[0] != '/') return std::nullopt;
  return path;
}

std::optional<std::string> CVConfDir() {
  cv::Env* env = cv::CurrentEnv();
  return CVConfDirFrom(CVConfDirSources{[env](const char* name) { return env->GetEnv(name); },
                                        [env] { return env->RealUserHome(); }});
}

bool CVSameConfDir(const std::string& a, const std::string& b) { return Lexical(a) == Lexical(b); }

bool CVSameConfFolder(const std::string& a, const std::string& b) {
  if (CVSameConfDir(a, b)) return true;
  cv::Env* env = cv::CurrentEnv();
  struct stat sa, sb;
  if (env->FstatAt(AT_FDCWD, a.c_str(), &sa, 0) != 0) return false;
  if (env->FstatAt(AT_FDCWD, b.c_str(), &sb, 0) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int CVOpenOwnedDir(int baseFd, const char* path, bool noFollow) {
  cv::Env* env = cv::CurrentEnv();
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0);
  auto open = [&] { return CVRetryEintr([&] { return env->OpenAt(baseFd, path, flags, 0); }); };
  int fd = open();
  if (fd < 0 && errno == ENOENT) {
    if (CVRetryEintr([&] { return env->MkdirAt(baseFd, path, 0700); }) != 0 && errno != EEXIST) return -1;
    fd = open();
  }
  // O_NOFOLLOW|O_DIRECTORY answers ENOTDIR for a link as for a file; the
  // link is refused for being a link, which is what ELOOP says.
  if (fd < 0 && noFollow && errno == ENOTDIR) errno = IsLink(env, baseFd, path) ? ELOOP : ENOTDIR;
  if (fd < 0) return -1;

  struct stat st;
  if (env->Fstat(fd, &st) != 0 || !CVIsOwnedDir(st, env->GetEuid())) {
    env->Close(fd);
    errno = EPERM;
    return -1;
  }
  if (CVNeedsTightening(st.st_mode) && CVRetryEintr([&] { return env->Fchmod(fd, 0700); }) != 0) {
    int err = errno;
    env->Close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

bool CVIsOwnedDir(const struct stat& st, uid_t euid) { return S_ISDIR(st.st_mode) && st.st_uid == euid; }

bool CVNeedsTightening(mode_t mode) { return (mode & 077) != 0; }

int CVOpenConfDir() {
  auto path = CVConfDir();
  if (!path) {
    errno = EINVAL;
    return -1;
  }
  return CVOpenOwnedDir(AT_FDCWD, path->c_str(), false);
}

std::optional<std::string> CVBundledAgent() {
  cv::Env* env = cv::CurrentEnv();
  auto exe = env->ExePath();
  if (!exe) return std::nullopt;
  auto bundle = CVBundleOf(*exe);
  if (!bundle) return std::nullopt;
  std::string agent = *bundle + "/" + kCVBundleAgent;
  if (!env->IsExecutableFile(agent.c_str())) return std::nullopt;
  return agent;
}
