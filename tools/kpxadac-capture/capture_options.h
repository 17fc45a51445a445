// Command-line options of kpxadac-capture and the exit statuses it ends with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board_options.h"
#include "records_options.h"
#include "shared_options.h"

namespace capture {

// Exit statuses; scripts test them, so the values never change.
enum ExitStatus : int {
  kExitClean = 0,     // capture complete (or stopped by a signal), no sample lost
  kExitUsage = 1,     // bad options: nothing was captured
  kExitFailure = 2,   // board, bitstream, clock, read or output failure
  kExitDataLost = 3,  // capture complete, but overruns lost samples (or records)
  // Writing the output failed (a full disk, say): the capture stopped; what
  // was written is kept in whole samples and, for SigMF, described.
  kExitWriteFailed = 4,
};

enum class OutputFormat { kRaw, kSigmf };

// --align: how the boards of a group are put on one sample index.
using AlignChoice = kpx::tools::AlignChoice;

// The samples per board that --align measure correlates unless
// --align-window gives another count.
inline constexpr uint64_t kDefaultAlignWindow = 65536;

inline constexpr uint32_t kDefaultChunkBytes = 4u << 20;
// The ring holds this many seconds of samples at the stream's rate unless
// --ring gives a count: enough to ride out the pauses of a busy disk.
inline constexpr double kDefaultRingSeconds = 1.0;
inline constexpr unsigned kMaxRingBuffers = 4096;
// --ring-seconds takes 0.001 to 3600 s; the ring holds at most 1 GiB
// whatever the seconds, the rate or --ring ask for (it is allocated and
// locked in memory before the capture starts).
inline constexpr double kMinRingSeconds = 0.001;
inline constexpr double kMaxRingSeconds = 3600;
inline constexpr uint64_t kMaxRingBytes = uint64_t{1} << 30;
// The most samples one capture counts (the library's stream limit); a
// --duration whose count at the sample rate is larger is refused.
inline constexpr uint64_t kMaxSamples = UINT64_MAX / 4;
// --writer-delay-ms (a testing aid) takes up to a minute per block.
inline constexpr unsigned kMaxWriterDelayMs = 60000;

struct Options {
  kpx::tools::BoardOptions board;
  std::optional<uint64_t> samples;
  std::optional<double> durationSeconds;
  uint32_t chunkBytes = kDefaultChunkBytes;
  std::string output;  // "-" is standard output
  OutputFormat format = OutputFormat::kRaw;
  std::string bitstream;                // empty: no bitstream is loaded
  std::optional<unsigned> ringBuffers;  // empty: ringSeconds of samples
  double ringSeconds = kDefaultRingSeconds;
  bool unbuffered = true;       // write past the page cache where the file system allows it
  bool realtimeReading = true;  // the stream's thread asks for real-time priority
  unsigned writerDelayMs = 0;   // testing aid: the writer sleeps this long after each block
  RecordsOptions records;       // --trigger and its options: records instead of the stream
  AlignChoice align = AlignChoice::kNone;  // a group's alignment (--index N,M,...)
  std::vector<double> givenOffsets;        // --align offsets:..., one per board
  uint64_t alignWindow = kDefaultAlignWindow;

  // Whether --index names several boards: a group capture.
  bool group() const { return board.indexes.size() > 1; }

  bool toStandardOutput() const { return output == "-"; }
};

struct ParsedCommandLine {
  std::optional<Options> options;  // empty: end at once with `exitStatus`
  int exitStatus = kExitClean;
};

// Parses the command line. Help and errors are printed here (help on standard
// output, errors on standard error).
ParsedCommandLine parseCommandLine(int argc, char** argv);

}  // namespace capture
