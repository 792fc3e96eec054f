#include "harness_setup.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <utility>

#include "queue/request_doc.h"

extern char** environ;

namespace cvbench {

namespace {

constexpr const char* kOrigin = "mac-opener";

// Runs `args` with standard input from `in` and output into `out`; its exit
// status, or -1.
int RunToFile(const std::vector<std::string>& args, const std::string& in, const std::string& out) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  int rc = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The document without its "created" member.
std::string WithoutCreated(std::string doc) {
  size_t at = doc.find("\"created\":");
  if (at == std::string::npos) return doc;
  size_t end = doc.find(',', at);
  return doc.erase(at, end == std::string::npos ? std::string::npos : end - at);
}

}  // namespace

void Die(const std::string& message) {
  std::fprintf(stderr, "corvantis-bench: %s\n", message.c_str());
  std::exit(1);
}

void MakeDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    Die("mkdir " + path + ": " + std::strerror(errno));
  }
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary);
  f << data;
  if (!f) Die("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

Work::Work(const std::string& dir, int docCount) : root(dir) {
  settings = root + "/settings";
  queue = settings + "/open-requests";
  home = root + "/home";
  runtime = root + "/runtime";
  safecatTmp = root + "/safecat-tmp";
  safecatNew = root + "/safecat-new";
  safecatInput = root + "/safecat-input.json";
  for (const auto& d : {settings, queue, home, runtime, safecatTmp, safecatNew, root + "/docs"}) MakeDir(d);
  for (int i = 0; i < docCount; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/docs/plan-%02d.corva", i);
    docs.push_back(root + name);
    WriteFile(docs.back(), "Corvantis sample tract\n");
  }
  WriteFile(safecatInput, *CVRequestDocument("open", docs.at(0), 1.7e9 + 0.123456789, 4242, kOrigin));
}

int HoldAgentLock(const Work& w) {
  std::string path = w.settings + "/agent.lock";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) Die("open " + path + ": " + std::strerror(errno));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) Die("lock " + path + ": " + std::strerror(errno));
  std::string doc = "{\"pid\":" + std::to_string(::getpid()) + "}";
  if (::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, doc.data(), doc.size(), 0) != static_cast<ssize_t>(doc.size())) {
    Die("write " + path + ": " + std::strerror(errno));
  }
  return fd;
}

std::vector<std::string> ContenderEnvironment(const Work& w, const std::string& bus) {
  static const char* kDropped[] = {"DISPLAY=", "WAYLAND_DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=",
                                   "XDG_RUNTIME_DIR=", "HOME=", "APPDATA=", "CORVANTIS_"};
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    bool drop = false;
    for (const char* prefix : kDropped) drop = drop || std::strncmp(*e, prefix, std::strlen(prefix)) == 0;
    if (!drop) env.emplace_back(*e);
  }
  env.push_back("CORVANTIS_AGENT_DIR=" + w.settings);
  env.push_back("CORVANTIS_LOG_STDERR=1");
  env.push_back("HOME=" + w.home);
  env.push_back("XDG_RUNTIME_DIR=" + w.runtime);
  if (!bus.empty()) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus);
  return env;
}

void CheckLimitDocuments(const std::string& limit, const Work& w) {
  constexpr int kReadings = 20000;
  // Clock readings as the opener takes them: whole seconds plus nanoseconds.
  std::mt19937_64 rng(20261210);
  std::ostringstream values;
  std::vector<std::pair<double, long long>> readings;
  for (int i = 0; i < kReadings; ++i) {
    double sec = 1.7e9 + static_cast<double>(rng() % 200000000);
    double created = sec + static_cast<double>(rng() % 1000000000) / 1e9;
    long long pid = 1 + static_cast<long long>(rng() % 4194304);
    readings.emplace_back(created, pid);
    char line[64];
    std::snprintf(line, sizeof line, "%.17g %lld\n", created, pid);
    values << line;
  }
  std::string in = w.root + "/check-in", out = w.root + "/check-out";
  WriteFile(in, values.str());
  int total = 0, differ = 0;
  for (const std::string& path : {w.docs.at(0), w.root + "/a \"q\" \\ \xc3\xa9\t\x01\x1f\x7f/x.corva"}) {
    if (RunToFile({limit, "--print", path}, in, out) != 0) Die("the limit program failed in --print");
    std::istringstream got(ReadFile(out));
    std::string line;
    for (const auto& [created, pid] : readings) {
      if (!std::getline(got, line)) Die("the limit program printed too few documents");
      std::string want = *CVRequestDocument("open", path, created, pid, kOrigin);
      ++total;
      if (line == want) continue;
      if (WithoutCreated(line) != WithoutCreated(want)) {
        Die("the limit program's document differs beyond \"created\":\n  limit  " + line + "\n  opener " + want);
      }
      ++differ;
    }
  }
  ::unlink(in.c_str());
  ::unlink(out.c_str());
  if (differ * 100 > total) Die("too many of the limit program's documents differ in \"created\"");
  std::printf("Document check: the limit program's bytes equal the opener's for %d of %d documents", total - differ,
              total);
  if (differ > 0) std::printf("; the others differ only in the digits of \"created\" (the same double)");
  std::printf(".\n\n");
}

}  // namespace cvbench
