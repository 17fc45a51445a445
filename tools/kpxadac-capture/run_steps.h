// Steps that a capture of one board and a group capture share: the rate a
// ring is sized by, the hardware text of the metadata, and the metadata's
// rewrites with room kept for the last one.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>

#include "board_setup.h"
#include "capture_options.h"
#include "console.h"
#include "kpxadac_board.h"
#include "metadata_file.h"

namespace capture {

using kpx::tools::Console;

// Whether `seconds` at `rateHz` is a sample count the stream keeps (at
// most kMaxSamples). --duration's range keeps it so at every rate
// --sample-rate takes; a clock the library gives is checked here too.
inline bool durationFits(double seconds, double rateHz) {
  const uint64_t samples = kpx::tools::samplesInDuration(seconds, rateHz);
  return samples > 0 && samples <= kMaxSamples;
}

// The rate to size the ring by before the stream sets the clock up: the
// rate given, else the rate of the clock the library says the set-up will
// use, or the faster of the two clocks should the library not tell.
inline double ringRateHz(const Options& options, const BoardChoice& board) {
  if (options.board.sampleRateHz) return *options.board.sampleRateHz;
  KpxClockPlan plan{};
  if (KpxBoard_ClockPlan(board.handle, kpx::tools::streamSetup(options.board.clock), &plan) ==
      KPXSTREAM_OK)
    return plan.rateHz;
  return std::max(KpxBoard_FixedClockRateHz(board.handle), KpxBoard_SynthesizerRateHz());
}

inline std::string hardwareText(const BoardChoice& board) {
  const char* part = KpxBoard_ExpectedPart(board.boardId);
  char text[160];
  std::snprintf(text, sizeof text, "KPX-ADAC %s board %u, board ID 0x%02X, FPGA part %s",
                board.typeName, board.index, static_cast<unsigned>(board.boardId & 0xFF),
                part ? part : "unknown");
  return text;
}

// Room kept after each running capture's metadata, so that the metadata of
// a capture that fills the disk still fits where the last one was.
inline constexpr size_t kMetadataRoomBytes = 64 * 1024;

// The padded size of a running capture's metadata: room for the last.
inline size_t withRoom(const std::string& text) {
  return text.size() * 2 + kMetadataRoomBytes;
}

// Replaces the metadata of a running capture, keeping room for the last.
inline std::string keepCurrent(MetadataFile& metadata, const std::string& text) {
  return metadata.replace(text, withRoom(text)).failure;
}

// Writes the last metadata of a capture; returns "" or why it failed.
inline std::string writeFinalMetadata(Console& console, MetadataFile& metadata,
                                      const std::string& text) {
  const auto outcome = metadata.replace(text, 0);
  if (!outcome.failure.empty()) {
    console.message(outcome.failure);
    if (outcome.written) console.message("the metadata was written into the room kept for it");
  }
  return outcome.failure;
}

}  // namespace capture
