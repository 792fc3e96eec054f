// A private X server (Xvfb) for the tests of real windows, and the few
// things a person does with them: find a window by its title, click its
// button, take a screenshot. Uses the xvfb, xdotool, x11-utils and
// imagemagick packages. Each object has a display of its own, chosen by the
// server (-displayfd), so parallel runs never meet.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace cvtest {

struct WindowGeometry {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

class VirtualDisplay {
 public:
  // Starts Xvfb with one screen of `screen` (WIDTHxHEIGHTxDEPTH); name() is
  // empty when it did not come up.
  explicit VirtualDisplay(const std::string& screen = "1024x768x24");
  ~VirtualDisplay();  // stops it
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  // The DISPLAY value, e.g. ":3".
  const std::string& name() const { return name_; }

  // Ids of the mapped windows whose title is exactly `title`.
  std::vector<std::string> Windows(const std::string& title) const;
  // Waits up to `seconds` for exactly one such window; nullopt otherwise.
  std::optional<std::string> WaitForWindow(const std::string& title, double seconds) const;
  std::string Title(const std::string& window) const;
  pid_t Pid(const std::string& window) const;  // _NET_WM_PID, or 0
  std::optional<WindowGeometry> Geometry(const std::string& window) const;
  // The properties of `window` as xprop prints them.
  std::string Properties(const std::string& window) const;

  // Clicks the message window's button: at the bottom right corner, where
  // the alert window lays out its OK button.
  bool ClickOk(const std::string& window) const;
  // Presses a key (an xdotool key name) as the keyboard would; false unless
  // `window` has the input focus.
  bool Key(const std::string& window, const std::string& key) const;
  // Asks `window` to close, as a window manager's close button does.
  bool Close(const std::string& window) const;
  // Writes a PNG of the screen region of `window` to `path`.
  bool Screenshot(const std::string& window, const std::string& path) const;

  // Runs `command` through the shell with DISPLAY set; returns its output,
  // or nullopt when it exits non-zero.
  std::optional<std::string> Run(const std::string& command) const;

 private:
  std::unique_ptr<Process> server_;
  std::string name_;
  std::string dir_;
};

}  // namespace cvtest
