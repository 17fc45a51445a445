#include "sample_statistics.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace capture {

namespace {

// Samples per inner pass: small enough that the 64-bit sums cannot overflow
// (32768^2 * 2^20 < 2^63), large enough to keep the loop's setup cost low.
constexpr size_t kSamplesPerPass = size_t{1} << 20;

inline int16_t loadSample(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    int16_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
  } else {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
  }
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
  for (size_t done = 0; done < samples; done += kSamplesPerPass) {
    const size_t n = std::min(kSamplesPerPass, samples - done);
    const uint8_t* p = bytes + 2 * done;
    // A plain reduction loop that the compiler turns into vector code.
    int64_t sum = 0;
    int64_t squares = 0;
    int lowest = INT16_MAX;
    int highest = INT16_MIN;
    for (size_t i = 0; i < n; ++i) {
      const int v = loadSample(p + 2 * i);
      sum += v;
      squares += static_cast<int64_t>(v * v);
      lowest = std::min(lowest, v);
      highest = std::max(highest, v);
    }
    count_ += n;
    sum_ += sum;
    sumOfSquares_ += static_cast<double>(squares);
    min_ = std::min(min_, lowest);
    max_ = std::max(max_, highest);
  }
}

double SampleStatistics::mean() const {
  return count_ ? static_cast<double>(sum_) / static_cast<double>(count_) : 0.0;
}

double SampleStatistics::rms() const {
  return count_ ? std::sqrt(sumOfSquares_ / static_cast<double>(count_)) : 0.0;
}

}  // namespace capture
