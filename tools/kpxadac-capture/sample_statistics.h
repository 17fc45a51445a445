// Running statistics of a stream of signed 16-bit little-endian samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace capture {

class SampleStatistics {
 public:
  // Adds the samples in `length` bytes. A byte left over at the end is kept
  // and joins the first byte of the next call, so blocks may split samples.
  void add(const uint8_t* bytes, size_t length);

  uint64_t count() const { return count_; }
  int min() const { return min_; }
  int max() const { return max_; }
  double mean() const;
  double rms() const;

 private:
  void addWholeSamples(const uint8_t* bytes, size_t samples);

  uint64_t count_ = 0;
  int64_t sum_ = 0;
  double sumOfSquares_ = 0;  // each call adds its exact 64-bit sum
  int min_ = INT16_MAX;
  int max_ = INT16_MIN;
  std::optional<uint8_t> pendingLowByte_;
};

}  // namespace capture
