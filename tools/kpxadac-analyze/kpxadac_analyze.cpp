// kpxadac-analyze: the spectrum's dynamic figures (fundamental, SNR, SINAD,
// THD, SFDR, ENOB, noise floor) of a recording, or of samples taken from a
// board through the library's stream. See docs/measurements.md.
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "analyze_options.h"
#include "board_samples.h"
#include "json_text.h"
#include "kpxadac/analysis.h"
#include "kpxadac/analysis_json.h"
#include "kpxadac16.h"
#include "recording.h"

namespace {

using namespace analyze;
using kpx::analysis::Measurements;

int fail(const std::string& reason, int status = kExitFailure) {
  std::fprintf(stderr, "kpxadac-analyze: %s\n", reason.c_str());
  return status;
}

struct Analysis {
  Measurements measurements;
  size_t spectra = 0;
  // Whether the spectrum holds a tone: some power outside DC. Without one,
  // the figures that relate to it (its frequency, SNR, SINAD, THD, SFDR,
  // ENOB, the harmonics) are undefined, and left NaN (null in JSON).
  bool toneFound = false;
};

void leaveUndefinedWithoutTone(Analysis& analysis) {
  Measurements& m = analysis.measurements;
  analysis.toneFound = m.fundamentalDbfs > kpx::analysis::kFloorDbfs;
  if (analysis.toneFound) return;
  constexpr double kUndefined = std::numeric_limits<double>::quiet_NaN();
  for (double* figure :
       {&m.fundamentalHz, &m.snrDb, &m.sinadDb, &m.thdDb, &m.sfdrDbc, &m.sfdrDbfs, &m.enobBits})
    *figure = kUndefined;
  m.harmonics.clear();
}

// `value` in `format`, or "undefined" for NaN and the infinities.
std::string figure(const char* format, double value) {
  if (!std::isfinite(value)) return "undefined";
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string analyse(const SampleSet& set, const Options& options, Analysis& analysis) {
  const auto starts = blockStarts(set.stretches, options.fftSize, options.averages);
  if (starts.empty())
    return set.source + " holds no " + std::to_string(options.fftSize) +
           " consecutive samples without a gap (" + std::to_string(set.samples) + " samples)";
  kpx::analysis::SpectrumAverager averager(options.fftSize, options.window);
  std::vector<int16_t> block(options.fftSize);
  for (uint64_t start : starts) {
    if (auto reason = set.read(start, block.size(), block.data()); !reason.empty()) return reason;
    averager.add(block.data());
  }
  analysis.spectra = starts.size();
  analysis.measurements = kpx::analysis::measure(averager.powerLinear(), options.fftSize,
                                                 options.window, *set.sampleRateHz);
  leaveUndefinedWithoutTone(analysis);
  return "";
}

void printJson(const SampleSet& set, const Options& options, const Analysis& analysis) {
  nlohmann::json out = kpx::analysis::toJson(analysis.measurements);
  auto gaps = nlohmann::json::array();
  for (const Gap& gap : set.gaps)
    gaps.push_back(
        {{"sample_start", gap.sampleStart}, {"global_index", gap.globalIndex}, {"lost", gap.lost}});
  out["input"] = {{"source", set.source},
                  {"sample_rate_hz", *set.sampleRateHz},
                  {"samples", set.samples},
                  {"gaps", gaps},
                  {"ignored_bytes", set.ignoredBytes},
                  {"fft_size", options.fftSize},
                  {"window", kpx::analysis::windowName(options.window)},
                  {"spectra", analysis.spectra}};
  out["tone_found"] = analysis.toneFound;
  // A file name need not be UTF-8: its stray bytes become U+FFFD rather
  // than an exception.
  std::printf("%s\n", kpx::tools::jsonText(out, 2).c_str());
}

void printText(const SampleSet& set, const Options& options, const Analysis& analysis) {
  const Measurements& m = analysis.measurements;
  std::printf("%s: %llu samples at %.6g MHz; %zu spectr%s of %zu points, %s window\n",
              set.source.c_str(), static_cast<unsigned long long>(set.samples),
              *set.sampleRateHz / 1e6, analysis.spectra, analysis.spectra == 1 ? "um" : "a",
              options.fftSize, kpx::analysis::windowName(options.window));
  if (!set.gaps.empty()) {
    unsigned long long lost = 0;
    for (const Gap& gap : set.gaps) lost += gap.lost;
    std::printf("gaps          %zu (%llu samples lost)\n", set.gaps.size(), lost);
  }
  if (analysis.toneFound)
    std::printf("fundamental   %.6f MHz  %s dBFS\n", m.fundamentalHz / 1e6,
                figure("%.2f", m.fundamentalDbfs).c_str());
  else
    std::printf("fundamental   none: no power outside DC, so no tone to measure\n");
  std::printf("SNR           %s dB\n", figure("%.2f", m.snrDb).c_str());
  std::printf("SINAD         %s dB\n", figure("%.2f", m.sinadDb).c_str());
  std::printf("THD           %s dBc (harmonics 2 to 6)\n", figure("%.2f", m.thdDb).c_str());
  std::printf("SFDR          %s dBc  %s dBFS\n", figure("%.2f", m.sfdrDbc).c_str(),
              figure("%.2f", m.sfdrDbfs).c_str());
  std::printf("ENOB          %s bits\n", figure("%.3f", m.enobBits).c_str());
  std::printf("noise floor   %s dBFS per bin\n", figure("%.2f", m.noiseFloorDbfsPerBin).c_str());
  for (const auto& h : m.harmonics)
    std::printf("harmonic %d    %s MHz  %s dBFS\n", h.order,
                figure("%.6f", h.frequencyHz / 1e6).c_str(), figure("%.2f", h.powerDbfs).c_str());
}

int run(const Options& options) {
  SampleSet set;
  if (!options.input.empty()) {
    if (auto reason = openRecording(options.input, set); !reason.empty()) return fail(reason);
    // A recording whose writer never finished may hold more than its metadata covers.
    if (set.ignoredBytes)
      std::fprintf(stderr,
                   "kpxadac-analyze: %s: %llu trailing bytes ignored after the %llu samples "
                   "described\n",
                   set.source.c_str(), static_cast<unsigned long long>(set.ignoredBytes),
                   static_cast<unsigned long long>(set.samples));
  } else {
    const uint64_t count = options.samples.value_or(options.fftSize * options.averages);
    const std::string reason = takeFromBoard(options, count, set);
    Kpxadac16_CloseAll();
    if (!reason.empty()) return fail(reason);
  }
  if (options.board.sampleRateHz) set.sampleRateHz = options.board.sampleRateHz;
  if (!set.sampleRateHz)
    return fail(set.source + " gives no sample rate: set it with --sample-rate", kExitUsage);
  if (const double rate = *set.sampleRateHz;
      !(rate >= kpx::tools::kMinSampleRateHz && rate <= kpx::tools::kMaxSampleRateHz))
    return fail(set.source + ": its sample rate " + kpx::tools::numberText(rate) +
                " Hz is out of range (" + kpx::tools::numberText(kpx::tools::kMinSampleRateHz) +
                " to " + kpx::tools::numberText(kpx::tools::kMaxSampleRateHz) +
                " Hz); give the right one with --sample-rate");

  Analysis analysis;
  if (auto reason = analyse(set, options, analysis); !reason.empty()) return fail(reason);
  if (options.json)
    printJson(set, options, analysis);
  else
    printText(set, options, analysis);
  if (!kpx::tools::standardOutputWritten("kpxadac-analyze")) return kExitFailure;
  return kExitClean;
}

}  // namespace

int main(int argc, char** argv) {
  ParsedCommandLine parsed = parseCommandLine(argc, argv);
  if (!parsed.options) return parsed.exitStatus;
  try {
    return run(*parsed.options);
  } catch (const std::bad_alloc&) {
    return fail("not enough memory for the samples and spectra asked for");
  }
}
