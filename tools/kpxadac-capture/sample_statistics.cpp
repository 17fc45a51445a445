#include "sample_statistics.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace capture {

namespace {

// Samples per inner run: the run's 32-bit sum cannot overflow (2^12 * 2^15).
constexpr size_t kSamplesPerRun = 4096;

inline int16_t loadSample(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    int16_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
  } else {
    return static_cast<int16_t>(p[0] | (p[1] << 8));
  }
}

struct RunSums {
  int32_t sum = 0;
  uint64_t squares = 0;
  int16_t lowest = INT16_MAX;
  int16_t highest = INT16_MIN;
};

// One run of at most kSamplesPerRun samples. Narrow types let the compiler
// use wide vector lanes.
inline RunSums sumRun(const uint8_t* bytes, size_t samples) {
  // Plain local accumulators: the compiler vectorises reductions over
  // locals, not over the fields of a struct.
  int32_t sum = 0;
  uint64_t squares = 0;
  int16_t lowest = INT16_MAX;
  int16_t highest = INT16_MIN;
  for (size_t i = 0; i < samples; ++i) {
    const int16_t v = loadSample(bytes + 2 * i);
    sum += v;
    squares += static_cast<uint32_t>(v * v);
    lowest = std::min(lowest, v);
    highest = std::max(highest, v);
  }
  return {sum, squares, lowest, highest};
}

}  // namespace

void SampleStatistics::add(const uint8_t* bytes, size_t length) {
  if (length == 0) return;
  if (pendingLowByte_) {
    const uint8_t sample[2] = {*pendingLowByte_, bytes[0]};
    pendingLowByte_.reset();
    addWholeSamples(sample, 1);
    ++bytes;
    --length;
  }
  addWholeSamples(bytes, length / 2);
  if (length % 2) pendingLowByte_ = bytes[length - 1];
}

void SampleStatistics::addWholeSamples(const uint8_t* bytes, size_t samples) {
  auto addRun = [this](const RunSums& run) {
    sum_ += run.sum;
    sumOfSquares_ += static_cast<double>(run.squares);
    min_ = std::min<int>(min_, run.lowest);
    max_ = std::max<int>(max_, run.highest);
  };
  // Full runs have a constant length, which the compiler vectorises without
  // a scalar tail; the last, shorter run takes the same code.
  size_t done = 0;
  for (; samples - done >= kSamplesPerRun; done += kSamplesPerRun)
    addRun(sumRun(bytes + 2 * done, kSamplesPerRun));
  if (done < samples) addRun(sumRun(bytes + 2 * done, samples - done));
  count_ += samples;
}

double SampleStatistics::mean() const {
  return count_ ? static_cast<double>(sum_) / static_cast<double>(count_) : 0.0;
}

double SampleStatistics::rms() const {
  return count_ ? std::sqrt(sumOfSquares_ / static_cast<double>(count_)) : 0.0;
}

}  // namespace capture
