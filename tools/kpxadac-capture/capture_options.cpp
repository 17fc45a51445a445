#include "capture_options.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "kpxadac16.h"

namespace capture {

namespace {

// Refuses the combinations CLI11 cannot express by itself; returns the reason.
std::string checkCombination(const Options& options) {
  if (options.chunkBytes % 4 != 0) return "--chunk must be a multiple of 4 bytes";
  if (options.format == OutputFormat::kSigmf && options.toStandardOutput())
    return "--format sigmf needs a file base name, not '-'";
  if (options.output.empty()) return "--output must not be empty";
  return "";
}

}  // namespace

ParsedCommandLine parseCommandLine(int argc, char** argv) {
  CLI::App app{"Captures samples from a KPX-ADAC board's streaming channel to a file."};
  app.get_formatter()->column_width(30);
  Options options;
  std::string type = "adc";
  std::string format = "raw";
  std::string clock;

  app.add_option("--type", type, "Board type (default adc)")
      ->check(CLI::IsMember({"adc", "dac"}, CLI::ignore_case))
      ->option_text("adc|dac");
  app.add_option("--index", options.index, "Index of the board among those of its type (default 0)")
      ->check(CLI::Range(0, 255))
      ->option_text("N");
  auto* samples =
      app.add_option("--samples", options.samples, "Number of 16-bit samples to capture")
          ->check(CLI::Range(uint64_t{1}, UINT64_MAX / 4))
          ->option_text("N");
  auto* duration =
      app.add_option("--duration", options.durationSeconds,
                     "Seconds of signal to capture, at the sample rate. Without --samples or "
                     "--duration: until Ctrl+C")
          ->check(CLI::PositiveNumber)
          ->option_text("SECONDS");
  samples->excludes(duration);
  duration->excludes(samples);
  app.add_option("--chunk", options.chunkBytes,
                 "Bytes per board read and per ring buffer, a multiple of 4 (default 4194304)")
      ->check(CLI::Range(uint32_t{4}, uint32_t{TALVO_MAX_CHUNK}))
      ->option_text("BYTES");
  app.add_option("-o,--output", options.output,
                 "Output file, '-' for standard output; with sigmf the base name")
      ->required()
      ->option_text("PATH");
  app.add_option("--format", format,
                 "raw: the 16-bit samples as they come; sigmf: <base>.sigmf-data and "
                 "<base>.sigmf-meta (default raw)")
      ->check(CLI::IsMember({"raw", "sigmf"}, CLI::ignore_case))
      ->option_text("raw|sigmf");
  app.add_option("--clock", clock,
                 "fixed: the onboard fixed clock; synth: the synthesizer at 105 MHz (default: as "
                 "the board reports)")
      ->check(CLI::IsMember({"fixed", "synth"}, CLI::ignore_case))
      ->option_text("fixed|synth");
  app.add_option("--sample-rate", options.sampleRateHz,
                 "Sample rate to record and to time --duration by (default 100e6 on the fixed "
                 "clock, 105e6 on the synthesizer)")
      ->check(CLI::PositiveNumber)
      ->option_text("HZ");
  app.add_option("--bitstream", options.bitstream, "Xilinx .bit file to load into the FPGA first")
      ->option_text("FILE");
  app.add_option("--ring", options.ringBuffers,
                 "Buffers in the ring between the board and the file (default 64)")
      ->check(CLI::Range(2u, 4096u))
      ->option_text("N");
  // Testing aid, left out of the help: slows the writer so that the ring
  // fills and the board's FIFO overflows.
  app.add_option("--writer-delay-ms", options.writerDelayMs)->group("");

  ParsedCommandLine parsed;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return parsed;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "kpxadac-capture: %s\nRun with --help for the options.\n", e.what());
    parsed.exitStatus = kExitUsage;
    return parsed;
  }
  // IsMember has already matched the words, whatever their case.
  options.dacBoard = CLI::detail::to_lower(type) == "dac";
  options.format =
      CLI::detail::to_lower(format) == "sigmf" ? OutputFormat::kSigmf : OutputFormat::kRaw;
  if (!clock.empty())
    options.clock =
        CLI::detail::to_lower(clock) == "fixed" ? ClockChoice::kFixed : ClockChoice::kSynthesizer;
  if (std::string reason = checkCombination(options); !reason.empty()) {
    std::fprintf(stderr, "kpxadac-capture: %s\n", reason.c_str());
    parsed.exitStatus = kExitUsage;
    return parsed;
  }
  parsed.options = options;
  return parsed;
}

}  // namespace capture
