#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "agent/probe.h"
#include "app/diagnose.h"
#include "opener/conf_error_text.h"
#include "queue/limits.h"
#include "queue/protocol.h"
#include "util/rounding.h"

namespace cv {

namespace {

constexpr size_t kValueColumn = 21;  // after the longest label, "agents without lock:"

// `text` with control characters written "\xNN", so that a path or a
// variable cannot move the terminal's cursor.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

class Report {
 public:
  // "label:" padded to the value column, then the value.
  void Line(const std::string& label, const std::string& value) {
    std::string head = label + ":";
    head.resize(std::max(head.size() + 1, kValueColumn), ' ');
    text_ += head + value + "\n";
  }
  // A further value under the previous one.
  void More(const std::string& value) { text_ += std::string(kValueColumn, ' ') + value + "\n"; }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// A stem up to a second ahead of the clock is rounding or a small step of
// the clock, not worth a word.
std::string Age(double seconds) {
  if (seconds <= -1) return "in the future (was the clock set back?)";
  seconds = std::max(seconds, 0.0);
  char buf[64];
  long long s = static_cast<long long>(CVRound(seconds));
  if (seconds < 60)
    snprintf(buf, sizeof buf, "%.1f s", seconds);
  else if (s < 3600)
    snprintf(buf, sizeof buf, "%lld min %lld s", s / 60, s % 60);
  else if (s < 86400)
    snprintf(buf, sizeof buf, "%lld h %lld min", s / 3600, s / 60 % 60);
  else
    snprintf(buf, sizeof buf, "%lld d %lld h", s / 86400, s / 3600 % 24);
  return buf;
}

std::string Octal(mode_t mode) {
  char buf[16];
  snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode));
  return buf;
}

void Folder(const FolderFacts& f, Report* r) {
  std::string from = "(from " + f.source + (f.value ? "=\"" + Printable(*f.value) + "\"" : "") + ")";
  if (f.path)
    r->Line("settings folder", Printable(*f.path) + " " + from);
  else
    r->Line("settings folder", "none " + from);

  if (f.err != 0) {
    std::string where = f.errWhere.empty() ? "" : " (" + f.errWhere + ")";
    r->Line("folder state", "not usable" + where + ": " + Printable(CVConfErrorText(f.err)));
  } else if (f.missing) {
    r->Line("folder state", "usable; not there yet (the opener creates it, mode 0700)");
  } else if (f.tightens) {
    r->Line("folder state", "usable; mode " + Octal(f.mode) + " (the opener tightens it to 0700)");
  } else {
    r->Line("folder state", "usable");
  }
}

void Agent(const Diagnosis& d, Report* r) {
  const AgentFacts& a = d.agent;
  if (d.folder.hidden) {
    r->Line("agent lock", "not probed: the settings folder can't be searched until the opener tightens it");
  } else if (!a.probed) {
    r->Line("agent lock",
            d.folder.missing ? "free (no settings folder yet)" : "not probed (no usable settings folder)");
  } else if (a.probe == CVAgentRunning) {
    r->Line("agent lock", a.pid > 0 ? "held by pid " + std::to_string(a.pid) : "held (" CV_LOCK_FILE " names no pid)");
  } else if (a.probe == CVAgentAbsent) {
    r->Line("agent lock", "free: no agent holds " CV_LOCK_FILE);
  } else {
    r->Line("agent lock", "can't be probed: " + Printable(CVConfErrorText(a.err)));
  }

  if (!a.scanned) {
    const char* why = d.folder.hidden             ? "not looked for (" CV_LOCK_FILE " not probed)"
                      : !a.probed                 ? "not looked for (no usable settings folder)"
                      : a.probe == CVAgentRunning ? "not looked for (an agent holds the lock)"
                                                  : "not looked for (" CV_LOCK_FILE " can't be probed)";
    r->Line("agents without lock", why);
  } else if (a.old != 0)
    r->Line("agents without lock",
            "pid " + std::to_string(a.old) + ", running more than " CV_STR(CV_OLD_AGENT_SECONDS) " s (an older agent: quit it)");
  else if (a.young != 0)
    r->Line("agents without lock", "pid " + std::to_string(a.young) + ", starting (" CV_STR(CV_OLD_AGENT_SECONDS) " s old or younger)");
  else
    r->Line("agents without lock", "none");
}

void Queue(const Diagnosis& d, Report* r) {
  const QueueFacts& q = d.queue;
  if (d.folder.hidden) {
    r->Line("requests", "not looked at: the settings folder can't be searched until the opener tightens it");
    return;
  }
  if (!q.looked) {
    r->Line("requests",
            d.folder.missing ? "none (no settings folder yet)" : "not looked at (no usable settings folder)");
    return;
  }
  if (!q.present) {
    r->Line("requests", q.err != 0 ? std::string(CV_QUEUE_DIR " can't be listed: ") + strerror(q.err)
                                   : "none (no " CV_QUEUE_DIR " folder yet)");
    return;
  }
  size_t claimed = 0;
  for (const QueuedRequest& req : q.requests) claimed += req.claimed;
  if (q.requests.empty()) {
    r->Line("requests", "none");
  } else {
    r->Line("requests", std::to_string(q.requests.size()) + " (" + std::to_string(q.requests.size() - claimed) +
                            " queued, " + std::to_string(claimed) + " claimed)");
  }
  for (size_t i = 0; i < q.requests.size() && i < kListedRequestsMax; ++i) {
    const QueuedRequest& req = q.requests[i];
    std::string age = req.ageSeconds ? Age(*req.ageSeconds) : "unknown";
    r->More(req.stem + "  " + (req.claimed ? "claimed" : "queued ") + "  age " + age);
  }
  if (q.requests.size() > kListedRequestsMax)
    r->More("and " + std::to_string(q.requests.size() - kListedRequestsMax) + " more");
  if (q.beingWritten != 0) r->More(std::to_string(q.beingWritten) + " being written (.tmp)");
  if (q.others != 0) r->More(std::to_string(q.others) + " other entries, not requests");
  if (q.tightens && d.folder.err == 0) {
    r->More(CV_QUEUE_DIR " has mode " + Octal(q.mode) + " (the opener tightens it to 0700)");
  }
}

void Bundled(const Diagnosis& d, Report* r) {
  if (d.bundledAgent) {
    r->Line("bundled agent", Printable(*d.bundledAgent));
    return;
  }
  if (!d.exe) {
    r->Line("bundled agent", "none (this program's location is unknown)");
    return;
  }
  std::optional<std::string> bundle = CVBundleOf(*d.exe);
  if (!bundle) {
    r->Line("bundled agent", "none: " + Printable(*d.exe) + " isn't inside an application bundle");
    return;
  }
  r->Line("bundled agent", "none: " + Printable(*bundle) + "/" + kCVBundleAgent + " is missing or not executable");
}

void Service(const ServiceFacts& s, Report* r) {
  std::string unit = std::string(kAgentServiceUnit) + ": ";
  switch (s.state) {
    case ServiceFacts::kNotAsked:
      r->Line("user service", unit + "can't tell (" + Printable(s.detail) + ")");
      return;
    case ServiceFacts::kNoManager:
      r->Line("user service", unit + "no user service manager (" + Printable(s.detail) + ")");
      return;
    case ServiceFacts::kAnswered:
      break;
  }
  std::string states = "LoadState=" + Printable(s.loadState) + ", ActiveState=" + Printable(s.activeState);
  if (s.installed())
    r->Line("user service", unit + "installed, " + (s.active() ? "active" : "not active") + " (" + states + ")");
  else if (s.loadState == "not-found")
    r->Line("user service", unit + "not installed (" + states + ")");
  else
    r->Line("user service", unit + "can't be started (" + states + ")");
}

void Alerts(const AlertFacts& al, Report* r) {
  if (al.windows) {
    r->Line("alerts", "windows (" + Printable(al.program) + ", " + Printable(al.display) + ")");
  } else if (al.display.empty()) {
    r->Line("alerts", "stderr lines: neither DISPLAY nor WAYLAND_DISPLAY is set");
  } else if (al.program.empty()) {
    r->Line("alerts", "stderr lines: this program's location is unknown, so corvantis-alert isn't found");
  } else {
    r->Line("alerts", "stderr lines: " + Printable(al.program) + " is missing or not executable");
  }
}

}  // namespace

std::string FormatDiagnosis(const Diagnosis& d, const Verdict& v) {
  Report r;
  Folder(d.folder, &r);
  Agent(d, &r);
  Queue(d, &r);
  Bundled(d, &r);
  Service(d.service, &r);
  Alerts(d.alerts, &r);
  r.Line("verdict",
         (v.reaches ? "a document would reach an agent now: " : "no document would reach an agent now: ") + v.why);
  return r.text();
}

}  // namespace cv
