#include "virtual_display.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <sstream>

#include "test_support.h"

namespace cvtest {

namespace {

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

VirtualDisplay::VirtualDisplay(const std::string& screen) {
  char tmpl[] = "/tmp/cv-xvfb.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return;
  dir_ = tmpl;
  // -displayfd 1: the server picks a free display and writes its number to
  // standard output once it accepts clients. -noreset: a server that resets
  // when its last client leaves refuses the next one meanwhile.
  server_ = std::make_unique<Process>(
      std::vector<std::string>{"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-noreset", "-screen",
                               "0", screen},
      std::map<std::string, std::optional<std::string>>{}, dir_ + "/display", dir_ + "/xvfb.err");
  if (server_->pid() <= 0) return;
  std::string number;
  WaitUntil(
      [&] {
        number = Trim(ReadFile(dir_ + "/display").value_or(""));
        return !number.empty() || server_->Wait(0).has_value();
      },
      20);
  if (!number.empty()) name_ = ":" + number;
}

VirtualDisplay::~VirtualDisplay() {
  if (server_) server_->Stop(SIGTERM);
  if (!dir_.empty()) {
    std::remove((dir_ + "/display").c_str());
    std::remove((dir_ + "/xvfb.err").c_str());
    std::remove(dir_.c_str());
  }
}

std::optional<std::string> VirtualDisplay::Run(const std::string& command) const {
  std::string full = "DISPLAY='" + name_ + "' " + command + " 2>/dev/null";
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  int status = pclose(pipe);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

std::vector<std::string> VirtualDisplay::Windows(const std::string& title) const {
  // The title is a fixed text of the tests; it holds no quote.
  std::vector<std::string> ids;
  auto out = Run("xdotool search --onlyvisible --name '^" + title + "$'");
  if (!out) return ids;
  for (const std::string& line : Lines(*out)) {
    if (!line.empty()) ids.push_back(line);
  }
  return ids;
}

std::optional<std::string> VirtualDisplay::WaitForWindow(const std::string& title, double seconds) const {
  std::vector<std::string> ids;
  WaitUntil(
      [&] {
        ids = Windows(title);
        return !ids.empty();
      },
      seconds);
  if (ids.size() != 1) return std::nullopt;
  return ids[0];
}

std::string VirtualDisplay::Title(const std::string& window) const {
  return Trim(Run("xdotool getwindowname " + window).value_or(""));
}

pid_t VirtualDisplay::Pid(const std::string& window) const {
  std::string out = Trim(Run("xdotool getwindowpid " + window).value_or(""));
  return out.empty() ? 0 : static_cast<pid_t>(std::stol(out));
}

std::optional<WindowGeometry> VirtualDisplay::Geometry(const std::string& window) const {
  auto out = Run("xdotool getwindowgeometry --shell " + window);
  if (!out) return std::nullopt;
  WindowGeometry g;
  int found = 0;
  for (const std::string& line : Lines(*out)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    int value = std::atoi(line.c_str() + eq + 1);
    if (key == "X") g.x = value, found++;
    if (key == "Y") g.y = value, found++;
    if (key == "WIDTH") g.width = value, found++;
    if (key == "HEIGHT") g.height = value, found++;
  }
  if (found != 4) return std::nullopt;
  return g;
}

std::string VirtualDisplay::Properties(const std::string& window) const {
  return Run("xprop -id " + window).value_or("");
}

bool VirtualDisplay::ClickOk(const std::string& window) const {
  auto g = Geometry(window);
  if (!g) return false;
  // The button is 88 pixels wide at least, inside an 18-pixel border.
  int x = g->x + g->width - 18 - 40;
  int y = g->y + g->height - 18 - 14;
  return Run("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1").has_value();
}

bool VirtualDisplay::Key(const std::string& window, const std::string& key) const {
  auto focus = Run("xdotool getwindowfocus");
  if (!focus || *focus != window + "\n") return false;
  return Run("xdotool key " + key).has_value();
}

bool VirtualDisplay::Close(const std::string& window) const {
  return Run("'" + BuildDir() + "/tests/support/cv_close_window' " + window).has_value();
}

bool VirtualDisplay::Screenshot(const std::string& window, const std::string& path) const {
  auto g = Geometry(window);
  if (!g) return false;
  std::string crop = std::to_string(g->width) + "x" + std::to_string(g->height) + "+" + std::to_string(g->x) + "+" +
                     std::to_string(g->y);
  return Run("import -window root -crop " + crop + " +repage '" + path + "'").has_value();
}

}  // namespace cvtest
