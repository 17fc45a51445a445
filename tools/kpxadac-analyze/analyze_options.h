// Command-line options of kpxadac-analyze and the exit statuses it ends with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "board_options.h"
#include "kpxadac/analysis.h"

namespace analyze {

enum ExitStatus : int {
  kExitClean = 0,    // measured
  kExitUsage = 1,    // bad options: nothing was measured
  kExitFailure = 2,  // unreadable recording, too few samples, board or stream failure
};

inline constexpr size_t kDefaultFftSize = 65536;
inline constexpr size_t kDefaultAverages = 8;
inline constexpr size_t kMaxAverages = size_t{1} << 20;
// The most samples taken from a board: 512 MiB in memory, 2.6 s at 105 MHz.
inline constexpr uint64_t kMaxBoardSamples = uint64_t{1} << 28;

struct Options {
  std::string input;                // a recording; empty: samples from a board
  std::optional<uint64_t> samples;  // from a board; default fftSize * averages
  kpx::tools::BoardOptions board;
  size_t fftSize = kDefaultFftSize;
  kpx::analysis::Window window = kpx::analysis::Window::kBlackmanHarris4;
  size_t averages = kDefaultAverages;
  bool json = false;
};

struct ParsedCommandLine {
  std::optional<Options> options;  // empty: end at once with `exitStatus`
  int exitStatus = kExitClean;
};

// Parses the command line; help goes to standard output, errors to
// standard error.
ParsedCommandLine parseCommandLine(int argc, char** argv);

}  // namespace analyze
