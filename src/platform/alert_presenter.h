// How a modal alert reaches the user. The platform's alert loop asks a
// presenter to show the alert and runs a nested main loop until the
// presenter reports the dismissal, so that timers and exit watches keep
// firing meanwhile. A windowed presenter (a child program waited for from
// the nested loop) plugs in here without any change to the callers.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace cv {

class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  // Starts showing the alert. Must call `dismissed` exactly once, on the
  // main thread: either before Show returns (an alert that needs no answer)
  // or later from a source of the default main context.
  virtual void Show(const std::string& messageText, const std::string& informativeText,
                    std::function<void()> dismissed) = 0;
};

// Writes "Corvantis Agent: <informative text>\n" to stderr in one write(2)
// and counts as dismissed at once. The message text is not written.
class StderrAlertPresenter : public AlertPresenter {
 public:
  void Show(const std::string& messageText, const std::string& informativeText,
            std::function<void()> dismissed) override;
};

// The presenter for this session: the stderr one for now, and always when
// no display is reachable (neither DISPLAY nor WAYLAND_DISPLAY set).
std::unique_ptr<AlertPresenter> CreateAlertPresenter();

}  // namespace cv
