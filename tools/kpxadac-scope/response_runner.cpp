// The response view on the response library: KpxResponse_Measure on a thread
// of its own, with the view's acquisition paused, a watchdog that stops it
// after kMaxSeconds, and the result kept as the library renders it.
#include "response_runner.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "json_text.h"
#include "kpxadac/response_run.h"
#include "kpxadac_board.h"
#include "kpxadac_stream.h"
#include "kpxadac_waveform.h"
#include "response_request.h"

namespace scope {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kProgressInterval = 200ms;
constexpr auto kShutdownGrace = 2s;
constexpr double kDefaultStartHz = 10e3;
constexpr uint32_t kDefaultPoints = 200;
constexpr double kDefaultAmplitudeDbfs = -6;
// The default stop, as a share of the highest frequency the DAC plays.
constexpr double kDefaultStopShare = 0.95;

// The rate a DAC board plays at, by the library's clock rule for the clock
// the board reports (0: not known).
double dacRate(BoardHandle dac) {
  KpxClockPlan plan{};
  if (KpxBoard_ClockPlan(dac, KPXSTREAM_SETUP_AUTO_CLOCK, &plan) != KPXSTREAM_OK &&
      KpxBoard_ClockPlan(dac, KPXSTREAM_SETUP_SYNTHESIZER, &plan) != KPXSTREAM_OK)
    return 0;
  return plan.rateHz;
}

BoardHandle dacHandle(unsigned index) {
  return Kpxadac16_GetHandle(BOARD_TYPE_DAC, static_cast<uint8_t>(index));
}

// A refusal of the request itself (not of the boards or the run).
bool refusesRequest(int32_t code) {
  return code >= KPXRESPONSE_ERR_RESOLUTION && code <= KPXRESPONSE_ERR_METHOD;
}

template <typename Render>
std::string libraryText(const KpxResponseResult* result, Render render) {
  size_t needed = 0;
  render(result, nullptr, 0, &needed);
  std::string text(needed, '\0');
  if (needed == 0 || render(result, text.data(), text.size(), &needed) != KPXRESPONSE_OK) return "";
  text.resize(needed - 1);
  return text;
}

struct ResultDeleter {
  void operator()(KpxResponseResult* r) const { KpxResponse_FreeResult(r); }
};
struct PlanDeleter {
  void operator()(KpxResponsePlan* p) const { KpxResponse_FreePlan(p); }
};

class LibraryRunner final : public ResponseRunner {
 public:
  LibraryRunner(ScopeControl& control, FrameHub& hub) : control_(control), hub_(hub) {}
  ~LibraryRunner() override { shutdown(); }

  nlohmann::json state() override;
  ResponseAnswer start(const nlohmann::json& body) override;
  ResponseAnswer cancel() override;
  ResponseAnswer csv() override;
  ResponseAnswer json() override;
  void shutdown() override;

 private:
  ResponseAsk defaults();
  void measure(ResponseAsk ask);
  void publish(const nlohmann::json& event);
  nlohmann::json progressJson();  // with mutex_ held

  static void onProgress(void* user, double fraction);
  static void onPoint(void* user, uint32_t index, double frequencyHz);

  ScopeControl& control_;
  FrameHub& hub_;

  std::mutex mutex_;
  std::condition_variable ended_;
  bool running_ = false;
  bool measuring_ = false;  // KpxResponse_Measure runs (the watchdog's wait)
  bool shutdown_ = false;
  double fraction_ = 0;
  std::string point_;
  std::string error_;
  uint64_t seq_ = 0;  // measurements ended
  std::string csv_, json_;
  Clock::time_point nextProgress_{};
  // The library's stop flag, read on the measuring thread. A stop asked
  // for (stopAsked_) is copied into it by the progress call on that thread;
  // the watchdog writes it itself only for a run that makes no progress
  // calls (a stalled stream): at the deadline, or a moment after a shutdown.
  volatile int32_t stop_ = 0;
  std::atomic<bool> stopAsked_{false};
  std::thread worker_;
};

ResponseAsk LibraryRunner::defaults() {
  ResponseAsk ask;
  ask.request.method = KPXRESPONSE_METHOD_MULTITONE;
  ask.request.spacing = KPXRESPONSE_SPACING_LOG;
  ask.request.startHz = kDefaultStartHz;
  ask.request.points = kDefaultPoints;
  ask.request.amplitudeDbfs = kDefaultAmplitudeDbfs;
  const double rate = dacRate(dacHandle(0));
  ask.request.stopHz = rate > 0 ? KpxWave_MaxFrequencyHz(rate) * kDefaultStopShare : 0;
  return ask;
}

nlohmann::json LibraryRunner::progressJson() {
  return {{"running", running_}, {"fraction", fraction_}, {"point", point_},
          {"error", error_},     {"seq", seq_},           {"has_result", !csv_.empty()}};
}

nlohmann::json LibraryRunner::state() {
  // The boards as the library has them now; none kept here.
  nlohmann::json boards = nlohmann::json::array();
  for (unsigned index = 0; index <= kMaxDacIndex; ++index) {
    const BoardHandle handle = dacHandle(index);
    if (handle == KPXADAC_INVALID_HANDLE) break;
    boards.push_back(
        {{"index", index},
         {"board_id", Kpxadac16_GetBoardId(BOARD_TYPE_DAC, static_cast<uint8_t>(index))},
         {"sample_rate_hz", dacRate(handle)}});
  }
  const ResponseAsk ask = defaults();
  const double rate = boards.empty() ? 0 : boards[0]["sample_rate_hz"].get<double>();
  nlohmann::json methods = nlohmann::json::array();
  for (int32_t method = KPXRESPONSE_METHOD_SINE; method <= KPXRESPONSE_METHOD_SWEEP; ++method)
    methods.push_back(KpxResponse_MethodName(method));
  nlohmann::json out = {
      {"available", true},
      {"dac_boards", boards},
      {"methods", methods},
      {"max_frequency_hz", rate > 0 ? nlohmann::json(KpxWave_MaxFrequencyHz(rate)) : nullptr},
      {"defaults",
       {{"dac", ask.dac},
        {"start_hz", ask.request.startHz},
        {"stop_hz", ask.request.stopHz > 0 ? nlohmann::json(ask.request.stopHz) : nullptr},
        {"points", ask.request.points},
        {"method", KpxResponse_MethodName(ask.request.method)},
        {"amplitude_dbfs", ask.request.amplitudeDbfs}}},
      {"limits",
       {{"min_points", KPXRESPONSE_MIN_POINTS},
        {"max_points", KPXRESPONSE_MAX_POINTS},
        {"min_amplitude_dbfs", KPXRESPONSE_MIN_AMPLITUDE_DBFS},
        {"max_amplitude_dbfs", 0},
        {"max_seconds", kMaxSeconds}}}};
  std::lock_guard lock(mutex_);
  out["progress"] = progressJson();
  return out;
}

ResponseAnswer LibraryRunner::start(const nlohmann::json& body) {
  ResponseAsk ask = defaults();
  if (auto error = parseResponseAsk(body, ask); !error.empty()) return {400, error};
  const BoardHandle dac = dacHandle(ask.dac);
  if (dac == KPXADAC_INVALID_HANDLE)
    return {400, "dac: no DAC board with index " + std::to_string(ask.dac)};
  // The request checked at the DAC's rate now, so that the page hears the
  // library's reason at once; the run checks it against both boards again.
  ask.request.sampleRateHz = dacRate(dac);
  if (ask.request.sampleRateHz > 0) {
    KpxResponsePlan* made = nullptr;
    const int32_t code = KpxResponse_CreatePlan(&ask.request, &made);
    std::unique_ptr<KpxResponsePlan, PlanDeleter> plan(made);
    if (refusesRequest(code)) return {400, KpxResponse_ResultText(code)};
  }
  ask.request.sampleRateHz = 0;  // the boards' own

  std::thread finished;
  {
    std::lock_guard lock(mutex_);
    if (shutdown_) return {503, "the scope is stopping"};
    if (running_) return {409, "a measurement is running; wait for its end or stop it"};
    running_ = true;
    fraction_ = 0;
    point_.clear();
    error_.clear();
    stop_ = 0;  // the measuring thread has ended (joined below, or never started)
    stopAsked_ = false;
    finished = std::move(worker_);
  }
  if (finished.joinable()) finished.join();  // it has ended: running_ was false
  try {
    std::lock_guard lock(mutex_);
    if (shutdown_) {
      running_ = false;
      return {503, "the scope is stopping"};
    }
    worker_ = std::thread([this, ask] { measure(ask); });
  } catch (const std::system_error&) {
    std::lock_guard lock(mutex_);
    running_ = false;
    return {503, "no thread for the measurement"};
  }
  return {202, ""};
}

void LibraryRunner::onProgress(void* user, double fraction) {
  auto* self = static_cast<LibraryRunner*>(user);
  if (self->stopAsked_) self->stop_ = 1;
  nlohmann::json event;
  {
    std::lock_guard lock(self->mutex_);
    self->fraction_ = fraction;
    const auto now = Clock::now();
    if (now < self->nextProgress_) return;
    self->nextProgress_ = now + kProgressInterval;
    event = self->progressJson();
  }
  self->publish(event);
}

void LibraryRunner::onPoint(void* user, uint32_t index, double frequencyHz) {
  auto* self = static_cast<LibraryRunner*>(user);
  char text[64];
  std::snprintf(text, sizeof text, "point %u, %.6g Hz", index + 1, frequencyHz);
  std::lock_guard lock(self->mutex_);
  self->point_ = text;
}

void LibraryRunner::publish(const nlohmann::json& event) {
  hub_.publish(Channel::kResponse, sseMessage("response", kpx::tools::jsonText(event)));
}

void LibraryRunner::measure(ResponseAsk ask) {
  const auto started = Clock::now();
  nlohmann::json begun;
  {
    std::lock_guard lock(mutex_);
    measuring_ = true;
    nextProgress_ = started + kProgressInterval;
    begun = progressJson();
  }
  publish(begun);
  // Stops the measurement after kMaxSeconds, or one that makes no
  // progress calls after a shutdown.
  std::thread watchdog([this, started] {
    std::unique_lock lock(mutex_);
    ended_.wait_until(lock, started + std::chrono::seconds(kMaxSeconds),
                      [this] { return !measuring_ || shutdown_; });
    if (measuring_ && shutdown_)
      ended_.wait_for(lock, kShutdownGrace, [this] { return !measuring_; });
    if (measuring_) {
      stopAsked_ = true;
      stop_ = 1;
    }
  });

  KpxResponseRun run{};
  run.dac = dacHandle(ask.dac);
  run.progress = onProgress;
  run.pointCaptured = ask.request.method == KPXRESPONSE_METHOD_SINE ? onPoint : nullptr;
  run.user = this;
  run.stop = &stop_;
  int32_t code = KPXRESPONSE_ERR_STOPPED;
  int32_t streamCode = 0;
  KpxResponseResult* measured = nullptr;
  unsigned adcIndex = 0;
  const bool ran = control_.withBoardReleased([&](unsigned index, BoardHandle adc) {
    adcIndex = index;
    run.adc = adc;
    code = KpxResponse_Measure(&run, &ask.request, &measured, &streamCode);
  });
  std::unique_ptr<KpxResponseResult, ResultDeleter> result(measured);
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  bool timedOut = false;
  {
    std::lock_guard lock(mutex_);
    measuring_ = false;
    timedOut = code == KPXRESPONSE_ERR_STOPPED && !shutdown_ &&
               Clock::now() >= started + std::chrono::seconds(kMaxSeconds);
  }
  ended_.notify_all();
  watchdog.join();

  std::string csv, json, error;
  if (!ran) {
    error = "no measurement: the scope is stopping";
  } else if (code != KPXRESPONSE_OK) {
    error = std::string("no measurement: ") + KpxResponse_ResultText(code);
    if (code == KPXRESPONSE_ERR_STREAM)
      error += std::string(": ") + KpxStream_ResultText(streamCode);
    if (timedOut) error += " (after " + std::to_string(kMaxSeconds) + " s, the longest allowed)";
  } else {
    csv = libraryText(result.get(), KpxResponse_FormatCsv);
    auto parsed = nlohmann::ordered_json::parse(libraryText(result.get(), KpxResponse_FormatJson),
                                                nullptr, false);
    if (csv.empty() || parsed.is_discarded()) {
      error = "no measurement: the result could not be rendered";
    } else {
      parsed["dac"] = ask.dac;
      parsed["adc"] = adcIndex;
      parsed["seconds"] = seconds;
      json = kpx::tools::jsonText(parsed);
    }
  }
  nlohmann::json event;
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    ++seq_;
    error_ = error;
    if (error.empty()) {
      fraction_ = 1;
      csv_ = std::move(csv);
      json_ = std::move(json);
    }
    event = progressJson();
  }
  publish(event);
}

ResponseAnswer LibraryRunner::cancel() {
  std::lock_guard lock(mutex_);
  if (running_) stopAsked_ = true;
  return {200, kpx::tools::jsonText(nlohmann::json{{"stopping", running_}})};
}

ResponseAnswer LibraryRunner::csv() {
  std::lock_guard lock(mutex_);
  if (csv_.empty()) return {404, "no response has been measured yet"};
  return {200, csv_};
}

ResponseAnswer LibraryRunner::json() {
  std::lock_guard lock(mutex_);
  if (json_.empty()) return {404, "no response has been measured yet"};
  return {200, json_};
}

void LibraryRunner::shutdown() {
  std::thread worker;
  {
    std::lock_guard lock(mutex_);
    shutdown_ = true;
    stopAsked_ = true;
    worker = std::move(worker_);
  }
  ended_.notify_all();
  if (worker.joinable()) worker.join();
}

}  // namespace

std::unique_ptr<ResponseRunner> makeResponseRunner(ScopeControl& control, FrameHub& hub) {
  return std::make_unique<LibraryRunner>(control, hub);
}

}  // namespace scope
