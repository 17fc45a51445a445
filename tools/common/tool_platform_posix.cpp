#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "kpxadac_board.h"
#include "kpxadac_stream.h"
#include "tool_platform.h"

namespace kpx::tools {

namespace {

std::atomic<std::atomic<bool>*> stopFlag{nullptr};
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "the stop flag is set from a signal handler");

// The signals that stop a tool: Ctrl+C, SIGTERM and SIGHUP (the terminal
// that started it went away).
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void requestStop(int) {
  if (auto* flag = stopFlag.load()) flag->store(true);
  // Only the first stop signal is caught: the next one, of any of them,
  // ends the program at once. sigaction is async-signal-safe.
  struct sigaction fallBack {};
  fallBack.sa_handler = SIG_DFL;
  sigemptyset(&fallBack.sa_mask);
  for (const int number : kStopSignals) sigaction(number, &fallBack, nullptr);
}

}  // namespace

void installStopHandlers(std::atomic<bool>& stop) {
  stopFlag.store(&stop);
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  // The other stop signals wait while the handler runs.
  for (const int number : kStopSignals) sigaddset(&action.sa_mask, number);
  action.sa_flags = SA_RESTART;
  for (const int number : kStopSignals) sigaction(number, &action, nullptr);
  // A reader of standard output that went away, or a file past the size
  // limit (RLIMIT_FSIZE), fails the write (EPIPE, EFBIG), which the tool
  // reports, instead of ending it without a word.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

bool standardErrorIsConsole() {
  return isatty(STDERR_FILENO) == 1;
}

int takeStandardOutput() {
  std::fflush(stdout);
  KpxBoard_SetMessageOutput(KPXBOARD_MESSAGES_STDERR);
  return STDOUT_FILENO;
}

bool writeAll(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(descriptor, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string priorityAdvice() {
  return "allow real time as root or with limits (ulimit -r " +
         std::to_string(KPXSTREAM_REALTIME_PRIORITY) + " -l unlimited)";
}

double processCpuSeconds() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0.0;
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace kpx::tools
