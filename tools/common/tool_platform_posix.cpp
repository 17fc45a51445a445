#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "kpxadac_board.h"
#include "tool_platform.h"

namespace kpx::tools {

namespace {

std::atomic<std::atomic<bool>*> stopFlag{nullptr};
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "the stop flag is set from a signal handler");

extern "C" void requestStop(int) {
  if (auto* flag = stopFlag.load()) flag->store(true);
}

}  // namespace

void installStopHandlers(std::atomic<bool>& stop) {
  stopFlag.store(&stop);
  // SA_RESETHAND: the handler goes back to the default once it has run.
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
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

}  // namespace kpx::tools
