#include "messages.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "kpxadac_board.h"

namespace kpx {

namespace {
std::atomic<int32_t> messageOutput{KPXBOARD_MESSAGES_STDOUT};
}  // namespace

void printLine(const char* format, ...) {
  const int32_t output = messageOutput.load(std::memory_order_relaxed);
  if (output == KPXBOARD_MESSAGES_NONE) return;
  std::va_list arguments;
  va_start(arguments, format);
  std::vfprintf(output == KPXBOARD_MESSAGES_STDERR ? stderr : stdout, format, arguments);
  va_end(arguments);
}

int32_t setMessageOutput(int32_t output) {
  if (output != KPXBOARD_MESSAGES_STDOUT && output != KPXBOARD_MESSAGES_STDERR &&
      output != KPXBOARD_MESSAGES_NONE)
    return -1;
  return messageOutput.exchange(output);
}

}  // namespace kpx
