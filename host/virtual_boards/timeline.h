// The rack's shared world: signals on one timeline that several boards
// sample, each at its own offset and clock error, and the wiring of a DAC
// board's output through a device model to an ADC board's input.
//
// Timeline positions count samples of the boards' rate. A board whose sample
// n falls on a whole position reads the source's sample there as it is; at
// a fractional position it reads the band-limited interpolation of the
// source's samples (a Kaiser-windowed sinc of kKernelTaps taps). A noise
// source is itself low-passed by such a kernel (cut-off 0.4 of the rate), so
// it can be read exactly at any position. docs/virtual-boards.md states the
// definitions.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "virtual_boards/signal_generator.h"

namespace kpx::sim {

inline constexpr int kKernelTaps = 64;       // of the interpolator and the noise's low-pass
inline constexpr double kNoiseBand = 0.8;    // a noise source's band: 0.4 of the rate
inline constexpr double kMaxClockPpm = 1e4;  // clock_ppm: -1e4 to 1e4
inline constexpr double kMaxTimelineOffset = 1e12;

// A windowed-sinc kernel k(t) = band * sinc(band * t) * kaiser(t / 32),
// tabulated for fractions of a sample.
class Kernel {
 public:
  // `band` 1: the interpolator (k(n) = 0 at whole n but 0, so whole positions
  // read the samples themselves); kNoiseBand: the noise's low-pass,
  // normalised so white noise keeps its rms.
  static const Kernel& of(double band);
  // The taps to weigh samples I - 31 .. I + 32 with, for position I + f
  // (0 <= f < 1).
  void taps(double fraction, double* out) const;

 private:
  explicit Kernel(double band);
  static constexpr int kPhases = 2048;
  std::vector<double> table_;  // (kPhases + 1) rows of kKernelTaps
};

// Where a board's sample n lies on the timeline:
// position(n) = (n + offset) * (1 + ppm * 1e-6).
struct Placement {
  double offset = 0;
  double ppm = 0;
};

// A rack source as a board reads it: the signal's samples on the whole
// positions, band-limited between them.
class TimelineSource {
 public:
  // `base` gives the signal's samples for positions >= 0 (index = position);
  // `wraps`: positions below 0 read base sample 2^64 + position (waveforms,
  // whose 64-bit phase continues backwards), otherwise zeros (recordings).
  TimelineSource(std::shared_ptr<const SampleSource> base, bool wraps, bool bandLimit);
  // Board samples first .. first + count - 1 at `place`, as 16-bit LE bytes
  // (rounded, clipped to the int16 range).
  void fill(uint8_t* out, uint64_t first, size_t count, const Placement& place) const;

 private:
  void baseSamples(int64_t first, size_t count, int16_t* out) const;
  std::shared_ptr<const SampleSource> base_;
  bool wraps_;
  const Kernel* lowPass_;  // null: whole positions read the samples as they are
};

// A board as a SampleSource at a given placement (so the generic byte-level
// fill of SampleSource serves odd reads).
class PlacedSource : public SampleSource {
 public:
  PlacedSource(const TimelineSource& source, Placement place) : source_(source), place_(place) {}
  void fill(uint8_t* out, uint64_t first, size_t count) const override {
    source_.fill(out, first, count, place_);
  }

 private:
  const TimelineSource& source_;
  Placement place_;
};

// ---- DAC output to ADC input ---------------------------------------------

// The device model between a DAC's output and an ADC's input, applied in
// this order: the delay (fractional: the interpolator), the gain, the
// biquad sections, the FIR, the polynomial on full scale 1.0 (32767), the
// noise, rounding and clipping to the int16 range.
struct ThroughSettings {
  double gainDb = 0;
  double delaySamples = 0;
  std::vector<std::array<double, 6>> sos;  // b0 b1 b2 a0 a1 a2
  std::vector<double> fir;
  std::vector<double> polynomial;  // x, x^2, x^3, ...
  double noiseLsbRms = 0;
  uint64_t seed = 1;
};

// What a DAC board has played, by its sample index since its channel reset:
// the bytes it accepted (unpaced), or its time line (real-time: the idle
// zeros of an underrun, then the data, as the output file holds it). The
// last kPlayedHistory samples are kept.
class PlayedHistory {
 public:
  static constexpr uint64_t kCapacity = uint64_t{1} << 24;
  // The ring is made here, with the rack: the DAC's write path only copies
  // into it (making 32 MiB there took the real-time DAC's first 10 ms).
  PlayedHistory();
  // Forgets everything (channel reset); the next sample is index 0.
  void reset();
  // Real-time: the timeline position of index 0, once the DAC's clock runs.
  void setStart(int64_t timelinePosition);
  void appendZeros(uint64_t count);
  void append(const uint8_t* bytes, uint64_t count);  // LE bytes; an odd byte waits
  // Real-time: the timeline position of index 0; nullopt until the DAC's
  // clock runs.
  std::optional<int64_t> start();
  // Samples at indexes first .. first + count - 1, zeros where none was
  // played (yet) or kept. Copied in pieces of kCopyPiece, the lock released
  // between them, so a long copy for the ADC never holds up the DAC's write.
  void copy(int64_t first, size_t count, double* out);
  static constexpr size_t kCopyPiece = 4096;
  // Waits until `count` samples have been played since the reset, at most
  // until `deadline`; false when they were not.
  bool waitFor(uint64_t count, std::chrono::steady_clock::time_point deadline);

 private:
  std::mutex mutex_;
  std::condition_variable grown_;
  std::vector<int16_t> ring_;  // kCapacity samples
  uint64_t written_ = 0;       // samples since the reset
  bool halfPending_ = false;
  uint8_t half_ = 0;
  std::optional<int64_t> start_;
};

// An ADC board's input wired to a DAC board's output through the model.
// Processes the DAC's samples in order of the ADC's index (filters keep their
// state), keeping the last outputs so a read that repeats or precedes the
// last one is served the same samples.
class WiredInput {
 public:
  // `waitMs` (unpaced boards): how long a read waits for the DAC samples it
  // needs (awaitDac).
  WiredInput(std::shared_ptr<PlayedHistory> played, const ThroughSettings& through, bool paced,
             uint32_t waitMs);
  // Unpaced boards: waits (at most waitMs) until the DAC has played every
  // sample that ADC samples before `end` need, the interpolator's reach
  // included; false when it has not (the read fails: the samples are not
  // made). Real-time boards: true at once (the DAC's time line is complete).
  bool awaitDac(uint64_t end);
  // ADC samples first .. first + count - 1 as 16-bit LE bytes, without
  // waiting: DAC samples not played read 0. `adcStart`: the timeline
  // position of the ADC's sample 0 (real-time boards).
  void fill(uint8_t* out, uint64_t first, size_t count, std::optional<int64_t> adcStart);
  // Filters at rest, processing restarts at ADC index 0 (channel reset).
  void reset();

 private:
  void process(uint64_t first, size_t count, std::optional<int64_t> adcStart, int16_t* out);
  double step(double x);

  std::mutex mutex_;
  std::shared_ptr<PlayedHistory> played_;
  ThroughSettings through_;
  bool paced_;
  std::chrono::milliseconds wait_;
  double gain_;
  int64_t delayWhole_;
  double delayFraction_;
  std::vector<std::array<double, 2>> sosState_;
  std::vector<std::array<double, 6>> sos_;  // normalised by a0
  std::vector<double> firHistory_;
  size_t firAt_ = 0;
  std::shared_ptr<const SampleSource> noise_;
  uint64_t next_ = 0;  // the next ADC index the model produces
  static constexpr size_t kKept = size_t{1} << 20;
  std::vector<int16_t> kept_;  // outputs by index mod kKept
};

}  // namespace kpx::sim
