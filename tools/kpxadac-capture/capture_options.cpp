#include "capture_options.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "kpxadac16.h"
#include "kpxadac_group.h"
#include "shared_options.h"

namespace capture {

namespace {

// Refuses the combinations CLI11 cannot express by itself; returns the reason.
std::string checkCombination(const Options& options, bool direct, bool buffered) {
  // Checked here, not with CLI11's excludes(): its help would list the
  // hidden --direct as an empty name ("Excludes:").
  if (direct && buffered) return "--direct and --buffered exclude each other";
  if (options.ringBuffers && uint64_t{*options.ringBuffers} * options.chunkBytes > kMaxRingBytes)
    return "--ring " + std::to_string(*options.ringBuffers) + " blocks of " +
           std::to_string(options.chunkBytes) + " bytes make a ring of " +
           std::to_string(uint64_t{*options.ringBuffers} * options.chunkBytes) +
           " bytes; the ring holds at most " + std::to_string(kMaxRingBytes) + " bytes (1 GiB)";
  if (options.format == OutputFormat::kSigmf && options.toStandardOutput())
    return "--format sigmf needs a file base name, not '-'";
  if (options.output.empty()) return "--output must not be empty";
  const size_t boards = options.board.indexes.size();
  if (auto problem = kpx::tools::alignProblem(options.align, options.givenOffsets, boards);
      !problem.empty())
    return problem;
  if (options.group()) {
    if (options.toStandardOutput())
      return "--index names " + std::to_string(boards) +
             " boards: a group is written to one file per board, not to standard output";
  }
  return "";
}

}  // namespace

ParsedCommandLine parseCommandLine(int argc, char** argv) {
  CLI::App app{"Captures samples from a KPX-ADAC board's streaming channel to a file."};
  app.get_formatter()->column_width(30);
  Options options;
  std::string format = "raw";

  kpx::tools::addBoardOptions(app, options.board, kpx::tools::BoardTypes::kAdcTyped,
                              "to record and to time --duration by", KPXGROUP_MAX_BOARDS);
  std::string align = "none";
  kpx::tools::addAlignOption(app, align);
  app.add_option("--align-window", options.alignWindow,
                 "Samples per board that --align measure correlates (default " +
                     std::to_string(kDefaultAlignWindow) + ")")
      ->transform(kpx::tools::WholeRange<uint64_t>(KPXGROUP_MIN_WINDOW, KPXGROUP_MAX_WINDOW))
      ->option_text("N");
  auto* samples =
      app.add_option("--samples", options.samples, "Number of 16-bit samples to capture")
          ->transform(kpx::tools::WholeRange<uint64_t>(1, kMaxSamples))
          ->option_text("N");
  auto* duration =
      app.add_option("--duration", options.durationSeconds,
                     "Seconds of signal to capture, at the sample rate. Without --samples or "
                     "--duration: until Ctrl+C")
          ->transform(kpx::tools::PositiveReal(kpx::tools::kMaxDurationSeconds))
          ->option_text("SECONDS");
  samples->excludes(duration);
  duration->excludes(samples);
  uint64_t blockSamples = kDefaultChunkBytes / 2;
  kpx::tools::addBlockOption(app, blockSamples, kpx::tools::OldBlockSpelling::kChunkBytes,
                             "per board read and per ring buffer");
  app.add_option("-o,--output", options.output,
                 "Output file, '-' for standard output; with sigmf the base name")
      ->required()
      ->option_text("PATH");
  app.add_option("--format", format,
                 "raw: the 16-bit samples as they come; sigmf: <base>.sigmf-data and "
                 "<base>.sigmf-meta (default raw)")
      ->check(CLI::IsMember({"raw", "sigmf"}, CLI::ignore_case))
      ->option_text("raw|sigmf");
  app.add_option("--bitstream", options.bitstream, "Xilinx .bit file to load into the FPGA first")
      ->option_text("FILE");
  auto* ring = app.add_option("--ring", options.ringBuffers,
                              "Buffers in the ring between the board and the file, 2 to 4096 and "
                              "at most 1 GiB (default: --ring-seconds of samples)")
                   ->transform(kpx::tools::WholeRange<uint64_t>(2, kMaxRingBuffers))
                   ->option_text("N");
  app.add_option("--ring-seconds", options.ringSeconds,
                 "Seconds of samples at the stream's rate that the ring holds, 0.001 to "
                 "3600, the ring at most 1 GiB (default 1)")
      ->transform(kpx::tools::RealRange(kMinRingSeconds, kMaxRingSeconds))
      ->excludes(ring)
      ->option_text("SECONDS");
  bool buffered = false;
  app.add_flag("--buffered", buffered,
               "Write through the page cache; by default the file is written past it (O_DIRECT, "
               "FILE_FLAG_NO_BUFFERING) where the file system allows it");
  // The former opt-in to unbuffered writes, now the default; kept for scripts.
  bool direct = false;
  app.add_flag("--direct", direct)->group("");
  bool normalPriority = false;
  app.add_flag("--normal-priority", normalPriority,
               "Read the board at normal priority, with the ring's memory not locked (by default "
               "the reading thread asks for real-time priority)");
  // Testing aid, left out of the help: slows the writer so that the ring
  // fills and the board's FIFO overflows.
  app.add_option("--writer-delay-ms", options.writerDelayMs)
      ->transform(kpx::tools::WholeRange<uint64_t>(0, kMaxWriterDelayMs))
      ->group("");
  addRecordsOptions(app, options.records);

  ParsedCommandLine parsed;
  const auto outcome = kpx::tools::parse(app, argc, argv, "kpxadac-capture", kExitUsage, [] {});
  if (!outcome.proceed) {
    parsed.exitStatus = outcome.exitStatus;
    return parsed;
  }
  options.chunkBytes = static_cast<uint32_t>(blockSamples * 2);
  options.unbuffered = !buffered;
  options.realtimeReading = !normalPriority;
  // IsMember has already matched the words, whatever their case.
  options.format =
      CLI::detail::to_lower(format) == "sigmf" ? OutputFormat::kSigmf : OutputFormat::kRaw;
  std::string reason = kpx::tools::readAlign(align, options.align, options.givenOffsets);
  if (reason.empty()) reason = checkCombination(options, direct, buffered);
  if (reason.empty()) reason = finishRecordsOptions(app, options.records);
  if (reason.empty() && options.group() && options.records.enabled)
    reason = "triggered records are taken from one board: give one --index";
  if (!reason.empty()) {
    std::fprintf(stderr, "kpxadac-capture: %s\n", reason.c_str());
    parsed.exitStatus = kExitUsage;
    return parsed;
  }
  parsed.options = options;
  return parsed;
}

}  // namespace capture
