// The signals besides Ctrl+C and SIGTERM (tool_platform.h) that a capture
// must outlive in order: stop_signals_posix.cpp and stop_signals_win32.cpp.
#pragma once

namespace capture {

// After kpx::tools::installStopHandlers: SIGHUP (the terminal went away)
// stops the capture as SIGTERM does, and a file past the size limit
// (RLIMIT_FSIZE) fails its write, a write failure like any other, instead
// of SIGXFSZ ending the program. Nothing to do on Windows, where closing
// the console arrives through the console handler.
void alsoStopOnHangup();

}  // namespace capture
