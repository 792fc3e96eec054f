// The settings folder: where it lies, how it and the folders inside it are
// opened and secured, and where the agent copy lies inside the application
// bundle. Plain functions without state; the environment, the password
// database and the file system are read afresh on every call. All system
// access goes through cv::CurrentEnv() (util/env.h), which tests replace.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

// Resolves the settings folder path. Sources, first that applies decides:
//   CORVANTIS_AGENT_DIR (set and not empty): the value itself;
//   APPDATA (set, empty or not): the value joined with "Corvantis";
//   HOME (APPDATA unset): the value joined with "Corvantis", "" standing for "/";
//   the password database's home of the real user id, joined with "Corvantis".
// Returns the path only when it is non-empty and absolute; otherwise nullopt.
std::optional<std::string> CVConfDir();

// Where the rule of CVConfDir reads its sources: the environment and the
// password-database home of the real user id (both nullopt when missing).
struct CVConfDirSources {
  std::function<std::optional<std::string>(const char* name)> getenv;
  std::function<std::optional<std::string>()> realUserHome;
};

// The setting that decides the settings folder under the rule of CVConfDir:
// `name` is "CORVANTIS_AGENT_DIR", "APPDATA" or "HOME" with its `value` as
// set (HOME possibly ""), or nullptr when the password database decides
// (`value` none). Asks only `sources.getenv`.
struct CVConfDirSetting {
  const char* name = nullptr;
  std::optional<std::string> value;
};
CVConfDirSetting CVConfDirSettingFrom(const CVConfDirSources& sources);

// The rule of CVConfDir over `sources` instead of this process's own; used
// to learn which settings folder another process of the user resolves.
// realUserHome is asked only when neither APPDATA nor HOME is set. Never
// throws but std::bad_alloc.
std::optional<std::string> CVConfDirFrom(const CVConfDirSources& sources);

// Whether two settings folder paths, as CVConfDir returns them, name the
// same folder. The paths are compared as strings after runs of "/" are made
// one, "." components dropped and a trailing "/" cut: "/a//b/", "/a/./b"
// and "/a/b" are one folder. ".." and symbolic links are not resolved (that
// would need the file system, and the answer could differ between the two
// processes), so "/a/../b" and "/b" are two folders.
bool CVSameConfDir(const std::string& a, const std::string& b);

// Whether two settings folder paths name the same folder as the file system
// shows it now. When both can be looked up (FstatAt of cv::CurrentEnv(),
// links followed), exactly when they are the same file: the
// same device and inode, however each is spelt ("/home" a link to
// "/var/home", "/a//b/."). When either cannot be looked up (it does not
// exist yet, or a folder on its way may not be searched), as CVSameConfDir
// compares them. Identical spellings are the same folder without a look-up.
bool CVSameConfFolder(const std::string& a, const std::string& b);

// Opens `path` (relative to `baseFd` unless absolute) as a read-only
// directory, O_CLOEXEC, plus O_NOFOLLOW when `noFollow`. Creates it with mode
// 0700 when missing (last component only; EEXIST from a racing creator counts
// as success). Refuses, with EPERM, anything that is not a directory owned by
// geteuid(); tightens group/other bits to 0700 with fchmod.
// Returns the descriptor, owned by the caller, or -1 with errno set to the
// error of the failing step (descriptor closed first). With `noFollow` a
// symbolic link in place of the directory fails with ELOOP (Linux's openat
// says ENOTDIR; an fstatat tells the link apart from a file, which keeps
// ENOTDIR) and nothing is created.
int CVOpenOwnedDir(int baseFd, const char* path, bool noFollow);

// The owner rule of CVOpenOwnedDir for a folder with status `st`: a
// directory owned by `euid`. Folders that fail it are refused with EPERM.
bool CVIsOwnedDir(const struct stat& st, uid_t euid);
// Whether CVOpenOwnedDir tightens a folder of mode `mode` to 0700: group or
// other bits are set.
bool CVNeedsTightening(mode_t mode);

// CVOpenOwnedDir(AT_FDCWD, CVConfDir(), false). No path: -1 with EINVAL.
int CVOpenConfDir();

// The agent copy inside the opener's bundle: <bundle>/kCVBundleAgent
// (protocol.h), when it is a regular file (links followed) that the real
// user may execute. The bundle is derived from /proc/self/exe by CVBundleOf:
// a program in "<bundle>/Contents/MacOS"; any other place has none (a
// development build).
std::optional<std::string> CVBundledAgent();
