#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "kpxadac_board.h"
#include "tool_platform.h"

namespace kpx::tools {

namespace {

std::atomic<std::atomic<bool>*> stopFlag{nullptr};
std::atomic<bool> stopSeen{false};

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI consoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      // Handled once; the next event goes on to the default handler, which
      // ends the process.
      if (stopSeen.exchange(true)) return FALSE;
      if (auto* flag = stopFlag.load()) flag->store(true);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void installStopHandlers(std::atomic<bool>& stop) {
  stopFlag.store(&stop);
  SetConsoleCtrlHandler(consoleEvent, TRUE);
}

bool standardErrorIsConsole() {
  // _isatty() is also true for NUL and other character devices; only a
  // console has a console mode.
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int takeStandardOutput() {
  std::fflush(stdout);
  KpxBoard_SetMessageOutput(KPXBOARD_MESSAGES_STDERR);
  const int out = _fileno(stdout);
  if (out >= 0) _setmode(out, _O_BINARY);
  return out;
}

bool writeAll(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto length = static_cast<unsigned>(std::min<size_t>(bytes.size(), 1u << 30));
    const int n = _write(descriptor, bytes.data(), length);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string priorityAdvice() {
  return "a larger working set may be allowed by an administrator";
}

double processCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
  const auto seconds = [](const FILETIME& t) {  // in units of 100 ns
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
           1e7;
  };
  return seconds(kernel) + seconds(user);
}

}  // namespace kpx::tools
