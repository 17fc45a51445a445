// One capture: a reader thread moves blocks from the board's streaming
// channel into a ring of buffers, a writer thread moves them to the output
// file, and the calling thread shows the progress and waits for both.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "kpxadac16.h"
#include "output_file.h"
#include "overrun_tracker.h"
#include "sample_statistics.h"

namespace capture {

struct CaptureSettings {
  BoardHandle board = KPXADAC_INVALID_HANDLE;
  uint32_t chunkBytes = 0;
  unsigned ringBuffers = 0;
  std::optional<uint64_t> sampleLimit;  // empty: until stopped
  unsigned writerDelayMs = 0;
  bool computeSha512 = false;
  uint32_t initialOverrunCount = 0;  // the receive overrun counter before the first read
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

// Runs the capture until the sample limit, a read or write failure, or
// `stop` (which a signal handler may set) ends it.
CaptureResult runCapture(const CaptureSettings& settings, OutputFile& file,
                         const std::atomic<bool>& stop, Console& console);

}  // namespace capture
