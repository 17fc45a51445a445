// kpxadac-scope: a live view of a KPX-ADAC board in the browser. Serves one
// page with the waveform, the averaged spectrum and the ADC's dynamic
// figures, pushed as Server-Sent Events; acquires through the acquisition
// API. See docs/scope.md.
#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sys/resource.h>
#endif

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include "frame_hub.h"
#include "kpxadac16.h"
#include "scope_engine.h"
#include "scope_options.h"
#include "scope_page.h"
#include "tool_platform.h"
#include "web_server.h"

namespace {

using namespace scope;

std::vector<BoardInfo> findAdcBoards() {
  Kpxadac16_Open();
  std::vector<BoardInfo> boards;
  for (unsigned index = 0; index <= 255; ++index) {
    const auto handle = Kpxadac16_GetHandle(BOARD_TYPE_ADC, static_cast<uint8_t>(index));
    if (handle == KPXADAC_INVALID_HANDLE) break;
    boards.push_back(
        {index, handle, Kpxadac16_GetBoardId(BOARD_TYPE_ADC, static_cast<uint8_t>(index))});
  }
  return boards;
}

#ifdef _WIN32
double cpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
  const auto seconds = [](const FILETIME& t) {  // in units of 100 ns
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
           1e7;
  };
  return seconds(kernel) + seconds(user);
}

// Ctrl+C (and Ctrl+Break, closing the console) stop the server: the tools'
// handler raises `stop`, which this waits for.
class StopWaiter {
 public:
  StopWaiter() { tool::installStopHandlers(stop_); }
  template <typename OnStop>
  void start(OnStop onStop) {
    thread_ = std::thread([this, onStop] {
      while (!stop_ && !ended_) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (stop_) onStop();
    });
  }
  void end() { ended_ = true; }
  void join() { thread_.join(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::thread thread_;
};
#else
double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// SIGINT and SIGTERM are taken by one thread with sigwait; every other
// thread, started after this, has them blocked.
class StopWaiter {
 public:
  StopWaiter() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    // A browser that goes away shows as a failed write, not as our death.
    std::signal(SIGPIPE, SIG_IGN);
  }
  template <typename OnStop>
  void start(OnStop onStop) {
    thread_ = std::thread([this, onStop] {
      int signal = 0;
      sigwait(&signals_, &signal);
      if (!ended_) onStop();
    });
  }
  void end() {
    ended_ = true;
    pthread_kill(thread_.native_handle(), SIGTERM);
  }
  void join() { thread_.join(); }

 private:
  sigset_t signals_;
  std::atomic<bool> ended_{false};
  std::thread thread_;
};
#endif

}  // namespace

int main(int argc, char** argv) {
  const auto parsed = parseOptions(argc, argv);
  if (parsed.exit) return parsed.exitCode;
  const Options& options = parsed.options;

  StopWaiter stopWaiter;

  const auto boards = findAdcBoards();
  if (boards.empty()) {
    std::cerr << "kpxadac-scope: no ADC board found\n";
    return 1;
  }
  if (options.view.board >= boards.size()) {
    std::cerr << "kpxadac-scope: no ADC board with index " << options.view.board << " ("
              << boards.size() << " found)\n";
    return 1;
  }

  FrameHub hub(ServerConfig{}.maxEventClients);
  EngineConfig engineConfig;
  engineConfig.setup = kpx::tools::streamSetup(options.clock);
  engineConfig.sampleRateHz = options.sampleRateHz;
  engineConfig.maxSpectraPerSecond = options.maxSpectraPerSecond;
  ScopeEngine engine(boards, options.view, engineConfig, hub);

  ServerConfig serverConfig;
  serverConfig.address = options.address;
  serverConfig.port = options.port;
  serverConfig.token = options.token;
  WebServer server(serverConfig, scopePage(), hub, engine);
  if (const auto error = server.bind(); !error.empty()) {
    std::cerr << "kpxadac-scope: " << error << "\n";
    return 1;
  }

  const auto started = std::chrono::steady_clock::now();
  const double cpuAtStart = cpuSeconds();
  engine.start();
  std::cout << "kpxadac-scope: serving " << boards.size() << " ADC board(s) at "
            << pageUrl(options.address, server.port(), options.token) << std::endl;
  if (options.tokenGenerated)
    std::cout << "kpxadac-scope: every request needs the token in the URL above" << std::endl;

  stopWaiter.start([&] {
    hub.close();
    server.stop();
  });
  const bool served = server.run();
  if (!served) std::cerr << "kpxadac-scope: the server stopped serving\n";
  stopWaiter.end();
  stopWaiter.join();
  hub.close();
  engine.stop();

  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double cpu = cpuSeconds() - cpuAtStart;
  const auto totals = engine.totals();
  std::fprintf(
      stderr,
      "kpxadac-scope: %llu spectra in %.1f s (%.1f per second); CPU %.2f s (%.2f of one core); "
      "overruns: %llu (%llu samples lost)\n",
      static_cast<unsigned long long>(totals.spectra), wall,
      wall > 0 ? static_cast<double>(totals.spectra) / wall : 0.0, cpu, wall > 0 ? cpu / wall : 0.0,
      static_cast<unsigned long long>(totals.overrunEvents),
      static_cast<unsigned long long>(totals.overrunSamples));
  Kpxadac16_CloseAll();
  return served ? 0 : 1;
}
