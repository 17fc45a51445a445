// Messages on standard error, shared by the capture threads, and the
// progress line that is redrawn in place with '\r'.
#pragma once

#include <mutex>
#include <string>

namespace capture {

class Console {
 public:
  explicit Console(bool progressEnabled) : progressEnabled_(progressEnabled) {}

  // Prints one line, "kpxadac-capture: " first; a progress line on the
  // screen is wiped before.
  void message(const std::string& text);
  // Redraws the progress line (if enabled).
  void progress(const std::string& text);
  // Leaves the progress line behind, so the next output starts on a new line.
  void endProgress();

 private:
  void wipeProgress();

  const bool progressEnabled_;
  std::mutex mutex_;
  size_t progressWidth_ = 0;  // characters of the progress line on the screen
};

}  // namespace capture
