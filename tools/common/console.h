// Messages on standard error, "<program>: " first, shared by a tool's
// threads, and the progress line that is redrawn in place with '\r'.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

namespace kpx::tools {

class Console {
 public:
  // `program` starts every message ("kpxadac-capture"); progress lines are
  // drawn only if `progressEnabled` (standard error is a console).
  Console(std::string program, bool progressEnabled)
      : program_(std::move(program)), progressEnabled_(progressEnabled) {}

  // Prints one line; a progress line on the screen is wiped before.
  void message(const std::string& text) {
    std::lock_guard lock(mutex_);
    wipe();
    std::fprintf(stderr, "%s: %s\n", program_.c_str(), text.c_str());
    std::fflush(stderr);
  }

  // Redraws the progress line (if enabled).
  void progress(const std::string& text) {
    if (!progressEnabled_) return;
    std::lock_guard lock(mutex_);
    // Pad with blanks so that a shorter line covers a longer one.
    const size_t padding = width_ > text.size() ? width_ - text.size() : 0;
    std::fprintf(stderr, "\r%s%*s", text.c_str(), static_cast<int>(padding), "");
    std::fflush(stderr);
    width_ = text.size();
  }

  // Leaves the progress line behind, so the next output starts on a new line.
  void endProgress() {
    std::lock_guard lock(mutex_);
    if (width_ == 0) return;
    std::fputc('\n', stderr);
    width_ = 0;
  }

  // Wipes the progress line off the screen.
  void wipeProgress() {
    std::lock_guard lock(mutex_);
    wipe();
  }

 private:
  void wipe() {
    if (width_ == 0) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
    width_ = 0;
  }

  const std::string program_;
  const bool progressEnabled_;
  std::mutex mutex_;
  size_t width_ = 0;  // characters of the progress line on the screen
};

}  // namespace kpx::tools
