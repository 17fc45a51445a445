#include "scope_options.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <iostream>

#include "access_guard.h"
#include "shared_options.h"

namespace scope {

using kpx::tools::RealRange;
using kpx::tools::WholeRange;

std::string parseListen(const std::string& text, std::string& address, uint16_t& port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
    return "--listen needs ADDR:PORT, for example 0.0.0.0:8080 or [::]:8080";
  std::string host = text.substr(0, colon);
  if (host.front() == '[') {
    if (host.back() != ']' || host.size() < 3) return "--listen: an IPv6 address goes in [ ]";
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return "--listen: an IPv6 address goes in [ ], as in [::1]:8080";
  }
  const std::string portText = text.substr(colon + 1);
  unsigned value = 0;
  const auto [end, error] =
      std::from_chars(portText.data(), portText.data() + portText.size(), value);
  if (error != std::errc() || end != portText.data() + portText.size() || value > 65535)
    return "--listen: the port must be a number from 0 to 65535";
  address = host;
  port = static_cast<uint16_t>(value);
  return "";
}

std::string pageUrl(const std::string& address, uint16_t port, const std::string& token) {
  const bool ipv6 = address.find(':') != std::string::npos;
  std::string url =
      "http://" + (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(port) + "/";
  if (!token.empty()) url += "?token=" + token;
  return url;
}

ParsedOptions parseOptions(int argc, const char* const* argv) {
  ParsedOptions parsed;
  Options& options = parsed.options;
  CLI::App app{
      "kpxadac-scope: a live view of a KPX-ADAC board in the browser: waveform, averaged "
      "spectrum and the ADC's dynamic figures (SNR, SINAD, THD, SFDR, ENOB).\n"
      "Serves http://127.0.0.1:8080/ by default; see docs/scope.md.",
      "kpxadac-scope"};
  std::string listen;
  std::string window = "blackman-harris";
  auto* portOption =
      app.add_option("--port", options.port, "Port on 127.0.0.1 (default 8080; 0: any free port)")
          ->transform(WholeRange<uint64_t>(0, 65535))
          ->option_text("PORT");
  app.add_option("--listen", listen,
                 "Address and port to serve on, e.g. 0.0.0.0:8080 or [::]:8080; every request "
                 "must then carry the access token")
      ->option_text("ADDR:PORT")
      ->excludes(portOption);
  app.add_option("--token", options.token,
                 "Access token (16 to 128 letters, digits, '-', '_', '.', '~'); with --listen and "
                 "without it one is generated. Printed as part of the URL")
      ->option_text("TOKEN");
  app.add_option("--fft-size", options.view.fftSize,
                 "Points of each spectrum: a power of two from 1024 to 1048576 (default 65536)")
      ->transform(WholeRange<uint64_t>(kpx::analysis::kMinFftSize, kpx::analysis::kMaxFftSize))
      ->check([](const std::string& text) {
        return isValidFftSize(std::stoull(text)) ? std::string() : text + " is not a power of two";
      })
      ->option_text("N");
  app.add_option("--window", window, "blackman-harris (default), hann or rectangular")
      ->check(CLI::IsMember({"blackman-harris", "hann", "rectangular"}, CLI::ignore_case))
      ->option_text("NAME");
  kpx::tools::addAveragesOption(app, options.view.averaging, kMaxAveraging,
                                "Spectra in the average (default 8)", true);
  std::string triggerMode = "auto";
  app.add_option("--trigger-mode", triggerMode,
                 "auto (default): free running without a trigger; normal: only triggered "
                 "waveforms; single: one, held until re-armed")
      ->check(CLI::IsMember({"auto", "normal", "single"}))
      ->option_text("auto|normal|single");
  kpx::tools::TriggerOptions trigger;
  trigger.edge = options.view.triggerEdge;
  trigger.level = options.view.triggerLevel;
  trigger.hysteresis = options.view.triggerHysteresis;
  kpx::tools::addTriggerOptions(app, trigger, "");
  kpx::tools::addBoardOptions(app, options.board, kpx::tools::BoardTypes::kAdcOnly, "",
                              Acquisition::kMaxGroupBoards);
  std::string align = "none";
  kpx::tools::addAlignOption(app, align);
  app.add_option("--max-rate", options.maxSpectraPerSecond,
                 "Most spectra computed per second (default 30)")
      ->transform(RealRange(0.1, 1000))
      ->option_text("N");

  const auto outcome = kpx::tools::parse(app, argc, argv, "kpxadac-scope", kExitUsage, [] {});
  if (!outcome.proceed) {
    parsed.exit = true;
    parsed.exitCode = outcome.exitStatus;
    return parsed;
  }
  auto fail = [&](const std::string& text) {
    std::cerr << "kpxadac-scope: " << text << "\n";
    parsed.exit = true;
    parsed.exitCode = kExitUsage;
    return parsed;
  };
  if (auto error = kpx::tools::readAlign(align, options.align.choice, options.align.offsets);
      !error.empty())
    return fail(error);
  if (auto error = kpx::tools::alignProblem(options.align.choice, options.align.offsets,
                                            options.board.indexes.size());
      !error.empty())
    return fail(error);
  for (size_t b = 1; b < options.board.indexes.size(); ++b)
    for (size_t other = 0; other < b; ++other)
      if (options.board.indexes[b] == options.board.indexes[other])
        return fail("--index names board " + std::to_string(options.board.indexes[b]) +
                    " twice: a group's boards are all different");
  if (!listen.empty()) {
    if (const auto error = parseListen(listen, options.address, options.port); !error.empty())
      return fail(error);
    options.listenGiven = true;
  }
  if (!options.token.empty()) {
    if (const auto error = tokenProblem(options.token); !error.empty())
      return fail("--token: " + error);
  } else if (options.listenGiven) {
    options.token = generateToken();
    options.tokenGenerated = true;
  }
  options.view.window = *kpx::analysis::parseWindow(CLI::detail::to_lower(window));
  // Checked by IsMember above, so the change is always accepted.
  applySettingsChange({{"trigger_mode", triggerMode}}, 1, options.view);
  options.view.triggerEdge = trigger.edge;
  options.view.triggerLevel = trigger.level;
  options.view.triggerHysteresis = trigger.hysteresis;
  options.view.board = options.board.index;
  return parsed;
}

}  // namespace scope
