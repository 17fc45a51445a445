// kpxadac-capture: captures samples from a KPX-ADAC board's streaming channel
// to a raw file, standard output or a SigMF recording, with overruns
// detected and recorded. Uses only the public library API. See
// docs/capture.md.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>

#include "board_setup.h"
#include "capture_options.h"
#include "capture_session.h"
#include "console.h"
#include "group_capture.h"
#include "kpxadac16.h"
#include "kpxadac_board.h"
#include "metadata_file.h"
#include "output_file.h"
#include "output_names.h"
#include "records_session.h"
#include "run_steps.h"
#include "sigmf_metadata.h"
#include "stream_priority.h"
#include "tool_platform.h"

namespace {

using namespace capture;

// Set by Ctrl+C: the capture ends after the current block.
std::atomic<bool> stopRequested{false};

void printSummary(Console& console, const CaptureResult& result) {
  char line[200];
  const double rate =
      result.seconds > 0 ? static_cast<double>(result.bytesWritten) / result.seconds : 0;
  std::snprintf(line, sizeof line, "%" PRIu64 " samples (%" PRIu64 " bytes) in %.3f s, %.1f MB/s",
                result.samplesWritten(), result.bytesWritten, result.seconds, rate / 1e6);
  console.message(line);
  std::snprintf(line, sizeof line, "overruns: %zu (%" PRIu64 " samples lost)",
                result.overruns.size(), result.lostSamples);
  console.message(line);
  const auto& s = result.statistics;
  if (s.count() == 0) return;
  std::snprintf(line, sizeof line, "samples: min %d, max %d, mean %.3f, rms %.3f", s.min(), s.max(),
                s.mean(), s.rms());
  console.message(line);
}

// Ends a records capture: the metadata, the summary, the exit status.
int finishRecords(Console& console, OutputFile& file, RecordsResult& result, const Options& options,
                  MetadataFile& metadata, RecordingDescription recording) {
  if (auto reason = file.close(); !reason.empty() && result.writeFailure.empty())
    result.writeFailure = reason;
  if (result.stopped) console.message("stopped by signal");
  if (!result.readFailure.empty()) console.message(result.readFailure);
  if (!result.writeFailure.empty()) console.message(result.writeFailure);
  std::string metadataFailure;
  if (options.format == OutputFormat::kSigmf) {
    if (!result.writeFailure.empty()) {
      recording.state = kStateWriteFailed;
    } else {
      recording.state = result.readFailure.empty() ? kStateComplete : kStateReadFailed;
      recording.sha512 = result.sha512;
    }
    metadataFailure =
        writeFinalMetadata(console, metadata, recordsMetadataText(recording, result.records));
  }
  const auto& c = result.records.counts;
  char line[240];
  std::snprintf(
      line, sizeof line,
      "%zu records of %" PRId64 " samples (%" PRIu64 " bytes) in %.3f s, %" PRIu64 " triggers",
      result.records.records.size(), options.records.config.pre + options.records.config.post,
      result.bytesWritten, result.seconds, c.triggersSeen);
  console.message(line);
  std::snprintf(line, sizeof line,
                "records lost: %" PRIu64 " (%" PRIu64 " to gaps, %" PRIu64 " skipped, %" PRIu64
                " cut at the end); stream samples lost: %" PRIu64,
                result.recordsLost(), c.lostToGaps, c.skippedSlow, c.cutAtEnd,
                result.records.streamLostSamples);
  console.message(line);
  if (!result.readFailure.empty()) return kExitFailure;
  if (!result.writeFailure.empty() || !metadataFailure.empty()) return kExitWriteFailed;
  return result.recordsLost() || result.records.streamLostSamples ? kExitDataLost : kExitClean;
}

int run(const Options& options) {
  Console console("kpxadac-capture", kpx::tools::standardErrorIsConsole());
  const bool sigmf = options.format == OutputFormat::kSigmf;
  OutputNames names;
  if (auto reason = planOutput(options.output, sigmf, names); !reason.empty()) {
    console.message(reason);
    return kExitUsage;
  }
  OutputFile file;
  // The samples get standard output to themselves: the library's own lines
  // go to standard error instead.
  if (options.toStandardOutput()) file.adopt(kpx::tools::takeStandardOutput(), "standard output");

  KpxStream* stream = nullptr;
  // A run that fails closes its stream, so that the board is left idle.
  auto fail = [&console, &stream](const std::string& reason) {
    if (stream) KpxStream_Close(stream);
    stream = nullptr;
    console.message(reason);
    return kExitFailure;
  };

  BoardChoice board;
  if (auto reason = findBoard(options, board); !reason.empty()) return fail(reason);
  if (!options.bitstream.empty()) {
    if (auto reason = loadBitstream(board, options.bitstream); !reason.empty()) return fail(reason);
    console.message("bitstream " + options.bitstream + " loaded");
  }
  bool synthesizer = false;
  // A duration must count at the fastest rate the stream may take: the
  // rate given, or the faster clock.
  const double expectedRate = ringRateHz(options, board);
  if (options.durationSeconds && !durationFits(*options.durationSeconds, expectedRate)) {
    console.message("--duration " + kpx::tools::numberText(*options.durationSeconds) + " s at " +
                    kpx::tools::numberText(expectedRate) +
                    " samples/s is more samples than a capture counts (" +
                    std::to_string(kMaxSamples) + ")");
    Kpxadac16_CloseAll();
    return kExitUsage;
  }
  const RingSize ring = ringForSeconds(options, expectedRate);
  if (auto reason = openStream(board, options, ring, stream, synthesizer); !reason.empty())
    return fail(reason);
  if (!options.ringBuffers && ring.cutToMemoryLimit)
    console.message("the ring holds " + std::to_string(ring.blocks) + " blocks (" +
                    std::to_string(uint64_t{ring.blocks} * options.chunkBytes) +
                    " bytes): less than --ring-seconds asks for at this rate, as the ring holds "
                    "at most " +
                    std::to_string(kMaxRingBytes) + " bytes (1 GiB)");
  const double sampleRate = kpx::tools::streamRate(options.board, stream);

  CaptureSettings settings;
  settings.stream = stream;
  settings.writerDelayMs = options.writerDelayMs;
  settings.computeSha512 = sigmf;
  if (options.samples) {
    settings.sampleLimit = *options.samples;
  } else if (options.durationSeconds) {
    // The count follows the clock the stream chose when it opened, no
    // faster than the rate checked above.
    settings.sampleLimit = durationFits(*options.durationSeconds, sampleRate)
                               ? kpx::tools::samplesInDuration(*options.durationSeconds, sampleRate)
                               : kMaxSamples;
  }
  if (const int32_t result = KpxStream_SetSampleLimit(stream, settings.sampleLimit.value_or(0));
      result != KPXSTREAM_OK)
    return fail(std::string("sample count refused: ") + KpxStream_ResultText(result));

  // A new file is written under a temporary name and takes its name only
  // once the board reads: a run that ends before leaves an old file whole.
  const bool renameData = !options.toStandardOutput() && !names.dataInPlace;
  if (!options.toStandardOutput())
    if (auto reason = file.create(renameData ? names.dataTemporary() : names.data,
                                  options.unbuffered, renameData);
        !reason.empty())
      return fail(reason);

  // The metadata is on the disk from the start and kept current while the
  // capture runs, so that a crash leaves a recording that readers take.
  MetadataFile metadata(names.metadata);
  auto abandonFiles = [&] {
    if (renameData) file.discard();
    if (sigmf) metadata.discard();
  };
  RecordingDescription recording;
  recording.sampleRateHz = sampleRate;
  recording.hardware = hardwareText(board);
  // The clock's name is the library's; the synthesizer's is told with its setting.
  KpxClockPlan clockPlan{};
  KpxBoard_ClockPlan(board.handle,
                     synthesizer ? KPXSTREAM_SETUP_SYNTHESIZER : KPXSTREAM_SETUP_FIXED_CLOCK,
                     &clockPlan);
  recording.description =
      std::string("sample clock: ") + clockPlan.name +
      (synthesizer ? ", " + kpx::tools::megahertz(clockPlan.rateHz) + " MHz setting" : "");
  settings.startTime = std::chrono::system_clock::now();
  recording.startTime = settings.startTime;
  RecordsMetadataKeeper keepRecords;
  if (options.records.enabled)
    recording.description = "triggered records; " + recording.description;
  if (sigmf) {
    RecordsDescription noRecords;
    noRecords.config = options.records.config;
    const std::string text = options.records.enabled ? recordsMetadataText(recording, noRecords)
                                                     : metadataText(recording);
    if (auto failure = metadata.prepare(text, withRoom(text)); !failure.empty()) {
      abandonFiles();
      return fail(failure);
    }
    settings.keepMetadata = [&](uint64_t samples, const std::vector<OverrunEvent>& gaps) {
      RecordingDescription now = recording;
      now.samples = samples;
      now.overruns = gaps;
      return keepCurrent(metadata, metadataText(now));
    };
    keepRecords = [&](const RecordsDescription& written) {
      return keepCurrent(metadata, recordsMetadataText(recording, written));
    };
  }

  if (auto reason = startStream(stream); !reason.empty()) {
    abandonFiles();
    return fail(reason);
  }
  // The board reads: the new files take their names, the metadata first, so
  // that it never describes more than the data file beside it holds.
  std::string renameFailure;
  if (sigmf) renameFailure = metadata.commit();
  if (renameFailure.empty() && renameData) renameFailure = file.moveTo(names.data);
  if (!renameFailure.empty()) {
    abandonFiles();
    return fail(renameFailure);
  }
  {
    KpxStreamStatus status{};
    KpxStream_GetStatus(stream, &status);
    if (auto note = kpx::tools::streamPriorityNote(status); !note.empty()) console.message(note);
  }

  kpx::tools::installStopHandlers(stopRequested);
  if (options.records.enabled) {
    RecordsResult records = runRecords(stream, options.records.config, file, settings.computeSha512,
                                       stopRequested, console, keepRecords);
    const int status = finishRecords(console, file, records, options, metadata, recording);
    KpxStream_Close(stream);
    Kpxadac16_CloseAll();
    return status;
  }
  CaptureResult result = runCapture(settings, file, stopRequested, console);
  if (auto reason = file.close(); !reason.empty() && result.writeFailure.empty())
    result.writeFailure = reason;
  if (result.stopped) console.message("stopped by signal");
  if (!result.readFailure.empty()) console.message(result.readFailure);
  if (!result.writeFailure.empty()) console.message(result.writeFailure);

  bool metadataFailed = false;
  if (sigmf) {
    recording.samples = result.samplesWritten();
    recording.overruns = result.overruns;
    if (!result.writeFailure.empty()) {
      recording.state = kStateWriteFailed;  // no SHA-512 of a file that could not be written
    } else {
      recording.state = result.readFailure.empty() ? kStateComplete : kStateReadFailed;
      recording.sha512 = result.sha512;
    }
    metadataFailed = !writeFinalMetadata(console, metadata, metadataText(recording)).empty();
  }
  printSummary(console, result);
  KpxStream_Close(stream);
  Kpxadac16_CloseAll();

  if (!result.readFailure.empty()) return kExitFailure;
  if (!result.writeFailure.empty() || metadataFailed) return kExitWriteFailed;
  return result.lostSamples ? kExitDataLost : kExitClean;
}

}  // namespace

int main(int argc, char** argv) {
  ParsedCommandLine parsed = parseCommandLine(argc, argv);
  if (!parsed.options) return parsed.exitStatus;
  if (parsed.options->group()) return runGroupCapture(*parsed.options, stopRequested);
  return run(*parsed.options);
}
