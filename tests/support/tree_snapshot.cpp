#include "tree_snapshot.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace cvtest {

namespace {

std::string Describe(const struct stat& st) {
  char buf[256];
  snprintf(buf, sizeof buf, "mode %06o uid %u gid %u ino %llu size %lld mtime %lld.%09ld ctime %lld.%09ld",
           static_cast<unsigned>(st.st_mode), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid),
           static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
           static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec, static_cast<long long>(st.st_ctim.tv_sec),
           st.st_ctim.tv_nsec);
  return buf;
}

void Walk(const std::string& path, const std::string& name, std::map<std::string, std::string>* out) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    (*out)[name] = name == "." ? "missing" : std::string("unreadable: ") + strerror(errno);
    return;
  }
  (*out)[name] = Describe(st);
  if (!S_ISDIR(st.st_mode)) return;
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    (*out)[name] += " (not listable)";
    return;
  }
  while (struct dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    Walk(path + "/" + e->d_name, name == "." ? e->d_name : name + "/" + e->d_name, out);
  }
  closedir(dir);
}

}  // namespace

std::map<std::string, std::string> SnapshotTree(const std::string& root) {
  std::map<std::string, std::string> out;
  Walk(root, ".", &out);
  return out;
}

}  // namespace cvtest
