// The few host services the command-line tools use, behind one interface:
// tool_platform_posix.cpp and tool_platform_win32.cpp implement it.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace kpx::tools {

// Ctrl+C sets `stop` (also SIGTERM and SIGHUP on POSIX; Ctrl+Break and
// closing the console on Windows). Only the first one is caught: a second
// ends the program at once. A reader of standard output that goes away, or
// a file past the size limit (SIGXFSZ), shows as a write error, not as a
// silent death. `stop` must outlive the program.
void installStopHandlers(std::atomic<bool>& stop);

// Whether standard error is a terminal or a console, where a progress line
// redrawn in place makes sense.
bool standardErrorIsConsole();

// Gives standard output to the caller's data alone: the library's failure
// lines go to standard error from now on (KpxBoard_SetMessageOutput), and
// standard output is put in binary mode. Returns its descriptor.
int takeStandardOutput();

// Writes all of `bytes` to `descriptor` (from takeStandardOutput); false on
// failure.
bool writeAll(int descriptor, std::string_view bytes);

// How to let the stream's reading thread have real-time priority and a
// locked ring on this host, for the line that says it has not got them.
std::string priorityAdvice();

// The processor time the process has used so far, user and system, in
// seconds (0 where the host cannot say).
double processCpuSeconds();

}  // namespace kpx::tools
