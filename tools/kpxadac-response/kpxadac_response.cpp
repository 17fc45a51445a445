// kpxadac-response: a device's frequency response measured with a DAC board
// driving it and an ADC board capturing its output (docs/response.md).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "board_options.h"
#include "console.h"
#include "json_text.h"
#include "kpxadac/response_run.h"
#include "kpxadac16.h"
#include "kpxadac_stream.h"
#include "response_options.h"
#include "response_output.h"
#include "tool_platform.h"

using namespace response;
using kpx::tools::Console;

namespace {

std::atomic<bool> stopRequested{false};
// Set from the progress call, on the measuring thread that reads it.
volatile int32_t stopFlag = 0;

struct ResultDeleter {
  void operator()(KpxResponseResult* r) const { KpxResponse_FreeResult(r); }
};
using Result = std::unique_ptr<KpxResponseResult, ResultDeleter>;

struct Progress {
  Console* console;
  std::chrono::steady_clock::time_point next;
  uint32_t points = 0;
  std::string point;  // the stepped sine's point reached: " (point 3 of 200, 12.5 kHz)"
};

void showPoint(void* user, uint32_t index, double frequencyHz) {
  auto* progress = static_cast<Progress*>(user);
  char text[96];
  std::snprintf(text, sizeof text, " (point %u of %u, %.6g Hz)", index + 1, progress->points,
                frequencyHz);
  progress->point = text;
}

// The stepped sine's figures of each point, a line each as it comes.
void showFigures(void* user, uint32_t index, const KpxResponsePoint* point) {
  auto* progress = static_cast<Progress*>(user);
  char text[160];
  std::snprintf(text, sizeof text, "point %u of %u: %.6g Hz, %.3f dB, %.2f deg, quality %.1f dB",
                index + 1, progress->points, point->frequencyHz, point->magnitudeDb,
                point->phaseDeg, point->qualityDb);
  progress->console->message(text);
}

void showProgress(void* user, double fraction) {
  auto* progress = static_cast<Progress*>(user);
  if (stopRequested) stopFlag = 1;
  const auto now = std::chrono::steady_clock::now();
  if (now < progress->next && fraction < 1) return;
  progress->next = now + std::chrono::milliseconds(200);
  char line[64];
  std::snprintf(line, sizeof line, "capturing the response: %3.0f %%", fraction * 100);
  progress->console->progress(line + progress->point);
}

int fail(Console& console, const std::string& reason, int status = kExitFailure) {
  console.message(reason);
  return status;
}

int run(const Options& options) {
  Console console("kpxadac-response", kpx::tools::standardErrorIsConsole());
  // The reference first: a bad file ends the run before the boards play.
  Result reference;
  if (!options.reference.empty()) {
    KpxResponseResult* loaded = nullptr;
    if (auto reason = readReference(options.reference, &loaded); !reason.empty())
      return fail(console, reason, kExitUsage);
    reference.reset(loaded);
  }

  Kpxadac16_Open();
  const BoardHandle dac = Kpxadac16_GetHandle(BOARD_TYPE_DAC, static_cast<uint8_t>(options.dac));
  const BoardHandle adc = Kpxadac16_GetHandle(BOARD_TYPE_ADC, static_cast<uint8_t>(options.adc));
  if (dac == KPXADAC_INVALID_HANDLE)
    return fail(console, "no DAC board with index " + std::to_string(options.dac));
  if (adc == KPXADAC_INVALID_HANDLE)
    return fail(console, "no ADC board with index " + std::to_string(options.adc));

  kpx::tools::installStopHandlers(stopRequested);
  Progress progress{&console, {}, options.request.points, {}};
  KpxResponseRun run{};
  run.dac = dac;
  run.adc = adc;
  run.maxLatency = options.maxLatency;
  run.progress = showProgress;
  run.user = &progress;
  run.stop = &stopFlag;
  if (options.request.method == KPXRESPONSE_METHOD_SINE) {
    run.pointCaptured = showPoint;
    run.pointMeasured = showFigures;
  }
  const auto started = std::chrono::steady_clock::now();
  KpxResponseResult* measured = nullptr;
  int32_t streamCode = 0;
  const int32_t code = KpxResponse_Measure(&run, &options.request, &measured, &streamCode);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  console.wipeProgress();
  Kpxadac16_CloseAll();
  if (code != KPXRESPONSE_OK) {
    std::string reason = std::string("no measurement: ") + KpxResponse_ResultText(code);
    if (code == KPXRESPONSE_ERR_STREAM)
      reason += std::string(": ") + KpxStream_ResultText(streamCode);
    // A request the library refuses is a usage error, as a bad option.
    const bool usage = code >= KPXRESPONSE_ERR_RESOLUTION && code <= KPXRESPONSE_ERR_METHOD;
    return fail(console, reason, usage ? kExitUsage : kExitFailure);
  }
  Result result(measured);

  std::vector<OutputText> files;
  if (!options.saveReference.empty()) {
    KpxResponse_SetKeepLatency(result.get(), 0);
    files.push_back({options.saveReference, referenceText(tableOf(result.get()))});
  }
  if (reference) {
    if (int32_t applied = KpxResponse_ApplyReference(result.get(), reference.get());
        applied != KPXRESPONSE_OK)
      return fail(console, options.reference + ": " + KpxResponse_ResultText(applied), kExitUsage);
  }
  KpxResponse_SetKeepLatency(result.get(),
                             (options.request.flags & KPXRESPONSE_FLAG_KEEP_LATENCY) ? 1 : 0);
  const Table table = tableOf(result.get());

  if (!options.output.empty()) files.push_back({options.output, csvText(result.get())});
  if (!options.plot.empty()) files.push_back({options.plot, svgText(table)});
  if (auto reason = writeTextFiles(files); !reason.empty()) return fail(console, reason);

  if (options.json) {
    auto json = nlohmann::ordered_json::parse(jsonText(result.get()));
    json["seconds"] = seconds;
    std::printf("%s\n", kpx::tools::jsonText(json).c_str());
  } else if (options.output.empty()) {
    std::fputs(csvText(result.get()).c_str(), stdout);
  } else {
    std::printf(
        "%s: %u points, %.6g to %.6g Hz at %.6g Hz, latency %.3f samples (%.6g s), %.3f s\n",
        KpxResponse_MethodName(table.summary.method), table.summary.points,
        table.points.front().frequencyHz, table.points.back().frequencyHz,
        table.summary.sampleRateHz, table.summary.latencySamples, table.summary.latencySeconds,
        seconds);
  }
  if (!kpx::tools::standardOutputWritten("kpxadac-response")) return kExitFailure;
  return kExitClean;
}

}  // namespace

int main(int argc, char** argv) {
  ParsedCommandLine parsed = parseCommandLine(argc, argv);
  if (!parsed.options) return parsed.exitStatus;
  try {
    return run(*parsed.options);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "kpxadac-response: not enough memory\n");
    return kExitFailure;
  }
}
