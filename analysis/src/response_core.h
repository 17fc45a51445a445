// The plans and results behind kpxadac/response.h.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kpxadac/response.h"

struct KpxResponsePlan {
  KpxResponseRequest request{};
  double amplitude = 0;  // peak, full scale 1.0
  int harmonics = 0;     // highest order reported, 0: none
  std::vector<double> frequencies;
  std::vector<double> stimulus;

  // SINE: the chirp ahead of the steps, then one step per frequency.
  struct Step {
    size_t start = 0;   // first sample of the tone
    size_t settle = 0;  // samples left to settle
    size_t length = 0;  // samples demodulated, after the settling
    uint32_t cycles = 0;
  };
  std::vector<Step> steps;

  // MULTITONE: the period, its tones' bins; one settling period, then the averaged ones.
  size_t period = 0;
  uint32_t averages = 0;
  std::vector<size_t> bins;

  // SWEEP: samples of the sweep (then silence), its frequencies per sample.
  size_t sweepLength = 0;
  double sweepStart = 0, sweepStop = 0;  // cycles per sample
};

struct KpxResponseResult {
  int32_t method = 0;
  double sampleRateHz = 0;
  double latency = 0;  // samples
  int32_t harmonics = 0;
  bool referenced = false;
  bool keepLatency = false;
  std::vector<double> frequencies;
  std::vector<std::complex<double>> response;  // latency removed
  std::vector<double> quality;                 // dB, NaN: none
  std::vector<std::array<double, KPXRESPONSE_MAX_HARMONIC - 1>> harmonicDbc;
  std::vector<double> impulse;
  int64_t impulseStart = 0;
  // Derived by finish(): unwrapped phase without latency (radians), group delay (s).
  std::vector<double> phase, groupDelay;
};

namespace kpx::response {

// The phases and group delays of a result from its response and latency.
void finish(KpxResponseResult& result);

// Point i of a finished result as KpxResponse_GetPoints gives it.
void fillPoint(const KpxResponseResult& result, size_t i, KpxResponsePoint& point);

// The stepped sine's points one by one while its response is captured:
// the latency as soon as the samples it is found from are in, then each
// tone as soon as its window is. The same arithmetic on the same samples as
// the analysis of the whole capture, so the same figures (group delay
// excepted: it needs the next point, so NaN here).
class SinePoints {
 public:
  // maxLag: the capture's samples beyond the stimulus (as analysed).
  SinePoints(const KpxResponsePlan& plan, size_t maxLag);
  ~SinePoints();
  SinePoints(const SinePoints&) = delete;
  SinePoints& operator=(const SinePoints&) = delete;

  // Every point given, or the latency refused (no signal).
  bool finished() const;
  // Response samples needed for the next step (the latency, or a point).
  size_t needed() const;
  // With the first `available` samples of the stimulus and the response
  // (int16, as played and captured): takes the next step if it can. True
  // when it gave a point (index, figures); false after finding the
  // latency, or when it cannot go on yet.
  bool advance(const int16_t* stimulus, const int16_t* response, size_t available, uint32_t& index,
               KpxResponsePoint& point);

 private:
  const KpxResponsePlan& plan_;
  const size_t maxLag_;
  std::unique_ptr<KpxResponseResult> points_;
  bool latencyKnown_ = false, refused_ = false;
  size_t shift_ = 0;
  size_t next_ = 0;
};

}  // namespace kpx::response
