#include "generate_options.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "kpxadac_group.h"
#include "shared_options.h"

namespace generate {
namespace {

using kpx::tools::kMaxDurationSeconds;
using kpx::tools::kMaxSampleRateHz;
using kpx::tools::PositiveReal;
using kpx::tools::RealRange;
using kpx::tools::WholeRange;

constexpr uint64_t kMaxSamples = UINT64_MAX / 4;
// Amplitudes below this are no signal at 16 bits (or any resolution).
constexpr double kMinAmplitudeDbfs = -300;
// A starting phase of many turns is a mistake, and loses precision.
constexpr double kMaxPhaseDeg = 1e6;
// A delay is applied by the group as an offset; beyond 2^40 samples (hours
// at the boards' rates) it is a mistake, and the library refuses it.
constexpr uint64_t kMaxDelaySamples = (uint64_t{1} << 40) - 1;

const std::vector<std::string> kWaves = {"tone",  "multitone", "chirp", "square", "pulse",
                                         "noise", "dc",        "ramp",  "file"};

int32_t waveformOf(const std::string& wave) {
  for (size_t i = 0; i + 1 < kWaves.size(); ++i)
    if (kWaves[i] == wave) return static_cast<int32_t>(i);  // KPXWAVE_* follow this order
  return -1;
}

// "N" or "MIN:MAX"; false when it is neither.
bool parsePeriod(const std::string& text, uint64_t& period, uint64_t& minimum, uint64_t& maximum) {
  const auto number = [](const std::string& digits, uint64_t& value) {
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
        digits.size() > 18)
      return false;
    value = std::stoull(digits);
    return true;
  };
  const size_t colon = text.find(':');
  if (colon == std::string::npos) {
    minimum = maximum = 0;
    return number(text, period) && period > 0;
  }
  period = 0;
  return number(text.substr(0, colon), minimum) && number(text.substr(colon + 1), maximum);
}

}  // namespace

std::string waveSettings(const Options& options, double sampleRateHz, KpxWaveSettings& settings) {
  const int32_t waveform = waveformOf(options.wave);
  if (waveform < 0) return "--wave " + options.wave + " is played from a file, not generated";
  KpxWave_DefaultSettings(&settings, waveform, sampleRateHz);
  if (!options.frequenciesHz.empty()) {
    if (options.frequenciesHz.size() > KPXWAVE_MAX_TONES)
      return "--frequency: at most " + std::to_string(KPXWAVE_MAX_TONES) + " frequencies";
    if (options.frequenciesHz.size() > 1 && waveform != KPXWAVE_MULTITONE)
      return "--frequency: several frequencies need --wave multitone";
    settings.frequencyCount = static_cast<uint32_t>(options.frequenciesHz.size());
    for (size_t i = 0; i < options.frequenciesHz.size(); ++i)
      settings.frequenciesHz[i] = options.frequenciesHz[i];
  }
  if (options.amplitudeDbfs) settings.amplitudeDbfs = *options.amplitudeDbfs;
  settings.phaseDeg = options.phaseDeg;
  if (options.startHz) settings.startHz = *options.startHz;
  if (options.stopHz) settings.stopHz = *options.stopHz;
  settings.sweepTimeS = options.sweepTimeS;
  settings.duty = options.duty;
  settings.widthSamples = options.width;
  if (!parsePeriod(options.period, settings.periodSamples, settings.minIntervalSamples,
                   settings.maxIntervalSamples))
    return "--period must be a number of samples or MIN:MAX";
  settings.baselineLsb = options.baseline;
  settings.noiseLsbRms = options.noiseLsb;
  settings.seed = options.seed;
  KpxWave* wave = nullptr;
  const int32_t result = KpxWave_Create(&settings, &wave);
  KpxWave_Destroy(wave);
  if (result == KPXWAVE_OK) return "";
  std::string reason = std::string("--wave ") + options.wave + ": " + KpxWave_ResultText(result);
  if (result == KPXWAVE_ERR_AMPLITUDE) reason += " (--amplitude must be at most 0 dBFS)";
  if (result == KPXWAVE_ERR_FREQUENCY) {
    // The limit is the library's (half the sample rate); the hint names it.
    const std::string limit = kpx::tools::numberText(KpxWave_MaxFrequencyHz(sampleRateHz));
    reason += waveform == KPXWAVE_CHIRP ? " (--start and --stop from 0 to " + limit + " Hz)"
                                        : " (--frequency from 0 to " + limit + " Hz)";
  }
  if (result == KPXWAVE_ERR_ARGUMENT && waveform == KPXWAVE_PULSE)
    reason += " (--width below --period, or below MIN of --period MIN:MAX)";
  return reason;
}

ParsedCommandLine parseCommandLine(int argc, char** argv) {
  CLI::App app{"Plays a waveform or a recording on a KPX-ADAC DAC board's streaming channel."};
  app.get_formatter()->column_width(30);
  Options options;
  options.board.dacBoard = true;

  kpx::tools::addBoardOptions(app, options.board, kpx::tools::BoardTypes::kDacTyped,
                              "(the rate the DAC runs at, which the board cannot report)",
                              KPXGROUP_MAX_BOARDS);
  // The DAC's clock is not set here: --clock only picks whose rate to play at.
  app.get_option("--clock")->description(
      "The clock the DAC runs on, whose rate to play at: fixed, the onboard fixed clock; synth, "
      "the synthesizer's rate. Unlike kpxadac-capture, this program does not set the clock "
      "(default: the rate the library gives for the board)");
  app.add_option("--wave", options.wave, "What to play (default tone)")
      ->check(CLI::IsMember(kWaves))
      ->option_text("tone|multitone|chirp|square|pulse|noise|dc|ramp|file");
  app.add_option("--frequency", options.frequenciesHz,
                 "Tone or square frequency; multitone: several, comma-separated (default 1e6)")
      ->delimiter(',')
      ->transform(RealRange(0, kMaxSampleRateHz / 2))
      ->option_text("HZ[,HZ...]");
  app.add_option("--amplitude", options.amplitudeDbfs,
                 "Peak (tone, multitone sum, chirp, square), level (pulse, dc) or rms (noise) "
                 "in dBFS, -300 to 0 (default -1; noise -20)")
      ->transform(RealRange(kMinAmplitudeDbfs, 0))
      ->option_text("DBFS");
  kpx::tools::addPerBoardList(app, "--phase", options.phasesDeg,
                              RealRange(-kMaxPhaseDeg, kMaxPhaseDeg),
                              "Starting phase in degrees (default 0)", "DEG");
  kpx::tools::addPerBoardList(app, "--delay", options.delays,
                              WholeRange<uint64_t>(0, kMaxDelaySamples),
                              "Samples each board's signal starts later than the earliest "
                              "board's (a group only; default 0)",
                              "N");
  app.add_option("--start", options.startHz, "Chirp start frequency (default rate / 20)")
      ->transform(RealRange(0, kMaxSampleRateHz / 2))
      ->option_text("HZ");
  app.add_option("--stop", options.stopHz, "Chirp stop frequency (default rate * 9 / 20)")
      ->transform(RealRange(0, kMaxSampleRateHz / 2))
      ->option_text("HZ");
  app.add_option("--sweep-time", options.sweepTimeS, "Chirp sweep time (default 1e-3)")
      ->transform(PositiveReal(kMaxDurationSeconds))
      ->option_text("SECONDS");
  app.add_option("--duty", options.duty, "Square: fraction of the period high (default 0.5)")
      ->transform(RealRange(0, 1))
      ->option_text("FRACTION");
  app.add_option("--width", options.width, "Pulse width in samples (default 100)")
      ->transform(WholeRange<uint64_t>(1, kMaxSamples))
      ->option_text("N");
  app.add_option("--period", options.period,
                 "Pulse period in samples, or MIN:MAX for seeded random intervals (default 1000)")
      ->option_text("N|MIN:MAX");
  app.add_option("--baseline", options.baseline, "Pulse: the level between pulses (default 0)")
      ->transform(WholeRange<int64_t>(-32768, 32767))
      ->option_text("LSB");
  app.add_option("--noise", options.noiseLsb, "Gaussian noise added, in LSB rms (default 0)")
      ->transform(RealRange(0, 32767))
      ->option_text("LSB");
  app.add_option("--seed", options.seed, "Seed of the noise and of random pulses (default 1)")
      ->transform(WholeRange<uint64_t>(0, UINT64_MAX))
      ->option_text("N");
  app.add_option("--input", options.input,
                 "--wave file: a SigMF recording (ri16_le) or raw 16-bit little-endian samples; "
                 "- reads raw samples from standard input")
      ->option_text("PATH");
  app.add_flag("--loop", options.loop, "--wave file: play the file again and again");
  auto* samples = app.add_option("--samples", options.samples, "Number of samples to play")
                      ->transform(WholeRange<uint64_t>(1, kMaxSamples))
                      ->option_text("N");
  auto* duration = app.add_option("--duration", options.durationSeconds,
                                  "Seconds to play, at the sample rate. Without --samples or "
                                  "--duration: until Ctrl+C (or the file's end)")
                       ->transform(PositiveReal(kMaxDurationSeconds))
                       ->option_text("SECONDS");
  samples->excludes(duration);
  duration->excludes(samples);
  kpx::tools::addBlockOption(app, options.blockSamples, kpx::tools::OldBlockSpelling::kBlockSamples,
                             "per board write");
  app.add_option("--ring", options.ringBlocks, "Blocks queued for the board (default 16)")
      ->transform(WholeRange<uint64_t>(2, 4096))
      ->option_text("N");

  ParsedCommandLine parsed;
  const auto outcome =
      kpx::tools::parse(app, argc, argv, "kpxadac-generate", kExitUsage, [&options] {
        if (options.fromFile() && options.input.empty())
          throw CLI::ValidationError("--input", "--wave file needs --input PATH");
        if (!options.fromFile() && (!options.input.empty() || options.loop))
          throw CLI::ValidationError("--input", "--input and --loop go with --wave file");
        if (options.loop && options.input == "-")
          throw CLI::ValidationError("--loop", "standard input cannot be played again");
        const size_t boards = options.board.indexes.size();
        for (const auto& [name, given] : {std::pair{"--phase", options.phasesDeg.size()},
                                          std::pair{"--delay", options.delays.size()}})
          if (auto problem = kpx::tools::perBoardProblem(given, boards); !problem.empty())
            throw CLI::ValidationError(name, problem);
        if (!options.delays.empty() && boards == 1)
          throw CLI::ValidationError("--delay",
                                     "--delay delays boards of a group against "
                                     "each other: give --index N,M,...");
        if (boards > 1 && options.input == "-")
          throw CLI::ValidationError("--input",
                                     "a group plays a file: standard input is "
                                     "read once, for one board");
        uint64_t period = 0, minimum = 0, maximum = 0;
        if (!parsePeriod(options.period, period, minimum, maximum))
          throw CLI::ValidationError("--period", options.period +
                                                     " is neither a number of samples (1 to "
                                                     "999999999999999999) nor MIN:MAX");
      });
  if (!outcome.proceed) {
    parsed.exitStatus = outcome.exitStatus;
    return parsed;
  }
  options.phaseDeg = kpx::tools::perBoardValue(options.phasesDeg, 0, 0.0);
  parsed.options = options;
  return parsed;
}

}  // namespace generate
