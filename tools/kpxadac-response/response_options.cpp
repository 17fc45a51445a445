#include "response_options.h"

#include <CLI/CLI.hpp>

#include "board_options.h"
#include "number_options.h"
#include "shared_options.h"

namespace response {

ParsedCommandLine parseCommandLine(int argc, char** argv) {
  CLI::App app{
      "Measures a device's frequency response (magnitude, phase, group delay), latency, "
      "harmonic distortion and impulse response: a DAC board drives it, an ADC board captures "
      "its output (docs/response.md)."};
  app.get_formatter()->column_width(34);
  Options options;
  KpxResponseRequest& r = options.request;
  r.method = KPXRESPONSE_METHOD_MULTITONE;
  r.spacing = KPXRESPONSE_SPACING_LOG;
  r.amplitudeDbfs = -6;
  r.points = 100;
  std::string method = "multitone", spacing = "log";
  unsigned harmonics = 5, averages = 4;

  app.add_option("--dac", options.dac, "Index of the DAC board among the DAC boards (default 0)")
      ->transform(kpx::tools::WholeRange<uint64_t>(0, 255))
      ->option_text("N");
  app.add_option("--adc", options.adc, "Index of the ADC board among the ADC boards (default 0)")
      ->transform(kpx::tools::WholeRange<uint64_t>(0, 255))
      ->option_text("N");
  app.add_option("--start", r.startHz, "Lowest frequency, Hz (at least the rate / 1048576)")
      ->transform(kpx::tools::PositiveReal(kpx::tools::kMaxSampleRateHz))
      ->required()
      ->option_text("HZ");
  app.add_option("--stop", r.stopHz, "Highest frequency, Hz (below half the rate)")
      ->transform(kpx::tools::PositiveReal(kpx::tools::kMaxSampleRateHz))
      ->required()
      ->option_text("HZ");
  app.add_option("--points", r.points, "Frequencies from start to stop, 1 to 10000 (default 100)")
      ->transform(kpx::tools::WholeRange<uint64_t>(KPXRESPONSE_MIN_POINTS, KPXRESPONSE_MAX_POINTS))
      ->option_text("N");
  app.add_option("--spacing", spacing, "log or linear (default log)")
      ->check(CLI::IsMember({"log", "linear"}, CLI::ignore_case))
      ->option_text("log|linear");
  app.add_option("--method", method,
                 "sine (stepped, with harmonics), multitone (fastest), sweep (exponential, "
                 "with harmonics and the impulse response); default multitone")
      ->check(CLI::IsMember({"sine", "multitone", "sweep"}, CLI::ignore_case))
      ->option_text("NAME");
  app.add_option("--amplitude", r.amplitudeDbfs,
                 "Peak of the stimulus, dBFS (-100 to 0, default -6)")
      ->transform(kpx::tools::RealRange(KPXRESPONSE_MIN_AMPLITUDE_DBFS, 0))
      ->option_text("DBFS");
  app.add_option("--harmonics", harmonics,
                 "Highest harmonic order reported by sine and sweep, 2 to 10 (default 5)")
      ->transform(kpx::tools::WholeRange<uint64_t>(2, KPXRESPONSE_MAX_HARMONIC))
      ->option_text("N");
  kpx::tools::addAveragesOption(app, averages, KPXRESPONSE_MAX_AVERAGES,
                                "Periods the multitone averages, 1 to 1024 (default 4)", false);
  app.add_option("--max-latency", options.maxLatency,
                 "Latency allowed for, samples, 1 to 1048576 (default 1048576)")
      ->transform(kpx::tools::WholeRange<uint64_t>(1, KPXRESPONSE_MAX_LATENCY_SAMPLES))
      ->option_text("SAMPLES");
  bool keepLatency = false;
  app.add_flag("--keep-latency", keepLatency, "Leave the latency's slope in the phase");
  app.add_option("--reference", options.reference,
                 "A through measurement (--save-reference) to divide by")
      ->option_text("FILE");
  app.add_option("--save-reference", options.saveReference,
                 "Write this measurement as a reference for --reference")
      ->option_text("FILE");
  app.add_option("--output", options.output,
                 "Write the table as CSV (default: to standard output, without --json)")
      ->option_text("FILE.csv");
  app.add_option("--plot", options.plot, "Draw the Bode diagram as SVG")->option_text("FILE.svg");
  app.add_flag("--json", options.json, "Print the result as one JSON object");

  ParsedCommandLine parsed;
  const auto outcome = kpx::tools::parse(app, argc, argv, "kpxadac-response", kExitUsage, [&] {
    if (r.stopHz < r.startHz)
      throw CLI::ValidationError("--stop", kpx::tools::numberText(r.stopHz) + " is below --start " +
                                               kpx::tools::numberText(r.startHz));
    // One file for two outputs would be overwritten by the second.
    const std::string* files[] = {&options.output, &options.plot, &options.saveReference,
                                  &options.reference};
    for (size_t i = 0; i < 4; ++i)
      for (size_t j = i + 1; j < 4; ++j)
        if (!files[i]->empty() && *files[i] == *files[j])
          throw CLI::ValidationError("'" + *files[i] + "' is named for two files");
  });
  if (!outcome.proceed) {
    parsed.exitStatus = outcome.exitStatus;
    return parsed;
  }
  r.method = KpxResponse_MethodFromName(CLI::detail::to_lower(method).c_str());
  r.spacing = CLI::detail::to_lower(spacing) == "log" ? KPXRESPONSE_SPACING_LOG
                                                      : KPXRESPONSE_SPACING_LINEAR;
  r.harmonics = static_cast<int32_t>(harmonics);
  r.averages = averages;
  if (keepLatency) r.flags |= KPXRESPONSE_FLAG_KEEP_LATENCY;
  parsed.options = options;
  return parsed;
}

}  // namespace response
