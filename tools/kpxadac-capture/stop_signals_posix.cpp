#include <csignal>

#include "stop_signals.h"

namespace capture {

namespace {

// SIGTERM's handler stops the capture (and then goes back to the default,
// so that a second signal ends the program at once).
extern "C" void stopAsOnTerminate(int) {
  std::raise(SIGTERM);
}

}  // namespace

void alsoStopOnHangup() {
  struct sigaction action {};
  action.sa_handler = stopAsOnTerminate;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGHUP, &action, nullptr);
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace capture
