// kpxadac-generate: plays a waveform from the library's generator, or a
// recording, on a KPX-ADAC DAC board through the acquisition API's transmit
// stream, and reports every underrun as it happens. See docs/generate.md.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_options.h"
#include "console.h"
#include "generate_options.h"
#include "kpxadac16.h"
#include "kpxadac_board.h"
#include "kpxadac_group.h"
#include "kpxadac_stream.h"
#include "kpxadac_waveform.h"
#include "sample_input.h"
#include "shared_options.h"
#include "tool_platform.h"

namespace {

using namespace generate;
using Clock = std::chrono::steady_clock;

// Set by Ctrl+C: no further block is queued; queued blocks still play.
std::atomic<bool> stopRequested{false};

using kpx::tools::Console;

struct WaveDeleter {
  void operator()(KpxWave* wave) const { KpxWave_Destroy(wave); }
};

// What fills the blocks: the generator or the input file.
struct Source {
  std::unique_ptr<KpxWave, WaveDeleter> wave;
  SampleInput input;
  // Fills up to `maxBytes` (a multiple of 4); 0 at the input's end.
  size_t fill(uint8_t* out, size_t maxBytes, std::string& reason) {
    if (!wave) return input.read(out, maxBytes, reason);
    KpxWave_GenerateLittleEndian(wave.get(), out, maxBytes / 2);
    return maxBytes;
  }
};

struct Totals {
  uint64_t underrunEvents = 0;
  uint64_t samplesMissed = 0;
};

// Prints the underruns the stream has placed since the last call.
void reportUnderruns(KpxStream* stream, double rate, Console& console, Totals& totals) {
  KpxStreamGap gap{};
  while (KpxStream_TakeUnderrun(stream, &gap) == KPXSTREAM_OK) {
    ++totals.underrunEvents;
    totals.samplesMissed += gap.samples;
    char line[160];
    std::snprintf(line, sizeof line,
                  "underrun: %" PRIu64 " samples missed at sample %" PRIu64 " (%.6f s)",
                  gap.samples, gap.index, static_cast<double>(gap.index) / rate);
    console.message(line);
  }
}

std::string humanCount(double n) {
  char text[32];
  if (n >= 1e9)
    std::snprintf(text, sizeof text, "%.2f G", n / 1e9);
  else if (n >= 1e6)
    std::snprintf(text, sizeof text, "%.2f M", n / 1e6);
  else
    std::snprintf(text, sizeof text, "%.0f ", n);
  return text;
}

// The rate the DAC runs at: --sample-rate, else the rate the library
// gives for the board and the clock asked for (a DAC board's clock is not
// set up by the library: the one the board reports, by the library's rule).
double boardRate(const Options& options, BoardHandle board) {
  if (options.board.sampleRateHz) return *options.board.sampleRateHz;
  KpxClockPlan plan{};
  if (KpxBoard_ClockPlan(board, kpx::tools::streamSetup(options.board.clock), &plan) !=
      KPXSTREAM_OK)
    KpxBoard_ClockPlan(board, KPXSTREAM_SETUP_SYNTHESIZER, &plan);
  return plan.rateHz;
}

// The samples to play: --samples, --duration at `rate`, or 0 for no end;
// nothing (after saying why) when --duration holds more than can be counted.
std::optional<uint64_t> samplesToPlay(const Options& options, double rate, Console& console) {
  if (!options.durationSeconds) return options.samples.value_or(0);
  const uint64_t samples = kpx::tools::samplesInDuration(*options.durationSeconds, rate);
  if (samples == 0) {
    console.message("--duration " + kpx::tools::numberText(*options.durationSeconds) + " s at " +
                    kpx::tools::numberText(rate) + " Hz is more samples than can be counted");
    return std::nullopt;
  }
  return samples;
}

int run(const Options& options) {
  Console console("kpxadac-generate", kpx::tools::standardErrorIsConsole());
  Kpxadac16_Open();
  const auto index = static_cast<uint8_t>(options.board.index);
  const BoardHandle board = Kpxadac16_GetHandle(BOARD_TYPE_DAC, index);
  if (board == KPXADAC_INVALID_HANDLE) {
    console.message("no DAC board with index " + std::to_string(options.board.index));
    return kExitFailure;
  }
  const double rate = boardRate(options, board);

  Source source;
  if (options.fromFile()) {
    if (auto reason = source.input.open(options.input, options.loop); !reason.empty()) {
      console.message(reason);
      return kExitFailure;
    }
  } else {
    KpxWaveSettings settings;
    if (auto reason = waveSettings(options, rate, settings); !reason.empty()) {
      console.message(reason);
      return kExitUsage;
    }
    KpxWave* wave = nullptr;
    KpxWave_Create(&settings, &wave);
    source.wave.reset(wave);
  }

  const std::optional<uint64_t> limit = samplesToPlay(options, rate, console);
  if (!limit) return kExitUsage;
  const uint64_t sampleLimit = *limit;

  KpxStreamConfig config{};
  config.board = board;
  config.direction = KPXSTREAM_TRANSMIT;
  config.blockBytes = options.blockSamples * 2;
  config.blockCount = options.ringBlocks;
  config.setup = KPXSTREAM_SETUP_AUTO_CLOCK;  // the channel is reset at the start
  config.sampleLimit = sampleLimit;
  KpxStream* stream = nullptr;
  if (int32_t result = KpxStream_Open(&config, &stream); result != KPXSTREAM_OK) {
    console.message(std::string("cannot open the transmit stream: ") +
                    KpxStream_ResultText(result));
    return kExitFailure;
  }
  if (int32_t result = KpxStream_Start(stream); result != KPXSTREAM_OK) {
    console.message(std::string("cannot start the transmit stream: ") +
                    KpxStream_ResultText(result));
    KpxStream_Close(stream);
    return kExitFailure;
  }
  kpx::tools::installStopHandlers(stopRequested);

  const auto started = Clock::now();
  auto nextProgress = started;
  Totals totals;
  std::string inputFailure;
  uint64_t queued = 0;  // samples handed to the stream
  int32_t ending = KPXSTREAM_OK;
  const auto showProgress = [&](bool force) {
    const auto now = Clock::now();
    if (!force && now < nextProgress) return;
    nextProgress = now + std::chrono::milliseconds(250);
    KpxStreamStatus status{};
    KpxStream_GetStatus(stream, &status);
    const double seconds = std::chrono::duration<double>(now - started).count();
    char line[160];
    std::snprintf(line, sizeof line, "%.1f s  %ssamples  %.1f s of signal  underruns %" PRIu64,
                  seconds, humanCount(static_cast<double>(status.samplesMoved)).c_str(),
                  static_cast<double>(status.samplesMoved) / rate, totals.underrunEvents);
    console.progress(line);
  };

  // Fill and queue blocks until the end of the signal, a stop or a failure.
  while (!stopRequested) {
    KpxStreamBlock block{};
    const int32_t result = KpxStream_AcquireWrite(stream, &block, 100);
    reportUnderruns(stream, rate, console, totals);
    showProgress(false);
    if (result == KPXSTREAM_TIMEOUT) continue;
    if (result != KPXSTREAM_OK) {
      ending = result;
      break;
    }
    // Whole sample pairs; an odd last sample goes with one that the stream's
    // limit leaves unsent.
    size_t bytes = block.capacity;
    if (sampleLimit)
      bytes = static_cast<size_t>(std::min<uint64_t>(bytes, (sampleLimit - queued + 1) / 2 * 4));
    bytes = source.fill(static_cast<uint8_t*>(block.data), bytes, inputFailure);
    block.bytes = static_cast<uint32_t>(bytes);
    KpxStream_SubmitWrite(stream, &block);
    queued += bytes / 2;
    if (bytes == 0 || (sampleLimit && queued >= sampleLimit)) break;
  }
  // Let what is queued play out, then end.
  KpxStream_Stop(stream);
  KpxStreamStatus status{};
  for (;;) {
    KpxStream_GetStatus(stream, &status);
    reportUnderruns(stream, rate, console, totals);
    if (status.ended) break;
    showProgress(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  reportUnderruns(stream, rate, console, totals);
  showProgress(true);
  console.wipeProgress();
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

  if (stopRequested) console.message("stopped by signal");
  bool failed = false;
  if (!inputFailure.empty()) {
    console.message(inputFailure);
    failed = true;
  }
  if (status.endReason == KPXSTREAM_END_BOARD_FAILED || ending == KPXSTREAM_BOARD_FAILED) {
    const char* text = KpxBoard_ErrorText(status.boardError);
    console.message(std::string("board write failed: ") + (text ? text : "unknown error") +
                    " (error " + std::to_string(status.platformError) + ")");
    failed = true;
  }
  char line[200];
  std::snprintf(
      line, sizeof line, "%" PRIu64 " samples (%.3f s of signal at %.6g Hz) played in %.3f s",
      status.samplesMoved, static_cast<double>(status.samplesMoved) / rate, rate, seconds);
  console.message(line);
  // The stream's own counts: they include growths seen after the last place
  // was taken, which reportUnderruns has printed too.
  std::snprintf(line, sizeof line, "underruns: %" PRIu64 " (%" PRIu64 " samples missed)",
                status.underrunEvents, status.underrunSamples);
  console.message(line);
  KpxStream_Close(stream);
  Kpxadac16_CloseAll();
  if (failed) return kExitFailure;
  return status.underrunSamples ? kExitUnderrun : kExitClean;
}

// A transmit group (--index N,M,...): the library starts every board's
// stream as one; each board plays the waveform with its own --phase, and
// --delay holds boards back by whole samples (applied by the group as
// offsets: the later boards play zeros first). A file is played on every
// board alike.
int runGroup(const Options& options) {
  Console console("kpxadac-generate", kpx::tools::standardErrorIsConsole());
  Kpxadac16_Open();
  const size_t boards = options.board.indexes.size();
  const BoardHandle first =
      Kpxadac16_GetHandle(BOARD_TYPE_DAC, static_cast<uint8_t>(options.board.indexes[0]));
  if (first == KPXADAC_INVALID_HANDLE) {
    console.message("no DAC board with index " + std::to_string(options.board.indexes[0]));
    return kExitFailure;
  }
  const double rate = boardRate(options, first);

  std::vector<Source> sources(boards);
  if (options.fromFile()) {
    if (auto reason = sources[0].input.open(options.input, options.loop); !reason.empty()) {
      console.message(reason);
      return kExitFailure;
    }
  } else {
    for (size_t b = 0; b < boards; ++b) {
      Options one = options;
      one.phaseDeg = kpx::tools::perBoardValue(options.phasesDeg, b, 0.0);
      KpxWaveSettings settings;
      if (auto reason = waveSettings(one, rate, settings); !reason.empty()) {
        console.message(reason);
        return kExitUsage;
      }
      KpxWave* wave = nullptr;
      KpxWave_Create(&settings, &wave);
      sources[b].wave.reset(wave);
    }
  }
  const std::optional<uint64_t> limit = samplesToPlay(options, rate, console);
  if (!limit) return kExitUsage;
  const uint64_t sampleLimit = *limit;

  KpxGroupConfig config{};
  config.direction = KPXSTREAM_TRANSMIT;
  config.count = static_cast<uint32_t>(boards);
  for (size_t b = 0; b < boards; ++b)
    config.boards[b] = static_cast<int32_t>(options.board.indexes[b]);
  config.setup = KPXSTREAM_SETUP_AUTO_CLOCK;
  config.blockSamples = options.blockSamples;
  config.blockCount = options.ringBlocks;
  KpxGroupOpenInfo info{};
  info.position = -1;
  KpxGroup* group = nullptr;
  if (const int32_t result = KpxGroup_Open(&config, &group, &info); result != KPXGROUP_OK) {
    std::string reason = std::string("--index: ") + KpxGroup_ResultText(result);
    if (info.position >= 0 && static_cast<size_t>(info.position) < boards)
      reason += " (board " + std::to_string(options.board.indexes[info.position]) + ")";
    console.message(reason);
    Kpxadac16_CloseAll();
    return result == KPXGROUP_ERR_DUPLICATE || result == KPXGROUP_ERR_COUNT ||
                   result == KPXGROUP_ERR_BLOCK_SIZE
               ? kExitUsage
               : kExitFailure;
  }
  const auto fail = [&](const std::string& reason, int status) {
    console.message(reason);
    KpxGroup_Close(group);
    Kpxadac16_CloseAll();
    return status;
  };
  if (!options.delays.empty()) {
    // Board b's signal d_b samples later: offset d_0 - d_b against board 0.
    std::vector<double> offsets(boards);
    const double firstDelay = static_cast<double>(options.delays.front());
    for (size_t b = 0; b < boards; ++b)
      offsets[b] = firstDelay -
                   static_cast<double>(kpx::tools::perBoardValue(options.delays, b, uint64_t{0}));
    if (const int32_t result =
            KpxGroup_SetOffsets(group, offsets.data(), static_cast<uint32_t>(boards));
        result != KPXGROUP_OK)
      return fail(std::string("--delay: ") + KpxGroup_ResultText(result), kExitUsage);
  }
  if (const int32_t result = KpxGroup_Start(group); result != KPXGROUP_OK)
    return fail(std::string("the group did not start: ") + KpxGroup_ResultText(result),
                kExitFailure);
  kpx::tools::installStopHandlers(stopRequested);
  const auto started = Clock::now();
  std::string inputFailure;
  uint64_t queued = 0;
  int32_t ending = KPXGROUP_OK;
  KpxGroupBlock block{};
  while (!stopRequested) {
    const int32_t result = KpxGroup_AcquireWrite(group, &block, 100);
    if (result == KPXGROUP_TIMEOUT) continue;
    if (result != KPXGROUP_OK) {
      ending = result;
      break;
    }
    size_t bytes = size_t{block.samples} * 2;
    if (sampleLimit)
      bytes = static_cast<size_t>(std::min<uint64_t>(bytes, (sampleLimit - queued + 1) / 2 * 4));
    const size_t filled =
        sources[0].fill(reinterpret_cast<uint8_t*>(block.boards[0].samples), bytes, inputFailure);
    for (size_t b = 1; b < boards; ++b) {
      auto* out = reinterpret_cast<uint8_t*>(block.boards[b].samples);
      if (options.fromFile())
        std::copy_n(reinterpret_cast<const uint8_t*>(block.boards[0].samples), filled, out);
      else
        sources[b].fill(out, filled, inputFailure);
    }
    block.samples = static_cast<uint32_t>(filled / 2);
    if (filled == 0) break;
    if (const int32_t submitted = KpxGroup_SubmitWrite(group, &block); submitted != KPXGROUP_OK) {
      ending = submitted;
      break;
    }
    queued += filled / 2;
    if (sampleLimit && queued >= sampleLimit) break;
  }
  KpxGroup_Stop(group);
  KpxGroupStatus status{};
  for (;;) {
    KpxGroup_GetStatus(group, &status);
    if (status.ended || !status.running) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (stopRequested) console.message("stopped by signal");
  bool failed = !inputFailure.empty() || ending == KPXGROUP_BOARD_FAILED ||
                status.endResult == KPXGROUP_BOARD_FAILED;
  if (!inputFailure.empty()) console.message(inputFailure);
  if (ending < 0)
    console.message(std::string("group write refused: ") + KpxGroup_ResultText(ending));
  if (status.endResult == KPXGROUP_BOARD_FAILED && status.failedBoard >= 0 &&
      static_cast<size_t>(status.failedBoard) < boards)
    console.message("board write failed on board " +
                    std::to_string(options.board.indexes[status.failedBoard]));
  char line[200];
  std::snprintf(line, sizeof line,
                "%zu boards, %" PRIu64
                " samples each (%.3f s of signal at %.6g Hz) queued in %.3f s; start skew %" PRIu64
                " samples at most",
                boards, queued, static_cast<double>(queued) / rate, rate, seconds,
                status.startSkewSamples);
  console.message(line);
  uint64_t missed = 0;
  for (size_t b = 0; b < boards; ++b) {
    missed += status.lostSamples[b];
    std::snprintf(line, sizeof line, "board %u: %" PRIi64 " samples of delay, %" PRIu64 " missed",
                  options.board.indexes[b], status.skips[b], status.lostSamples[b]);
    console.message(line);
  }
  KpxGroup_Close(group);
  Kpxadac16_CloseAll();
  if (failed || ending < 0) return kExitFailure;
  return missed ? kExitUnderrun : kExitClean;
}

}  // namespace

int main(int argc, char** argv) {
  ParsedCommandLine parsed = parseCommandLine(argc, argv);
  if (!parsed.options) return parsed.exitStatus;
  const int status = parsed.options->group() ? runGroup(*parsed.options) : run(*parsed.options);
  // The library's failure lines go to standard output.
  if (!kpx::tools::standardOutputWritten("kpxadac-generate") && status == kExitClean)
    return kExitFailure;
  return status;
}
