// KpxResponse_Measure (kpxadac/response_run.h): the plan's stimulus played on
// a DAC board while an ADC board captures, then the analysis.
#include "kpxadac/response_run.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "kpxadac_board.h"
#include "kpxadac_stream.h"
#include "response_core.h"

namespace {

constexpr uint32_t kDefaultMaxLatency = KPXRESPONSE_MAX_LATENCY_SAMPLES;
constexpr uint32_t kDefaultBlockSamples = 65536;
constexpr uint32_t kRingBlocks = 32;
// The DAC's blocks by default: its first write primes its FIFO (a real-time
// DAC's clock starts with it), so it must cover the time until the next one
// even on a loaded host: 2^20 samples, 10 ms at 105 MHz (2^16 gave 0.6 ms,
// and underruns right at the start).
constexpr uint32_t kDefaultDacBlockSamples = 1u << 20;
constexpr uint32_t kDacRingBlocks = 8;
constexpr int32_t kWaitMs = 100;

struct StreamCloser {
  void operator()(KpxStream* s) const { KpxStream_Close(s); }
};
using Stream = std::unique_ptr<KpxStream, StreamCloser>;
struct PlanDeleter {
  void operator()(KpxResponsePlan* p) const { KpxResponse_FreePlan(p); }
};

// The rate a DAC board runs at, by the library's one clock rule (as
// kpxadac-generate takes it): the plan for the clock the board reports.
double dacRate(BoardHandle dac) {
  KpxClockPlan plan{};
  if (KpxBoard_ClockPlan(dac, KPXSTREAM_SETUP_AUTO_CLOCK, &plan) != KPXSTREAM_OK)
    KpxBoard_ClockPlan(dac, KPXSTREAM_SETUP_SYNTHESIZER, &plan);
  return plan.rateHz;
}

bool stopped(const KpxResponseRun& run) {
  return run.stop && *run.stop != 0;
}

// Plays `samples`, then zeros up to `total` samples (the DAC starts after
// the ADC, so it plays less than the capture's length while the capture
// runs); ends there, when `done` is set, or when the stream ends.
void play(KpxStream* stream, const std::vector<int16_t>& samples, uint64_t total,
          const std::atomic<bool>& done, std::atomic<int32_t>& failure) {
  uint64_t sent = 0;
  while (!done && sent < total) {
    KpxStreamBlock block{};
    const int32_t result = KpxStream_AcquireWrite(stream, &block, kWaitMs);
    if (result == KPXSTREAM_TIMEOUT) continue;
    if (result != KPXSTREAM_OK) {
      if (!done) failure = result;
      return;
    }
    const size_t count = static_cast<size_t>(std::min<uint64_t>(block.capacity / 2, total - sent));
    auto* out = static_cast<int16_t*>(block.data);
    const size_t fromStimulus =
        sent < samples.size() ? std::min<size_t>(count, samples.size() - static_cast<size_t>(sent))
                              : 0;
    std::memcpy(out, samples.data() + sent, fromStimulus * 2);
    std::fill(out + fromStimulus, out + count, int16_t{0});
    sent += count;
    block.bytes = static_cast<uint32_t>(count * 2);
    KpxStream_SubmitWrite(stream, &block);
  }
}

// The stepped sine's points worked out on a thread of their own while the
// capture goes on (the reading never waits on the arithmetic), handed to
// the measuring thread to report.
class PointWorker {
 public:
  PointWorker(const KpxResponsePlan& plan, size_t maxLag, const std::vector<int16_t>& stimulus,
              const int16_t* response)
      : points_(plan, maxLag), stimulus_(stimulus), response_(response) {
    thread_ = std::thread([this] { work(); });
  }
  ~PointWorker() { finish(true); }
  PointWorker(const PointWorker&) = delete;
  PointWorker& operator=(const PointWorker&) = delete;

  // The response's first `samples` are captured and stay as they are.
  void captured(size_t samples) {
    {
      std::lock_guard lock(mutex_);
      available_ = samples;
    }
    wake_.notify_one();
  }

  // Waits for the thread: after its last point, or (abandon) at once.
  void finish(bool abandon) {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      (abandon ? quit_ : ended_) = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  // Calls `report` with each point worked out since the last call, in order.
  template <typename Report>
  void report(Report&& report) {
    std::vector<std::pair<uint32_t, KpxResponsePoint>> ready;
    {
      std::lock_guard lock(mutex_);
      ready.swap(ready_);
    }
    for (const auto& [index, point] : ready) report(index, point);
  }

 private:
  // Out of memory here ends the points as they go, not the measurement:
  // the result still comes with all of them.
  void work() {
    try {
      workPoints();
    } catch (const std::exception&) {
    }
  }

  void workPoints() {
    while (!points_.finished()) {
      size_t available = 0;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return quit_ || ended_ || available_ >= points_.needed(); });
        if (quit_ || available_ < points_.needed()) return;
        available = available_;
      }
      uint32_t index = 0;
      KpxResponsePoint point{};
      if (points_.advance(stimulus_.data(), response_, available, index, point)) {
        std::lock_guard lock(mutex_);
        ready_.emplace_back(index, point);
      }
    }
  }

  kpx::response::SinePoints points_;
  const std::vector<int16_t>& stimulus_;
  const int16_t* response_;
  std::mutex mutex_;
  std::condition_variable wake_;
  size_t available_ = 0;
  bool quit_ = false, ended_ = false;
  std::vector<std::pair<uint32_t, KpxResponsePoint>> ready_;
  std::thread thread_;
};

// A response sample this loud (LSB) is taken as the stimulus arrived.
constexpr int kArrivedLsb = 64;

// The first sample of `samples` at least kArrivedLsb loud, or `count`.
size_t firstLoud(const int16_t* samples, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (std::abs(static_cast<int>(samples[i])) >= kArrivedLsb) return i;
  return count;
}

int32_t measure(const KpxResponseRun& run, const KpxResponseRequest& asked,
                KpxResponseResult** result, int32_t& streamResult) {
  KpxBoardDescription dac{}, adc{};
  if (KpxBoard_DescribeHandle(run.dac, &dac) != KPXSTREAM_OK ||
      KpxBoard_DescribeHandle(run.adc, &adc) != KPXSTREAM_OK)
    return KPXRESPONSE_ERR_NO_BOARD;
  if (dac.type != BOARD_TYPE_DAC || adc.type != BOARD_TYPE_ADC || run.dac == run.adc)
    return KPXRESPONSE_ERR_NOT_PAIR;
  const uint32_t maxLatency = run.maxLatency ? run.maxLatency : kDefaultMaxLatency;
  if (maxLatency > KPXRESPONSE_MAX_LATENCY_SAMPLES) return KPXRESPONSE_ERR_LATENCY;
  const uint32_t blockSamples = run.blockSamples ? run.blockSamples : kDefaultBlockSamples;
  if (blockSamples % 2 || blockSamples > TALVO_MAX_CHUNK / 2) return KPXRESPONSE_ERR_ARGUMENT;

  KpxStreamConfig receive{};
  receive.board = run.adc;
  receive.direction = KPXSTREAM_RECEIVE;
  receive.blockBytes = blockSamples * 2;
  receive.blockCount = kRingBlocks;
  receive.setup = run.adcSetup ? run.adcSetup : KPXSTREAM_SETUP_AUTO_CLOCK;
  KpxStream* opened = nullptr;
  if ((streamResult = KpxStream_Open(&receive, &opened)) != KPXSTREAM_OK)
    return KPXRESPONSE_ERR_STREAM;
  Stream adcStream(opened);
  KpxStreamStatus status{};
  KpxStream_GetStatus(adcStream.get(), &status);
  const double rate = status.sampleRateHz;
  const double playRate = dacRate(run.dac);
  if (!(rate > 0) || !(playRate > 0)) return KPXRESPONSE_ERR_RATE_UNKNOWN;
  if (std::abs(rate - playRate) > 1e-9 * rate) return KPXRESPONSE_ERR_RATES_DIFFER;
  KpxResponseRequest request = asked;
  if (request.sampleRateHz == 0)
    request.sampleRateHz = rate;
  else if (std::abs(request.sampleRateHz - rate) > 1e-9 * rate)
    return KPXRESPONSE_ERR_RATES_DIFFER;

  KpxResponsePlan* made = nullptr;
  if (int32_t code = KpxResponse_CreatePlan(&request, &made); code != KPXRESPONSE_OK) return code;
  std::unique_ptr<KpxResponsePlan, PlanDeleter> plan(made);
  std::vector<int16_t> stimulus(KpxResponse_StimulusLength(plan.get()));
  KpxResponse_StimulusInt16(plan.get(), stimulus.data(), stimulus.size());
  // The analysis takes the stimulus and maxLatency samples; a DAC that
  // starts later than the allowance (a loaded host between the two starts)
  // is met by capturing maxLatency samples more and leaving out the silence
  // before the response arrives (below).
  const uint64_t captureLength = KpxResponse_CaptureLength(plan.get(), maxLatency);
  const uint64_t extra = maxLatency;
  std::vector<int16_t> response(captureLength + extra);
  if ((streamResult = KpxStream_SetSampleLimit(adcStream.get(), response.size())) != KPXSTREAM_OK)
    return KPXRESPONSE_ERR_STREAM;

  KpxStreamConfig transmit{};
  transmit.board = run.dac;
  transmit.direction = KPXSTREAM_TRANSMIT;
  const uint32_t dacBlockSamples = run.blockSamples ? run.blockSamples : kDefaultDacBlockSamples;
  transmit.blockBytes = dacBlockSamples * 2;
  transmit.blockCount = run.blockSamples ? kRingBlocks : kDacRingBlocks;
  transmit.setup = KPXSTREAM_SETUP_AUTO_CLOCK;  // the channel is reset at the start
  if ((streamResult = KpxStream_Open(&transmit, &opened)) != KPXSTREAM_OK)
    return KPXRESPONSE_ERR_STREAM;
  Stream dacStream(opened);

  // The DAC's channel reset ahead of the capture's start, so that the capture
  // cannot see what the DAC played before this measurement (an unpaced
  // virtual ADC wired to it reads the DAC's samples by their count since its
  // reset, and read the last measurement's until the DAC's stream started).
  if ((streamResult = KpxBoard_ResetChannel(run.dac)) != KPXSTREAM_OK)
    return KPXRESPONSE_ERR_STREAM;
  // The capture first, so that it holds the stimulus's first sample.
  if ((streamResult = KpxStream_Start(adcStream.get())) != KPXSTREAM_OK)
    return KPXRESPONSE_ERR_STREAM;
  if ((streamResult = KpxStream_Start(dacStream.get())) != KPXSTREAM_OK)
    return KPXRESPONSE_ERR_STREAM;
  std::atomic<bool> done{false};
  std::atomic<int32_t> playFailure{KPXSTREAM_OK};
  const uint64_t playLength = (response.size() + dacBlockSamples + 1) / 2 * 2;
  std::thread player(play, dacStream.get(), std::cref(stimulus), playLength, std::cref(done),
                     std::ref(playFailure));

  std::unique_ptr<PointWorker> worker;
  const bool showPoints = run.pointMeasured && request.method == KPXRESPONSE_METHOD_SINE;
  auto reportPoints = [&] {
    if (worker)
      worker->report([&](uint32_t index, const KpxResponsePoint& point) {
        run.pointMeasured(run.user, index, &point);
      });
  };

  int32_t outcome = KPXRESPONSE_OK;
  uint64_t captured = 0;
  size_t nextStep = 0;
  // The samples left out ahead of the response: known once a loud sample
  // came (or the whole capture did). None when it came within the latency
  // allowance (then the capture is analysed as it is); after it, the
  // capture is analysed from half the allowance before that sample on, so
  // that the response's quiet start stays in.
  std::optional<uint64_t> skip;
  uint64_t target = response.size();
  auto decideSkip = [&](uint64_t loud) {
    skip = loud > maxLatency ? std::min(loud - maxLatency / 2, extra) : 0;
    target = *skip + captureLength;
    if (showPoints) {
      // The player runs: a worker that cannot start leaves the points to the result.
      try {
        worker =
            std::make_unique<PointWorker>(*plan, maxLatency, stimulus, response.data() + *skip);
      } catch (const std::exception&) {
        worker.reset();
      }
    }
  };
  while (captured < target) {
    if (stopped(run)) {
      outcome = KPXRESPONSE_ERR_STOPPED;
      break;
    }
    if (playFailure != KPXSTREAM_OK) {
      streamResult = playFailure;
      outcome = KPXRESPONSE_ERR_STREAM;
      break;
    }
    KpxStreamReadInfo info{};
    const int32_t read = KpxStream_Read(adcStream.get(), response.data() + captured,
                                        target - captured, kWaitMs, &info);
    if (read == KPXSTREAM_TIMEOUT) continue;
    if (read != KPXSTREAM_OK) {
      streamResult = read;
      outcome = KPXRESPONSE_ERR_STREAM;
      break;
    }
    if (info.lostBefore) {
      outcome = KPXRESPONSE_ERR_OVERRUN;
      break;
    }
    if (!skip) {
      const size_t loud = firstLoud(response.data() + captured, static_cast<size_t>(info.samples));
      if (loud < info.samples) decideSkip(captured + loud);
    }
    captured += info.samples;
    if (!skip && captured >= response.size()) decideSkip(0);  // never loud: nothing left out
    if (!skip) continue;
    const uint64_t kept = captured > *skip ? captured - *skip : 0;
    if (worker) worker->captured(static_cast<size_t>(kept));
    // The stepped sine's tones captured so far (before their latency: a
    // display of where the measurement is).
    for (; nextStep < plan->steps.size(); ++nextStep) {
      const auto& step = plan->steps[nextStep];
      if (kept < step.start + step.settle + step.length) break;
      if (run.pointCaptured)
        run.pointCaptured(run.user, static_cast<uint32_t>(nextStep), plan->frequencies[nextStep]);
    }
    reportPoints();
    if (run.progress)
      run.progress(run.user, static_cast<double>(kept) / static_cast<double>(captureLength));
  }
  done = true;
  KpxStream_Stop(dacStream.get());
  KpxStream_Stop(adcStream.get());
  player.join();
  // The points left, once the whole capture is in; none from a capture that failed.
  if (worker) {
    worker->finish(outcome != KPXRESPONSE_OK);
    if (outcome == KPXRESPONSE_OK) reportPoints();
  }

  KpxStreamStatus adcStatus{}, dacStatus{};
  KpxStream_GetStatus(adcStream.get(), &adcStatus);
  KpxStream_GetStatus(dacStream.get(), &dacStatus);
  if (outcome != KPXRESPONSE_OK) return outcome;
  if (adcStatus.overrunSamples) return KPXRESPONSE_ERR_OVERRUN;
  // Underruns count only while the stimulus and the capture ran: the zeros
  // after them may run dry as the stream stops.
  for (KpxStreamGap gap{}; KpxStream_TakeUnderrun(dacStream.get(), &gap) == KPXSTREAM_OK;)
    if (gap.index < captureLength) return KPXRESPONSE_ERR_UNDERRUN;
  return KpxResponse_AnalyzeInt16(plan.get(), stimulus.data(), stimulus.size(),
                                  response.data() + skip.value_or(0), captureLength, result);
}

}  // namespace

extern "C" int32_t KpxResponse_Measure(const KpxResponseRun* run, const KpxResponseRequest* request,
                                       KpxResponseResult** result, int32_t* streamResult) {
  if (result) *result = nullptr;
  if (streamResult) *streamResult = 0;
  if (!run || !request || !result) return KPXRESPONSE_ERR_NULL;
  int32_t stream = 0;
  int32_t code = KPXRESPONSE_ERR_NO_MEMORY;
  try {
    code = measure(*run, *request, result, stream);
  } catch (const std::bad_alloc&) {
    code = KPXRESPONSE_ERR_NO_MEMORY;
  } catch (const std::system_error&) {
    code = KPXRESPONSE_ERR_STREAM;  // the player's thread could not start
  }
  if (streamResult) *streamResult = code == KPXRESPONSE_ERR_STREAM ? stream : 0;
  return code;
}
