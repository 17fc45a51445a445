#include "virtual_boards/signal_generator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>

namespace kpx::sim {
namespace {

uint16_t toLittleEndian(uint16_t v) {
  if constexpr (std::endian::native == std::endian::little) return v;
  return static_cast<uint16_t>((v >> 8) | (v << 8));
}

// splitmix64: tiny, seedable, and the same on every host and standard
// library, unlike std::normal_distribution.
struct NoiseSource {
  explicit NoiseSource(uint64_t seed) : state(seed) {}
  uint64_t state;
  double spare = 0;
  bool hasSpare = false;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uniform() {  // in (0, 1]
    return (static_cast<double>(next() >> 11) + 1.0) * (1.0 / 9007199254740992.0);
  }
  // Box-Muller, both values of each pair used.
  double gaussian() {
    if (hasSpare) {
      hasSpare = false;
      return spare;
    }
    const double radius = std::sqrt(-2.0 * std::log(uniform()));
    const double angle = 2.0 * std::numbers::pi * uniform();
    spare = radius * std::sin(angle);
    hasSpare = true;
    return radius * std::cos(angle);
  }
};

bool sameRequest(const SignalSettings& a, double rateA, const SignalSettings& b, double rateB) {
  if (a.kind != b.kind) return false;
  if (a.kind == SignalSettings::Kind::kRamp) return true;
  return a.frequencyHz == b.frequencyHz && a.amplitudeDbfs == b.amplitudeDbfs &&
         a.noiseLsbRms == b.noiseLsbRms && a.seed == b.seed && a.harmonicsDbc == b.harmonicsDbc &&
         rateA == rateB;
}

}  // namespace

std::shared_ptr<const SampleSource> SampleSource::make(const SignalSettings& settings,
                                                       double sampleRateHz) {
  // Building a tone period takes a few milliseconds; racks are rebuilt for
  // every test, so recent sources are kept and shared.
  struct Cached {
    SignalSettings settings;
    double rate;
    std::shared_ptr<const SampleSource> source;
  };
  static std::mutex cacheMutex;
  static std::vector<Cached> cache;
  {
    std::lock_guard lock(cacheMutex);
    for (const Cached& c : cache)
      if (sameRequest(c.settings, c.rate, settings, sampleRateHz)) return c.source;
  }

  auto source = std::make_shared<SampleSource>();
  if (settings.kind == SignalSettings::Kind::kRamp) {
    source->period_.resize(65536);
    for (size_t k = 0; k < source->period_.size(); ++k)
      source->period_[k] = toLittleEndian(static_cast<uint16_t>(k));
  } else {
    const double n = static_cast<double>(kTonePeriod);
    const double wanted =
        sampleRateHz > 0 ? std::round(settings.frequencyHz * n / sampleRateHz) : 0;
    const uint64_t cycles = static_cast<uint64_t>(std::min(wanted, n));
    const double amplitude = 32767.0 * std::pow(10.0, settings.amplitudeDbfs / 20.0);
    // Only the harmonics asked for cost anything; each is sampled where it
    // falls, so one above Nyquist folds as it would on a real ADC.
    struct Partial {
      uint64_t order;
      double amplitude;
    };
    std::vector<Partial> harmonics;
    for (size_t i = 0; i < settings.harmonicsDbc.size(); ++i)
      if (settings.harmonicsDbc[i])
        harmonics.push_back({i + SignalSettings::kFirstHarmonic,
                             amplitude * std::pow(10.0, *settings.harmonicsDbc[i] / 20.0)});
    NoiseSource noise{settings.seed};
    source->period_.resize(kTonePeriod);
    const auto sineOfStep = [n](uint64_t step) {
      return std::sin(2.0 * std::numbers::pi * static_cast<double>(step) / n);
    };
    for (size_t k = 0; k < kTonePeriod; ++k) {
      // The phase in whole steps of 1/kTonePeriod cycle, exact for every k.
      const uint64_t step = (cycles * k) % kTonePeriod;
      double v = amplitude * sineOfStep(step);
      for (const Partial& h : harmonics)
        v += h.amplitude * sineOfStep((h.order * step) % kTonePeriod);
      if (settings.noiseLsbRms > 0) v += settings.noiseLsbRms * noise.gaussian();
      v = std::clamp(std::round(v), -32768.0, 32767.0);
      source->period_[k] = toLittleEndian(static_cast<uint16_t>(static_cast<int16_t>(v)));
    }
  }

  std::lock_guard lock(cacheMutex);
  if (cache.size() >= 8) cache.erase(cache.begin());
  cache.push_back({settings, sampleRateHz, source});
  return source;
}

void SampleSource::fill(uint8_t* out, uint64_t first, size_t count) const {
  const size_t n = period_.size();
  size_t at = static_cast<size_t>(first % n);
  while (count > 0) {
    const size_t run = std::min(count, n - at);
    std::memcpy(out, period_.data() + at, run * 2);
    out += run * 2;
    count -= run;
    at = 0;
  }
}

void SampleSource::fillBytes(uint8_t* out, uint64_t position, size_t length) const {
  if (length == 0) return;
  if (position % 2 != 0) {  // second byte of a sample
    uint8_t pair[2];
    fill(pair, position / 2, 1);
    *out++ = pair[1];
    ++position;
    --length;
  }
  const size_t whole = length / 2;
  fill(out, position / 2, whole);
  if (length % 2 != 0) {  // first byte of a sample
    uint8_t pair[2];
    fill(pair, position / 2 + whole, 1);
    out[whole * 2] = pair[0];
  }
}

int16_t SampleSource::sample(uint64_t index) const {
  uint8_t pair[2];
  fill(pair, index, 1);
  return static_cast<int16_t>(static_cast<uint16_t>(pair[0] | (pair[1] << 8)));
}

}  // namespace kpx::sim
