// A capture of triggered records: the library's records engine takes the
// stream, and the calling thread writes each record to the file as it comes
// (back to back) while a progress line shows records per second and losses.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "console.h"
#include "kpxadac_records.h"
#include "output_file.h"
#include "records_metadata.h"
#include "sample_statistics.h"

namespace capture {

using kpx::tools::Console;

struct RecordsResult {
  std::chrono::system_clock::time_point startTime;
  double seconds = 0;
  uint64_t bytesWritten = 0;
  SampleStatistics statistics;
  RecordsDescription records;
  std::string readFailure;   // "" unless the stream ended on a failed read
  std::string writeFailure;  // "" when every byte reached the file
  std::string sha512;        // hexadecimal, when asked for
  bool stopped = false;      // ended by `stop`

  uint64_t recordsLost() const {
    const auto& c = records.counts;
    return c.lostToGaps + c.skippedSlow + c.cutAtEnd;
  }
};

// Writes the metadata of the records written so far (all on the disk);
// returns "" or the reason it failed.
using RecordsMetadataKeeper = std::function<std::string(const RecordsDescription& written)>;

// Runs the records engine on an opened (not yet started) stream until the
// record count, the stream's sample limit, a failure, or `stop` ends it.
// `keepMetadata`, when given, is called on a thread of its own after the
// file is flushed, while the records go on being written: every
// kMetadataInterval, or less often when the metadata has grown so long that
// rewriting it takes more than a tenth of the time. A failure ends the
// capture as a write failure.
RecordsResult runRecords(KpxStream* stream, const KpxRecordsConfig& config, OutputFile& file,
                         bool computeSha512, const std::atomic<bool>& stop, Console& console,
                         const RecordsMetadataKeeper& keepMetadata = {});

}  // namespace capture
