// The opener's options: --help, --version and --diagnose. One of them is
// an option only when it is the single argument; with any other argument
// list, every argument is a document (so "./--help.corva", or "--help"
// beside another argument, is a document, as the desktop passes them).
#pragma once

#include <optional>
#include <string>

#include "opener/agent_control.h"
#include "util/env.h"

namespace cv {

enum class AppOption { kHelp, kVersion, kDiagnose };

// The option that argv[1] names exactly when argc is 2; else nullopt.
std::optional<AppOption> ParseAppOption(int argc, const char* const* argv);

// The usage text of --help, ending in "\n".
const char* HelpText();

// "corvantis-opener <version>\n".
std::string VersionText();

// Writes the option's text to `outFd` (EINTR and short writes retried) and
// returns the exit status: 0 for --help and --version, RunDiagnose's status
// for --diagnose (which takes its facts from `env` and `agents`); 1 when the
// text could not be written. Creates no log and touches nothing else.
int RunAppOption(AppOption option, Env* env, AgentControl& agents, int outFd);

}  // namespace cv
