// The samples behind a virtual board's streaming channel.
//
// A source is a function of the sample index: sample k of a channel is the
// same whoever asks for it and however the reads are cut, so a stream can be
// produced in pieces, from several threads, and checked afterwards. Every
// waveform comes from the library's generator (kpxadac_waveform.h). The tone
// and the ramp are one precomputed period, copied out with memcpy, which
// keeps them near memory speed; the other waveforms are generated as they
// are read; a recording is read from its file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kpxadac_waveform.h"

namespace kpx::sim {

struct SignalSettings {
  enum class Kind { kWaveform, kFile };
  static constexpr int kFirstHarmonic = 2;
  static constexpr int kLastHarmonic = 6;
  Kind kind = Kind::kWaveform;
  // kWaveform: the generator's settings (the sample rate is the board's).
  KpxWaveSettings wave = defaultTone();
  // kFile: a raw 16-bit little-endian file or a SigMF recording (ri16_le),
  // played from its first sample at each channel reset; after the end it
  // starts again (`loop`) or gives zeros.
  std::string path;
  bool loop = false;

  // The boards' default: a 10 MHz tone at -1 dBFS with 2 LSB rms of noise.
  static KpxWaveSettings defaultTone();
};

class SampleSource {
 public:
  // The tone is quantised to a whole number of cycles in kTonePeriod samples,
  // that is to a multiple of sampleRate / kTonePeriod (about 100 Hz at
  // 105 MHz); its noise repeats with the same period.
  static constexpr size_t kTonePeriod = size_t{1} << 20;

  // The source for `settings`, or the reason it cannot be made (a setting
  // the generator refuses, a recording that cannot be read).
  static std::shared_ptr<const SampleSource> make(const SignalSettings& settings,
                                                  double sampleRateHz, std::string& reason);

  // Zeros for ever.
  static std::shared_ptr<const SampleSource> silence();

  virtual ~SampleSource() = default;
  // Writes samples first .. first + count - 1 to `out` (2 bytes each, LE).
  virtual void fill(uint8_t* out, uint64_t first, size_t count) const = 0;
  // Writes `length` bytes of the byte stream starting at byte `position`;
  // sample k occupies bytes 2k and 2k + 1.
  void fillBytes(uint8_t* out, uint64_t position, size_t length) const;
  int16_t sample(uint64_t index) const;
};

}  // namespace kpx::sim
