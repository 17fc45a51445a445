#include "console.h"

#include <cstdio>

namespace capture {

void Console::message(const std::string& text) {
  std::lock_guard lock(mutex_);
  wipeProgress();
  std::fprintf(stderr, "kpxadac-capture: %s\n", text.c_str());
  std::fflush(stderr);
}

void Console::progress(const std::string& text) {
  if (!progressEnabled_) return;
  std::lock_guard lock(mutex_);
  // Pad with blanks so that a shorter line covers a longer one.
  const size_t padding = progressWidth_ > text.size() ? progressWidth_ - text.size() : 0;
  std::fprintf(stderr, "\r%s%*s", text.c_str(), static_cast<int>(padding), "");
  std::fflush(stderr);
  progressWidth_ = text.size();
}

void Console::endProgress() {
  std::lock_guard lock(mutex_);
  if (progressWidth_ == 0) return;
  std::fputc('\n', stderr);
  progressWidth_ = 0;
}

void Console::wipeProgress() {
  if (progressWidth_ == 0) return;
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(progressWidth_), "");
  progressWidth_ = 0;
}

}  // namespace capture
