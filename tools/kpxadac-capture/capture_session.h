// One capture: the library's stream reads the board's channel into its ring
// of blocks, a writer thread moves the blocks to the output file, and the
// calling thread shows the progress and waits for the writer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "kpxadac_stream.h"
#include "output_file.h"
#include "sample_statistics.h"
#include "sigmf_metadata.h"

namespace capture {

using kpx::tools::Console;

// Writes the recording's metadata for the first `samples` samples of the
// file and the gaps so far; returns "" or the reason it failed.
using MetadataKeeper =
    std::function<std::string(uint64_t samples, const std::vector<OverrunEvent>& gaps)>;

// How often a running capture's metadata is rewritten at the least.
inline constexpr auto kMetadataInterval = std::chrono::seconds(2);

struct CaptureSettings {
  KpxStream* stream = nullptr;          // started, with the sample limit
  std::optional<uint64_t> sampleLimit;  // empty: until stopped
  unsigned writerDelayMs = 0;
  bool computeSha512 = false;
  std::chrono::system_clock::time_point startTime;  // when the capture started
  // Called while the capture runs, from the calling thread, after the data
  // it describes is flushed to the disk: at least every kMetadataInterval
  // and after every gap. A failure ends the capture as a write failure.
  MetadataKeeper keepMetadata;
};

struct CaptureResult {
  std::chrono::system_clock::time_point startTime;
  double seconds = 0;  // from the first read until the data is on the disk
  uint64_t bytesWritten = 0;
  SampleStatistics statistics;
  std::vector<OverrunEvent> overruns;
  uint64_t lostSamples = 0;
  std::string readFailure;   // "" when every read succeeded
  std::string writeFailure;  // "" when every byte reached the file (and the metadata)
  std::string sha512;        // hexadecimal, when asked for
  bool stopped = false;      // ended by `stop` before the sample limit

  uint64_t samplesWritten() const { return bytesWritten / 2; }
};

// Runs the capture on a started stream until the sample limit, a read or
// write failure, or `stop` (which a signal handler may set) ends it.
CaptureResult runCapture(const CaptureSettings& settings, OutputFile& file,
                         const std::atomic<bool>& stop, Console& console);

}  // namespace capture
