#include "analyze_options.h"

#include <CLI/CLI.hpp>
#include <bit>
#include <cstdio>

#include "shared_options.h"

namespace analyze {

ParsedCommandLine parseCommandLine(int argc, char** argv) {
  CLI::App app{
      "Measures the spectrum and the dynamic figures (SNR, SINAD, THD, SFDR, ENOB) of a "
      "recording, or of samples taken from a KPX-ADAC board when no recording is given."};
  app.get_formatter()->column_width(30);
  Options options;
  std::string window = "blackman-harris";

  app.add_option("recording", options.input,
                 "SigMF recording (base name, .sigmf-meta or .sigmf-data), or raw 16-bit "
                 "little-endian samples with --rate")
      ->option_text("PATH");
  app.add_option("--samples", options.samples,
                 "Samples to take from the board (default fft-size x averages)")
      ->transform(kpx::tools::WholeRange<uint64_t>(1, kMaxBoardSamples))
      ->option_text("N");
  kpx::tools::addBoardOptions(
      app, options.board, kpx::tools::BoardTypes::kAdcTyped,
      "in Hz: needed for a raw file; overrides a SigMF recording's and the board's");
  app.add_option("--fft-size", options.fftSize,
                 "Points per spectrum, a power of two from 1024 to 1048576 (default 65536)")
      ->transform(
          kpx::tools::WholeRange<uint64_t>(kpx::analysis::kMinFftSize, kpx::analysis::kMaxFftSize))
      ->option_text("N");
  app.add_option("--window", window,
                 "blackman-harris (4 terms), hann, or rectangular for coherent captures (default "
                 "blackman-harris)")
      ->check(CLI::IsMember({"blackman-harris", "hann", "rectangular"}, CLI::ignore_case))
      ->option_text("NAME");
  kpx::tools::addAveragesOption(
      app, options.averages, kMaxAverages,
      "Spectra to average, over consecutive stretches of fft-size samples that no gap "
      "interrupts (default 8; fewer when the samples hold fewer)",
      false);
  app.add_flag("--json", options.json, "Print the figures as one JSON object");

  ParsedCommandLine parsed;
  const auto outcome =
      kpx::tools::parse(app, argc, argv, "kpxadac-analyze", kExitUsage, [&options] {
        if (!std::has_single_bit(options.fftSize))
          throw CLI::ValidationError("--fft-size", "must be a power of two");
        if (!options.input.empty() && options.samples)
          throw CLI::ValidationError("--samples", "is for a board; a recording is given");
        // From a board, the samples are held in memory: fft-size x averages
        // of them unless --samples says otherwise.
        if (options.input.empty() && !options.samples &&
            options.fftSize * options.averages > kMaxBoardSamples)
          throw CLI::ValidationError(
              "--averages", std::to_string(options.averages) + " spectra of " +
                                std::to_string(options.fftSize) + " points are " +
                                std::to_string(options.fftSize * options.averages) +
                                " samples, more than the " + std::to_string(kMaxBoardSamples) +
                                " taken from a board at most (lower --averages or --fft-size)");
      });
  if (!outcome.proceed) {
    parsed.exitStatus = outcome.exitStatus;
    return parsed;
  }
  options.window = *kpx::analysis::parseWindow(CLI::detail::to_lower(window));
  parsed.options = options;
  return parsed;
}

}  // namespace analyze
