#include "virtual_boards/timeline.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

namespace kpx::sim {
namespace {

constexpr int kHalf = kKernelTaps / 2;  // taps on either side of a position
constexpr double kKaiserBeta = 8.6;     // about -90 dB side lobes
constexpr double kFullScale = 32767.0;

// The modified Bessel function I0, by its series (converges fast for the
// window's arguments, at most kKaiserBeta).
double besselI0(double x) {
  double sum = 1, term = 1;
  for (int k = 1; k < 60; ++k) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

double kernelAt(double band, double t) {
  const double u = t / kHalf;
  if (u <= -1 || u >= 1) return 0;
  const double x = std::numbers::pi * band * t;
  const double sinc = t == 0 ? 1 : std::sin(x) / x;
  return band * sinc * besselI0(kKaiserBeta * std::sqrt(1 - u * u)) / besselI0(kKaiserBeta);
}

int16_t toInt16(double v) {
  const double r = std::nearbyint(v);
  return static_cast<int16_t>(std::clamp(r, -32768.0, 32767.0));
}

void storeSample(uint8_t* out, int16_t v) {
  const auto u = static_cast<uint16_t>(v);
  out[0] = static_cast<uint8_t>(u);
  out[1] = static_cast<uint8_t>(u >> 8);
}

int16_t loadSample(const uint8_t* in) {
  return static_cast<int16_t>(static_cast<uint16_t>(in[0] | (in[1] << 8)));
}

// The kernel's sum over 64 samples, in 8 running sums so that the additions
// do not wait for each other (and vectorise).
template <typename Sample>
double weighed(const double* taps, const Sample* s) {
  double sums[8] = {};
  for (int t = 0; t < kKernelTaps; t += 8)
    for (int k = 0; k < 8; ++k) sums[k] += taps[t + k] * static_cast<double>(s[t + k]);
  return ((sums[0] + sums[4]) + (sums[1] + sums[5])) + ((sums[2] + sums[6]) + (sums[3] + sums[7]));
}

// Whole part and fraction of board sample n's position; the sum is split so
// that n itself never passes through a double.
struct Position {
  int64_t whole;
  double fraction;
};

Position positionOf(uint64_t n, const Placement& place) {
  const double e = place.ppm * 1e-6;
  const double d = static_cast<double>(n) * e + place.offset * (1 + e);
  const double whole = std::floor(d);
  return {static_cast<int64_t>(n) + static_cast<int64_t>(whole), d - whole};
}

}  // namespace

// ---- Kernel ---------------------------------------------------------------

Kernel::Kernel(double band) : table_(static_cast<size_t>(kPhases + 1) * kKernelTaps) {
  for (int i = 0; i <= kPhases; ++i) {
    const double f = static_cast<double>(i) / kPhases;
    for (int t = 0; t < kKernelTaps; ++t)
      table_[static_cast<size_t>(i) * kKernelTaps + static_cast<size_t>(t)] =
          kernelAt(band, f + (kHalf - 1) - t);
  }
  if (band < 1) {
    // White noise through the low-pass keeps its rms: unit energy.
    double energy = 0;
    for (int t = 0; t < kKernelTaps; ++t)
      energy += table_[static_cast<size_t>(t)] * table_[static_cast<size_t>(t)];
    const double scale = 1 / std::sqrt(energy);
    for (double& tap : table_) tap *= scale;
  }
}

const Kernel& Kernel::of(double band) {
  static const Kernel interpolator(1.0);
  static const Kernel noise(kNoiseBand);
  return band < 1 ? noise : interpolator;
}

void Kernel::taps(double fraction, double* out) const {
  const double at = fraction * kPhases;
  const auto row = std::min(static_cast<int>(at), kPhases - 1);
  const double a = at - row;
  const double* lo = table_.data() + static_cast<size_t>(row) * kKernelTaps;
  const double* hi = lo + kKernelTaps;
  for (int t = 0; t < kKernelTaps; ++t) out[t] = lo[t] + a * (hi[t] - lo[t]);
}

// ---- Timeline source -----------------------------------------------------

TimelineSource::TimelineSource(std::shared_ptr<const SampleSource> base, bool wraps, bool bandLimit)
    : base_(std::move(base)),
      wraps_(wraps),
      lowPass_(bandLimit ? &Kernel::of(kNoiseBand) : nullptr) {}

void TimelineSource::baseSamples(int64_t first, size_t count, int16_t* out) const {
  std::vector<uint8_t> bytes(count * 2);
  size_t done = 0;
  if (first < 0) {
    const auto before =
        static_cast<size_t>(std::min<uint64_t>(count, static_cast<uint64_t>(-(first + 1)) + 1));
    if (wraps_)
      base_->fill(bytes.data(), static_cast<uint64_t>(first), before);
    else
      std::memset(bytes.data(), 0, before * 2);
    done = before;
  }
  if (done < count)
    base_->fill(bytes.data() + done * 2, static_cast<uint64_t>(first) + done, count - done);
  for (size_t i = 0; i < count; ++i) out[i] = loadSample(bytes.data() + 2 * i);
}

void TimelineSource::fill(uint8_t* out, uint64_t first, size_t count,
                          const Placement& place) const {
  if (count == 0) return;
  const Position start = positionOf(first, place);
  // Whole positions of a band-limited-as-given source: the samples as they are.
  if (!lowPass_ && place.ppm == 0 && start.fraction == 0) {
    if (start.whole >= 0) {  // the source's own bytes, as a board's signal costs
      base_->fill(out, static_cast<uint64_t>(start.whole), count);
      return;
    }
    std::vector<int16_t> samples(count);
    baseSamples(start.whole, count, samples.data());
    for (size_t i = 0; i < count; ++i) storeSample(out + 2 * i, samples[i]);
    return;
  }
  const Position end = positionOf(first + count - 1, place);
  const int64_t from = start.whole - (kHalf - 1);
  std::vector<int16_t> given(static_cast<size_t>(end.whole - start.whole) + kKernelTaps);
  baseSamples(from, given.size(), given.data());
  const std::vector<double> samples(given.begin(), given.end());
  const Kernel& kernel = lowPass_ ? *lowPass_ : Kernel::of(1.0);
  double taps[kKernelTaps];
  double tapsFraction = -1;  // the fraction `taps` holds; without ppm it never changes
  for (size_t i = 0; i < count; ++i) {
    const Position p = place.ppm == 0
                           ? Position{start.whole + static_cast<int64_t>(i), start.fraction}
                           : positionOf(first + i, place);
    const double* s = samples.data() + (p.whole - start.whole);
    double v;
    if (!lowPass_ && p.fraction == 0) {
      v = s[kHalf - 1];
    } else {
      if (p.fraction != tapsFraction) {
        kernel.taps(p.fraction, taps);
        tapsFraction = p.fraction;
      }
      v = weighed(taps, s);
    }
    storeSample(out + 2 * i, toInt16(v));
  }
}

// ---- Played history ----------------------------------------------------------

void PlayedHistory::reset() {
  std::lock_guard lock(mutex_);
  written_ = 0;
  halfPending_ = false;
  start_.reset();
  grown_.notify_all();
}

PlayedHistory::PlayedHistory() : ring_(kCapacity, 0) {}

bool PlayedHistory::waitFor(uint64_t count, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return grown_.wait_until(lock, deadline, [&] { return written_ >= count; });
}

void PlayedHistory::setStart(int64_t timelinePosition) {
  std::lock_guard lock(mutex_);
  start_ = timelinePosition;
}

std::optional<int64_t> PlayedHistory::start() {
  std::lock_guard lock(mutex_);
  return start_;
}

void PlayedHistory::appendZeros(uint64_t count) {
  std::lock_guard lock(mutex_);
  // The last kCapacity of them are kept, zeroed in runs up to the ring's end
  // (an underrun's zeros are on the DAC's write path too).
  const uint64_t kept = std::min(count, kCapacity);
  for (uint64_t at = written_ + count - kept, left = kept; left > 0;) {
    const uint64_t from = at % kCapacity;
    const uint64_t run = std::min(left, kCapacity - from);
    std::fill_n(ring_.begin() + static_cast<std::ptrdiff_t>(from), run, int16_t{0});
    at += run;
    left -= run;
  }
  written_ += count;
  grown_.notify_all();
}

void PlayedHistory::append(const uint8_t* bytes, uint64_t count) {
  std::lock_guard lock(mutex_);
  uint64_t i = 0;
  if (halfPending_ && count > 0) {
    const uint8_t pair[2] = {half_, bytes[0]};
    ring_[written_++ % kCapacity] = loadSample(pair);
    halfPending_ = false;
    i = 1;
  }
  // Whole samples in runs up to the ring's end: this is the DAC's write
  // path, so it costs a copy and no more.
  for (uint64_t pairs = (count - i) / 2; pairs > 0;) {
    const uint64_t at = written_ % kCapacity;
    const uint64_t run = std::min(pairs, kCapacity - at);
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(ring_.data() + at, bytes + i, static_cast<size_t>(run) * 2);
    } else {
      for (uint64_t k = 0; k < run; ++k) ring_[at + k] = loadSample(bytes + i + 2 * k);
    }
    written_ += run;
    i += run * 2;
    pairs -= run;
  }
  if (i < count) {
    half_ = bytes[i];
    halfPending_ = true;
  }
  grown_.notify_all();
}

void PlayedHistory::copy(int64_t first, size_t count, double* out) {
  for (size_t done = 0; done < count;) {
    const size_t piece = std::min(count - done, kCopyPiece);
    std::lock_guard lock(mutex_);
    const auto written = static_cast<int64_t>(written_);
    const int64_t oldest = written - static_cast<int64_t>(std::min<uint64_t>(written_, kCapacity));
    for (size_t i = done; i < done + piece; ++i) {
      const int64_t at = first + static_cast<int64_t>(i);
      out[i] = at >= oldest && at < written ? ring_[static_cast<uint64_t>(at) % kCapacity] : 0.0;
    }
    done += piece;
  }
}

// ---- Wired input ---------------------------------------------------------------

WiredInput::WiredInput(std::shared_ptr<PlayedHistory> played, const ThroughSettings& through,
                       bool paced, uint32_t waitMs)
    : played_(std::move(played)),
      through_(through),
      paced_(paced),
      wait_(waitMs),
      gain_(std::pow(10.0, through.gainDb / 20)),
      delayWhole_(static_cast<int64_t>(std::floor(through.delaySamples))),
      delayFraction_(through.delaySamples - std::floor(through.delaySamples)),
      sosState_(through.sos.size(), {0, 0}),
      firHistory_(through.fir.size(), 0),
      kept_(kKept, 0) {
  for (const auto& s : through.sos)
    sos_.push_back({s[0] / s[3], s[1] / s[3], s[2] / s[3], 1, s[4] / s[3], s[5] / s[3]});
  if (through.noiseLsbRms > 0) {
    SignalSettings noise;
    KpxWave_DefaultSettings(&noise.wave, KPXWAVE_NOISE, 1);
    noise.wave.amplitudeDbfs = 20 * std::log10(through.noiseLsbRms / kFullScale);
    noise.wave.seed = through.seed;
    std::string reason;
    noise_ = SampleSource::make(noise, 1, reason);
  }
}

void WiredInput::reset() {
  std::lock_guard lock(mutex_);
  next_ = 0;
  for (auto& s : sosState_) s = {0, 0};
  std::fill(firHistory_.begin(), firHistory_.end(), 0.0);
  firAt_ = 0;
}

double WiredInput::step(double x) {
  for (size_t i = 0; i < sos_.size(); ++i) {
    const auto& c = sos_[i];
    auto& s = sosState_[i];
    const double y = c[0] * x + s[0];  // transposed direct form II
    s[0] = c[1] * x - c[4] * y + s[1];
    s[1] = c[2] * x - c[5] * y;
    x = y;
  }
  if (!firHistory_.empty()) {
    const size_t n = firHistory_.size();
    firAt_ = (firAt_ + n - 1) % n;
    firHistory_[firAt_] = x;
    double y = 0;
    for (size_t k = 0; k < n; ++k) y += through_.fir[k] * firHistory_[(firAt_ + k) % n];
    x = y;
  }
  if (!through_.polynomial.empty()) {
    const double u = x / kFullScale;
    double y = 0;
    for (size_t k = through_.polynomial.size(); k-- > 0;) y = (y + through_.polynomial[k]) * u;
    x = y * kFullScale;
  }
  return x;
}

void WiredInput::process(uint64_t first, size_t count, std::optional<int64_t> adcStart,
                         int16_t* out) {
  // The DAC sample that ADC sample n sees (before the delay): the same index
  // unpaced, the same timeline instant in real time.
  std::optional<int64_t> shift = 0;
  if (paced_) {
    const auto dacStart = played_->start();
    shift.reset();
    if (adcStart && dacStart) shift = *adcStart - *dacStart;
  }
  std::vector<double> input(count + kKernelTaps, 0.0);
  const bool fractional = delayFraction_ != 0;
  if (shift) {
    // Position m - delay = (m - whole - 1) + (1 - fraction).
    const int64_t m0 = static_cast<int64_t>(first) + *shift - delayWhole_ - (fractional ? 1 : 0);
    played_->copy(m0 - (kHalf - 1), input.size(), input.data());
  }
  double taps[kKernelTaps];
  if (fractional) Kernel::of(1.0).taps(1 - delayFraction_, taps);
  std::vector<int16_t> noise(noise_ ? count : 0);
  if (noise_) {
    std::vector<uint8_t> bytes(count * 2);
    noise_->fill(bytes.data(), first, count);
    for (size_t i = 0; i < count; ++i) noise[i] = loadSample(bytes.data() + 2 * i);
  }
  for (size_t i = 0; i < count; ++i) {
    double x;
    if (fractional) {
      x = weighed(taps, input.data() + i);
    } else {
      x = input[i + kHalf - 1];
    }
    x = step(gain_ * x);
    if (noise_) x += noise[i];
    out[i] = toInt16(x);
  }
}

bool WiredInput::awaitDac(uint64_t end) {
  if (paced_) return true;
  {
    std::lock_guard lock(mutex_);
    if (end <= next_) return true;  // made before: served as they were
  }
  // An unpaced ADC keeps pace with the DAC it listens to.
  const int64_t needed =
      static_cast<int64_t>(end) - delayWhole_ + (delayFraction_ != 0 ? kHalf - 1 : 0);
  if (needed <= 0) return true;
  return played_->waitFor(static_cast<uint64_t>(needed), std::chrono::steady_clock::now() + wait_);
}

void WiredInput::fill(uint8_t* out, uint64_t first, size_t count, std::optional<int64_t> adcStart) {
  std::lock_guard lock(mutex_);
  // Older than the outputs kept: the model starts again there, at rest.
  if (first < next_ && next_ - first > kKept / 2) {
    next_ = first;
    for (auto& s : sosState_) s = {0, 0};
    std::fill(firHistory_.begin(), firHistory_.end(), 0.0);
  }
  const uint64_t end = first + count;
  std::vector<int16_t> made;
  for (uint64_t at = first; at < end;) {
    if (at < next_) {
      // Served from what the model made before.
      const uint64_t stop = std::min(end, next_);
      for (; at < stop; ++at) storeSample(out + 2 * (at - first), kept_[at % kKept]);
      continue;
    }
    // Made in order from next_, the samples skipped included, so the filters
    // see the whole stream.
    const auto chunk = static_cast<size_t>(std::min<uint64_t>(end - next_, kKept / 2));
    made.resize(chunk);
    process(next_, chunk, adcStart, made.data());
    for (size_t i = 0; i < chunk; ++i) kept_[(next_ + i) % kKept] = made[i];
    next_ += chunk;
  }
}

}  // namespace kpx::sim
