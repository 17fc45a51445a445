// kpxadac-scope: a live view of a KPX-ADAC board in the browser. Serves one
// page with the waveform, the averaged spectrum and the ADC's dynamic
// figures, pushed as Server-Sent Events; acquires through the acquisition
// API. See docs/scope.md.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "frame_hub.h"
#include "kpxadac16.h"
#include "response_runner.h"
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

}  // namespace

int main(int argc, char** argv) {
  const auto parsed = parseOptions(argc, argv);
  if (parsed.exit) return parsed.exitCode;
  const Options& options = parsed.options;

  // Ctrl+C (and SIGTERM) set the flag, which the main thread watches below;
  // a browser that goes away shows as a failed write, not as our death.
  static std::atomic<bool> stopRequested{false};
  kpx::tools::installStopHandlers(stopRequested);

  const auto boards = findAdcBoards();
  if (boards.empty()) {
    std::cerr << "kpxadac-scope: no ADC board found\n";
    return kExitFailure;
  }
  for (unsigned index : options.board.indexes)
    if (index >= boards.size()) {
      std::cerr << "kpxadac-scope: no ADC board with index " << index << " (" << boards.size()
                << " found)\n";
      return kExitFailure;
    }

  FrameHub hub(ServerConfig{}.maxEventClients);
  EngineConfig engineConfig;
  engineConfig.setup = kpx::tools::streamSetup(options.board.clock);
  engineConfig.sampleRateHz = options.board.sampleRateHz;
  engineConfig.maxSpectraPerSecond = options.maxSpectraPerSecond;
  if (isGroup(options)) {
    engineConfig.group = options.board.indexes;  // the indexes are the positions in `boards`
    engineConfig.align = options.align;
  }
  ScopeEngine engine(boards, options.view, engineConfig, hub);

  ServerConfig serverConfig;
  serverConfig.address = options.address;
  serverConfig.port = options.port;
  serverConfig.token = options.token;
  const auto response = makeResponseRunner(engine, hub);
  WebServer server(serverConfig, scopePage(), hub, engine, *response);
  if (const auto error = server.bind(); !error.empty()) {
    std::cerr << "kpxadac-scope: " << error << "\n";
    return kExitFailure;
  }

  const auto started = std::chrono::steady_clock::now();
  const double cpuAtStart = kpx::tools::processCpuSeconds();
  engine.start();
  if (isGroup(options))
    std::cout << "kpxadac-scope: serving a group of " << options.board.indexes.size()
              << " ADC boards at " << pageUrl(options.address, server.port(), options.token)
              << std::endl;
  else
    std::cout << "kpxadac-scope: serving " << boards.size() << " ADC board(s) at "
              << pageUrl(options.address, server.port(), options.token) << std::endl;
  if (options.tokenGenerated)
    std::cout << "kpxadac-scope: every request needs the token in the URL above" << std::endl;
  // Nobody could open a page whose URL was lost.
  if (!std::cout) {
    std::cerr << "kpxadac-scope: cannot write the URL to standard output\n";
    response->shutdown();
    engine.stop();
    Kpxadac16_CloseAll();
    return kExitFailure;
  }

  std::atomic<bool> serving{true};
  bool served = false;
  std::thread serverThread([&] {
    served = server.run();
    serving = false;
  });
  while (serving && !stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  hub.close();
  // A signal that came at once may find the server not yet listening, where
  // a stop would be lost: wait until it listens or has ended.
  while (serving && !server.listening()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  server.stop();
  serverThread.join();
  if (!served) std::cerr << "kpxadac-scope: the server stopped serving\n";
  response->shutdown();  // a measurement stops before the engine
  engine.stop();

  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double cpu = kpx::tools::processCpuSeconds() - cpuAtStart;
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
  return served ? kExitClean : kExitFailure;
}
