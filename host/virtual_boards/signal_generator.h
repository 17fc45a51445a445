// The sample generator behind a virtual board's streaming channel.
//
// A source is a pure function of the sample index: sample k of a channel is
// the same whoever asks for it and however the reads are cut, so a stream can
// be produced in pieces, from several threads, and checked afterwards. Both
// kinds are one precomputed period that is copied out with memcpy, which keeps
// generation near memory speed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kpx::sim {

struct SignalSettings {
  enum class Kind { kTone, kRamp };
  static constexpr int kFirstHarmonic = 2;
  static constexpr int kLastHarmonic = 6;
  Kind kind = Kind::kTone;
  double frequencyHz = 10e6;
  double amplitudeDbfs = -1.0;
  double noiseLsbRms = 2.0;
  uint64_t seed = 1;
  // Levels of the tone's harmonics 2 to 6 in dBc (relative to the tone's
  // amplitude), element 0 for harmonic 2; empty: none.
  std::array<std::optional<double>, kLastHarmonic - kFirstHarmonic + 1> harmonicsDbc{};
};

// Samples of one period, kept as little-endian 16-bit words.
class SampleSource {
 public:
  // The tone is quantised to a whole number of cycles in kTonePeriod samples,
  // that is to a multiple of sampleRate / kTonePeriod (about 100 Hz at
  // 105 MHz); its noise repeats with the same period.
  static constexpr size_t kTonePeriod = size_t{1} << 20;

  static std::shared_ptr<const SampleSource> make(const SignalSettings& settings,
                                                  double sampleRateHz);

  // Writes samples first .. first + count - 1 to `out` (2 bytes each, LE).
  void fill(uint8_t* out, uint64_t first, size_t count) const;
  // Writes `length` bytes of the byte stream starting at byte `position`;
  // sample k occupies bytes 2k and 2k + 1.
  void fillBytes(uint8_t* out, uint64_t position, size_t length) const;

  int16_t sample(uint64_t index) const;
  size_t period() const { return period_.size(); }

 private:
  std::vector<uint16_t> period_;  // little-endian bytes on every host
};

}  // namespace kpx::sim
