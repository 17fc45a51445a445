// The library's failure lines: one place that prints them, so a host can
// send them to standard error or silence them (KpxBoard_SetMessageOutput).
#pragma once

#include <cstdint>

namespace kpx {

// Prints one formatted line (the format carries its own '\n') where the
// process asked for the library's lines: standard output by default.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void printLine(const char* format, ...);

// KPXBOARD_MESSAGES_*; returns the previous one, or -1 for an unknown value.
int32_t setMessageOutput(int32_t output);

}  // namespace kpx
