#include "app/options.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app/diagnose.h"
#include "queue/limits.h"
#include "util/write_all.h"

#ifndef CV_VERSION
#error "CV_VERSION must be defined by the build"
#endif

namespace cv {

namespace {

constexpr const char kHelp[] =
    "Usage: corvantis-opener [TRACT...]\n"
    "       corvantis-opener --help | --version | --diagnose\n"
    "\n"
    "Hands each tract (a .corva file, as a path or a file URI) to the Corvantis\n"
    "agent, starts the agent when none runs, and shows every failure in an alert.\n"
    "Without a tract it asks the running agent to come forward, or starts it.\n"
    "\n"
    "Options, recognised only as the single argument (name a tract that looks\n"
    "like an option ./--help.corva):\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "  --diagnose  tell why a tract might not reach the agent, posting, starting\n"
    "              and changing nothing: where the settings folder is and whether\n"
    "              it is usable, whether an agent holds its lock (and its pid),\n"
    "              the requests in the queue with their state and age, whether\n"
    "              the bundled agent is there, whether the user service\n"
    "              corvantis.agent.service is installed and active, and whether\n"
    "              alerts will be windows or lines on stderr.\n"
    "              Exit status 0 when a tract opened now would reach an agent:\n"
    "              the settings folder is usable, and an agent holds the lock,\n"
    "              or the lock is free and an agent would be started (the user\n"
    "              service is installed and not active; or, without it, the\n"
    "              bundled agent is there and no agent has run more than " CV_STR(CV_OLD_AGENT_SECONDS) " s\n"
    "              without the lock). 1 otherwise.\n"
    "\n"
    "Environment:\n"
    "  CORVANTIS_AGENT_DIR  the settings folder, an absolute path; else it is\n"
    "                       $APPDATA/Corvantis, else $HOME/Corvantis\n"
    "  DISPLAY, WAYLAND_DISPLAY\n"
    "                       alerts are windows when one is set, else stderr lines\n"
    "\n"
    "Its log: journalctl --user -t corvantis-opener\n";

}  // namespace

std::optional<AppOption> ParseAppOption(int argc, const char* const* argv) {
  if (argc != 2 || argv[1] == nullptr) return std::nullopt;
  if (strcmp(argv[1], "--help") == 0) return AppOption::kHelp;
  if (strcmp(argv[1], "--version") == 0) return AppOption::kVersion;
  if (strcmp(argv[1], "--diagnose") == 0) return AppOption::kDiagnose;
  return std::nullopt;
}

const char* HelpText() { return kHelp; }

std::string VersionText() { return std::string("corvantis-opener ") + CV_VERSION + "\n"; }

int RunAppOption(AppOption option, Env* env, AgentControl& agents, int outFd) {
  switch (option) {
    case AppOption::kHelp:
      return CVWriteAll(outFd, kHelp, sizeof kHelp - 1, env) == 0 ? 0 : 1;
    case AppOption::kVersion: {
      std::string version = VersionText();
      return CVWriteAll(outFd, version.data(), version.size(), env) == 0 ? 0 : 1;
    }
    case AppOption::kDiagnose: {
      std::string report;
      int status = RunDiagnose(env, agents, &report);
      return CVWriteAll(outFd, report.data(), report.size(), env) == 0 ? status : 1;
    }
  }
  return 1;
}

}  // namespace cv
