// One capture: the library's stream reads the board's channel into its ring
// of blocks, a writer thread moves the blocks to the output file, and the
// calling thread shows the progress and waits for the writer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "kpxadac_stream.h"
#include "output_file.h"
#include "sample_statistics.h"
#include "sigmf_metadata.h"

namespace capture {

struct CaptureSettings {
  KpxStream* stream = nullptr;          // started, with the sample limit
  std::optional<uint64_t> sampleLimit;  // empty: until stopped
  unsigned writerDelayMs = 0;
  bool computeSha512 = false;
};

struct CaptureResult {
  std::chrono::system_clock::time_point startTime;
  double seconds = 0;  // from the first read until the data is on the disk
  uint64_t bytesWritten = 0;
  SampleStatistics statistics;
  std::vector<OverrunEvent> overruns;
  uint64_t lostSamples = 0;
  std::string readFailure;   // "" when every read succeeded
  std::string writeFailure;  // "" when every byte reached the file
  std::string sha512;        // hexadecimal, when asked for
  bool stopped = false;      // ended by `stop` before the sample limit

  uint64_t samplesWritten() const { return bytesWritten / 2; }
};

// Runs the capture on a started stream until the sample limit, a read or
// write failure, or `stop` (which a signal handler may set) ends it.
CaptureResult runCapture(const CaptureSettings& settings, OutputFile& file,
                         const std::atomic<bool>& stop, Console& console);

}  // namespace capture
