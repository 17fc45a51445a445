// Command-line options of kpxadac-generate and the exit statuses it ends with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board_options.h"
#include "kpxadac_waveform.h"

namespace generate {

// Exit statuses; scripts test them, so the values never change.
enum ExitStatus : int {
  kExitClean = 0,     // played to the end (or stopped by a signal), no sample missed
  kExitUsage = 1,     // bad options or settings: nothing was played
  kExitFailure = 2,   // board, input or write failure
  kExitUnderrun = 3,  // played, but the board missed samples (underruns)
};

inline constexpr uint32_t kDefaultBlockSamples = 1u << 18;  // 512 KiB blocks
inline constexpr unsigned kDefaultRingBlocks = 16;

struct Options {
  kpx::tools::BoardOptions board;
  std::string wave = "tone";
  // What the command line gave for the waveform, as given; applied to the
  // generator's settings once the rate is known (waveSettings).
  std::vector<double> frequenciesHz;
  std::optional<double> amplitudeDbfs;  // default: the generator's
  double phaseDeg = 0;                  // the first of phasesDeg
  std::vector<double> phasesDeg;        // --phase, one for all boards or one per board
  std::vector<uint64_t> delays;         // --delay, samples, one for all or one per board
  std::optional<double> startHz, stopHz;
  double sweepTimeS = 1e-3;
  double duty = 0.5;
  uint64_t width = 100;
  std::string period = "1000";  // N, or MIN:MAX for random intervals
  int32_t baseline = 0;
  double noiseLsb = 0;
  uint64_t seed = 1;
  std::string input;  // --wave file: a SigMF recording, a raw file or "-"
  bool loop = false;
  std::optional<uint64_t> samples;
  std::optional<double> durationSeconds;
  uint32_t blockSamples = kDefaultBlockSamples;
  unsigned ringBlocks = kDefaultRingBlocks;

  bool fromFile() const { return wave == "file"; }
  // Whether --index names several boards: a transmit group.
  bool group() const { return board.indexes.size() > 1; }
};

struct ParsedCommandLine {
  std::optional<Options> options;  // empty: end at once with `exitStatus`
  int exitStatus = kExitClean;
};

// Parses the command line. Help and errors are printed here (help on standard
// output, errors on standard error).
ParsedCommandLine parseCommandLine(int argc, char** argv);

// The generator's settings for the options at `sampleRateHz`, or the reason
// they cannot be played (checked with the generator itself).
std::string waveSettings(const Options& options, double sampleRateHz, KpxWaveSettings& settings);

}  // namespace generate
