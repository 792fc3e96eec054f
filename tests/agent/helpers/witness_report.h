// Reading the report of the spawn witness (helpers/spawn_witness.cpp).
#pragma once

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace cvtest {

struct WitnessReport {
  bool complete = false;              // the "end" line was seen
  std::vector<std::string> args;      // argv[0], argv[1], ...
  std::map<int, std::string> fds;     // descriptor -> "<target> <mode>[ append]"
  std::string session;                // "new" or "inherited"
  std::vector<int> handlers;          // signals whose action is not the default
  std::vector<int> masked;            // blocked signals
};

// Parses the first report in `text` (a log may hold earlier lines before it).
inline WitnessReport ParseWitnessReport(const std::string& text) {
  WitnessReport r;
  std::istringstream in(text);
  std::string line;
  bool started = false;
  while (std::getline(in, line)) {
    if (line.rfind("arg 0 ", 0) == 0) started = true;
    if (!started) continue;
    std::istringstream words(line);
    std::string key;
    words >> key;
    std::string rest;
    std::getline(words, rest);
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    if (key == "arg") {
      size_t space = rest.find(' ');
      r.args.push_back(space == std::string::npos ? "" : rest.substr(space + 1));
    } else if (key == "fd") {
      size_t space = rest.find(' ');
      r.fds[std::stoi(rest.substr(0, space))] = rest.substr(space + 1);
    } else if (key == "session") {
      r.session = rest;
    } else if (key == "handler") {
      r.handlers.push_back(std::stoi(rest));
    } else if (key == "masked") {
      r.masked.push_back(std::stoi(rest));
    } else if (key == "end") {
      r.complete = true;
      break;
    }
  }
  return r;
}

}  // namespace cvtest
