// Command-line options of kpxadac-response and the exit statuses it ends with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kpxadac/response.h"

namespace response {

enum ExitStatus : int {
  kExitClean = 0,    // measured, everything written
  kExitUsage = 1,    // bad options or a bad reference file: nothing was measured
  kExitFailure = 2,  // a board, stream or measurement failure, or an output not written
};

struct Options {
  unsigned dac = 0, adc = 0;  // among the DAC boards, among the ADC boards
  KpxResponseRequest request{};
  uint32_t maxLatency = 0;  // 0: the library's default
  std::string reference, saveReference, output, plot;
  bool json = false;
};

struct ParsedCommandLine {
  std::optional<Options> options;  // empty: end at once with `exitStatus`
  int exitStatus = kExitClean;
};

// Parses the command line; help goes to standard output, errors to
// standard error.
ParsedCommandLine parseCommandLine(int argc, char** argv);

}  // namespace response
