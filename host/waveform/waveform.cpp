// The waveform generator behind kpxadac_waveform.h.
//
// Every sample is a function of its index: the sines take their phase from a
// 64-bit accumulator value computed exactly for the index (phase0 + k * step,
// modulo 2^64; a chirp adds a step that grows by a fixed amount each sample),
// the noise from a counter-based generator. Generation goes in chunks: at the
// start of each the exact phase is turned into a phasor once, and inside the
// chunk 16 interleaved lanes rotate in single precision, which the compiler
// vectorises. Re-anchoring each chunk keeps the rotation's rounding far below
// one LSB, and because the anchor is exact there is no edge at any block
// boundary.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <numbers>
#include <vector>

#include "kpxadac_waveform.h"

// The inner loops are built twice on x86-64 Linux, for AVX2 and for the
// baseline, and the loader picks the one the processor runs.
// Not under ThreadSanitizer: the clones' resolver runs while the program is
// being loaded, before the sanitizer's runtime, and its instrumented code crashes.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__)
#define KPXWAVE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KPXWAVE_CLONES
#endif

namespace {

constexpr size_t kLanes = 16;
constexpr size_t kChunk = 1024;  // a multiple of kLanes
constexpr double kFullScale = 32767.0;
constexpr double kTwoToThe64 = 18446744073709551616.0;
constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;
// Separate streams from one seed: the noise waveform's and the pulse
// intervals' differ from the added noise's, which keeps the plain seed.
constexpr uint64_t kNoiseWaveStream = 0x632BE59BD9B4E019ull;
constexpr uint64_t kPulseStream = 0xD1B54A32D192ED03ull;

struct Phasor {
  double c, s;
};

Phasor multiply(Phasor a, Phasor b) {
  return {a.c * b.c - a.s * b.s, a.s * b.c + a.c * b.s};
}

Phasor phasorOf(uint64_t phase) {
  const double angle = 2.0 * std::numbers::pi * (static_cast<double>(phase) * 0x1p-64);
  return {std::cos(angle), std::sin(angle)};
}

// The phase step of a frequency: the fraction of a cycle per sample, times
// 2^64, rounded; frequencies at or above the rate fold.
uint64_t stepOf(double frequencyHz, double rateHz) {
  double cycles = frequencyHz / rateHz;
  cycles -= std::floor(cycles);
  const double step = std::round(cycles * kTwoToThe64);
  return step >= kTwoToThe64 ? 0 : static_cast<uint64_t>(step);
}

uint64_t phaseOfDegrees(double degrees) {
  double turns = degrees / 360.0;
  turns -= std::floor(turns);
  const double phase = std::round(turns * kTwoToThe64);
  return phase >= kTwoToThe64 ? 0 : static_cast<uint64_t>(phase);
}

double levelOf(double dbfs) {
  return kFullScale * std::pow(10.0, dbfs / 20.0);
}

// splitmix64's output function: value m of a stream is mix(seed + (m + 1) * golden).
uint64_t mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double uniformAt(uint64_t seed, uint64_t m) {  // in (0, 1]
  return (static_cast<double>(mix(seed + (m + 1) * kGolden) >> 11) + 1.0) * 0x1p-53;
}

// Adds scale * N(0, 1) for samples first .. first + count - 1. Gaussian k
// comes from Box-Muller on uniforms 2p and 2p + 1 (p = k / 2): the cosine for
// even k, the sine for odd k.
void addGaussian(float* acc, size_t count, uint64_t first, double scale, uint64_t seed) {
  size_t i = 0;
  while (i < count) {
    const uint64_t k = first + i;
    const uint64_t pair = k >> 1;
    const double radius = scale * std::sqrt(-2.0 * std::log(uniformAt(seed, 2 * pair)));
    const double angle = 2.0 * std::numbers::pi * uniformAt(seed, 2 * pair + 1);
    if ((k & 1) == 0) {
      acc[i++] += static_cast<float>(radius * std::cos(angle));
      if (i == count) break;
    }
    acc[i++] += static_cast<float>(radius * std::sin(angle));
  }
}

// The rotations of a sine's lanes, kept between chunks: they change only
// with the step (every chunk of a chirp) and its growth (never).
struct Rotations {
  static constexpr uint64_t kNone = ~uint64_t{0};
  uint64_t step = kNone, growth = kNone;
  Phasor r{}, laneStep{}, growthPhasor{}, laneGrowth{}, perStep{};

  void follow(uint64_t newStep, uint64_t newGrowth) {
    constexpr uint64_t lanes = kLanes;
    if (newGrowth != growth) {
      growth = newGrowth;
      growthPhasor = phasorOf(growth);
      laneGrowth = phasorOf(lanes * growth);
      perStep = phasorOf(lanes * lanes * growth);
      step = kNone;
    }
    if (newStep != step) {
      step = newStep;
      r = phasorOf(step);
      laneStep = phasorOf(lanes * step + growth * (lanes * (lanes - 1) / 2));
    }
  }
};

// Adds (or, with `assign`, stores) amplitude * sin(phase_j) for j = 0 ..
// count - 1, rounded up to whole lanes (acc holds kChunk floats), where
// phase_j = phase + j * step + stepGrowth * j (j - 1) / 2 modulo 2^64.
KPXWAVE_CLONES void addSine(float* acc, size_t count, uint64_t phase, uint64_t step,
                            uint64_t stepGrowth, Rotations& rotations, double amplitude,
                            bool assign) {
  rotations.follow(step, stepGrowth);
  // Lane starting phasors, and each lane's rotation per kLanes samples.
  float pc[kLanes], ps[kLanes], rc[kLanes], rs[kLanes];
  Phasor p = phasorOf(phase);
  Phasor r = rotations.r;
  const Phasor growth = rotations.growthPhasor;
  Phasor laneStep = rotations.laneStep;
  const Phasor laneGrowth = rotations.laneGrowth;
  for (size_t j = 0; j < kLanes; ++j) {
    pc[j] = static_cast<float>(amplitude * p.c);
    ps[j] = static_cast<float>(amplitude * p.s);
    rc[j] = static_cast<float>(laneStep.c);
    rs[j] = static_cast<float>(laneStep.s);
    p = multiply(p, r);
    r = multiply(r, growth);
    laneStep = multiply(laneStep, laneGrowth);
  }
  const size_t steps = (count + kLanes - 1) / kLanes;
  if (stepGrowth == 0) {
    for (size_t m = 0; m < steps; ++m) {
      float* out = acc + m * kLanes;
      if (assign) {
        for (size_t j = 0; j < kLanes; ++j) out[j] = ps[j];
      } else {
        for (size_t j = 0; j < kLanes; ++j) out[j] += ps[j];
      }
      for (size_t j = 0; j < kLanes; ++j) {
        const float c = pc[j] * rc[j] - ps[j] * rs[j];
        const float s = ps[j] * rc[j] + pc[j] * rs[j];
        pc[j] = c;
        ps[j] = s;
      }
    }
    return;
  }
  // A chirp: each lane's rotation itself turns by laneStepGrowth per step.
  const Phasor perStep = rotations.perStep;
  const auto dc = static_cast<float>(perStep.c), ds = static_cast<float>(perStep.s);
  for (size_t m = 0; m < steps; ++m) {
    float* out = acc + m * kLanes;
    if (assign) {
      for (size_t j = 0; j < kLanes; ++j) out[j] = ps[j];
    } else {
      for (size_t j = 0; j < kLanes; ++j) out[j] += ps[j];
    }
    for (size_t j = 0; j < kLanes; ++j) {
      const float c = pc[j] * rc[j] - ps[j] * rs[j];
      const float s = ps[j] * rc[j] + pc[j] * rs[j];
      pc[j] = c;
      ps[j] = s;
      const float nc = rc[j] * dc - rs[j] * ds;
      const float ns = rs[j] * dc + rc[j] * ds;
      rc[j] = nc;
      rs[j] = ns;
    }
  }
}

// Rounds to the nearest integer (ties to even) and saturates at 16 bits.
KPXWAVE_CLONES void quantize(const float* acc, int16_t* out, size_t count) {
  constexpr float kRound = 12582912.0f;  // 1.5 * 2^23: adding it rounds |x| < 2^22
  for (size_t i = 0; i < count; ++i) {
    // Rounded while a float (exact for |x| < 2^22, far beyond any level
    // here), saturated as an integer: both vectorise.
    auto v = static_cast<int32_t>((acc[i] + kRound) - kRound);
    v = std::min(std::max(v, -32768), 32767);
    out[i] = static_cast<int16_t>(v);
  }
}

// r (r - 1) / 2 modulo 2^64, exactly.
uint64_t triangle(uint64_t r) {
  if (r == 0) return 0;
  return (r % 2 == 0) ? (r / 2) * (r - 1) : r * ((r - 1) / 2);
}

bool isFinite(double x) {
  return std::isfinite(x);
}

}  // namespace

struct KpxWave {
  int32_t waveform = KPXWAVE_TONE;
  uint64_t position = 0;
  // Sines: tone (with its harmonics), multitone, chirp, square's phase.
  struct Sine {
    uint64_t phase0;
    uint64_t step;
    double amplitude;
    Rotations rotations{};
  };
  std::vector<Sine> sines;
  // Chirp: per sweep of sweepLength samples the step grows from startStep by
  // stepGrowth each sample; sweepPhase is the phase one sweep adds.
  uint64_t sweepLength = 0, startStep = 0, stepGrowth = 0, sweepPhase = 0, chirpPhase0 = 0;
  double chirpAmplitude = 0, rateHz = 0;
  Rotations chirpRotations;
  // Square.
  uint64_t squarePhase0 = 0, squareStep = 0, dutyThreshold = 0;
  bool alwaysHigh = false;
  // Pulse, dc, noise levels.
  float high = 0, low = 0;
  uint64_t width = 0, period = 0, minInterval = 0, maxInterval = 0;
  // Random pulses: the pulse that starts at pulseStart is number pulseNumber.
  uint64_t pulseStart = 0, pulseNumber = 0, pulseSeed = 0;
  double noiseRms = 0, addedNoise = 0;
  uint64_t seed = 0;
  float acc[kChunk];

  uint64_t interval(uint64_t number) const {
    const uint64_t span = maxInterval - minInterval + 1;
    return minInterval + (span == 0 ? mix(pulseSeed + (number + 1) * kGolden)
                                    : mix(pulseSeed + (number + 1) * kGolden) % span);
  }

  void seek(uint64_t index) {
    position = index;
    if (waveform == KPXWAVE_PULSE && period == 0) findPulse(index);
  }

  // Random pulses: moves to the pulse whose interval holds sample `index`.
  void findPulse(uint64_t index) {
    if (index < pulseStart) pulseStart = pulseNumber = 0;
    while (pulseStart + interval(pulseNumber) <= index) {
      pulseStart += interval(pulseNumber);
      ++pulseNumber;
    }
  }

  // Makes up to `count` (<= kChunk) samples from `position`: they are
  // acc[offset .. offset + count - 1].
  struct Span {
    size_t offset, count;
  };
  Span fill(size_t count);
  void generate(int16_t* out, uint64_t count);
};

// Sines are made in chunks that start at fixed indices (multiples of kChunk,
// in a chirp counted from the start of each sweep), so that every sample
// comes out of the same arithmetic however the calls are cut.
KpxWave::Span KpxWave::fill(size_t count) {
  const uint64_t first = position;
  Span span{0, count};
  switch (waveform) {
    case KPXWAVE_TONE:
    case KPXWAVE_MULTITONE: {
      const uint64_t anchor = first - first % kChunk;
      span.offset = static_cast<size_t>(first - anchor);
      span.count = std::min(count, kChunk - span.offset);
      const size_t made = span.offset + span.count;
      for (size_t i = 0; i < sines.size(); ++i)
        addSine(acc, made, sines[i].phase0 + anchor * sines[i].step, sines[i].step, 0,
                sines[i].rotations, sines[i].amplitude, i == 0);
      break;
    }
    case KPXWAVE_CHIRP: {
      const uint64_t sweep = first / sweepLength, r = first % sweepLength;
      const uint64_t anchor = r - r % kChunk;  // within the sweep
      span.offset = static_cast<size_t>(r - anchor);
      const auto chunkEnd = std::min<uint64_t>(anchor + kChunk, sweepLength);
      span.count = static_cast<size_t>(std::min<uint64_t>(count, chunkEnd - r));
      const uint64_t phase =
          chirpPhase0 + sweep * sweepPhase + anchor * startStep + triangle(anchor) * stepGrowth;
      addSine(acc, span.offset + span.count, phase, startStep + anchor * stepGrowth, stepGrowth,
              chirpRotations, chirpAmplitude, true);
      break;
    }
    case KPXWAVE_SQUARE:
      for (size_t i = 0; i < count; ++i) {
        const uint64_t phase = squarePhase0 + (first + i) * squareStep;
        acc[i] = (alwaysHigh || phase < dutyThreshold) ? high : low;
      }
      break;
    case KPXWAVE_PULSE:
      if (period != 0) {
        for (size_t i = 0; i < count; ++i) acc[i] = (first + i) % period < width ? high : low;
      } else {
        for (size_t i = 0; i < count; ++i) {
          findPulse(first + i);
          acc[i] = first + i - pulseStart < width ? high : low;
        }
      }
      break;
    case KPXWAVE_NOISE:
      std::fill(acc, acc + count, 0.0f);
      addGaussian(acc, count, first, noiseRms, seed + kNoiseWaveStream);
      break;
    case KPXWAVE_DC:
      std::fill(acc, acc + count, high);
      break;
    default:  // ramp
      for (size_t i = 0; i < count; ++i)
        acc[i] = static_cast<float>(static_cast<int16_t>(static_cast<uint16_t>(first + i)));
      break;
  }
  if (addedNoise > 0) addGaussian(acc + span.offset, span.count, first, addedNoise, seed);
  return span;
}

void KpxWave::generate(int16_t* out, uint64_t count) {
  while (count > 0) {
    const Span span = fill(static_cast<size_t>(std::min<uint64_t>(count, kChunk)));
    quantize(acc + span.offset, out, span.count);
    out += span.count;
    count -= span.count;
    position += span.count;
  }
}

extern "C" {

void KpxWave_DefaultSettings(KpxWaveSettings* settings, int32_t waveform, double sampleRateHz) {
  if (!settings) return;
  *settings = KpxWaveSettings{};
  settings->waveform = waveform;
  settings->sampleRateHz = sampleRateHz;
  settings->frequencyCount = 1;
  settings->frequenciesHz[0] = 1e6;
  settings->amplitudeDbfs = waveform == KPXWAVE_NOISE ? -20.0 : -1.0;
  settings->startHz = sampleRateHz / 20;
  settings->stopHz = sampleRateHz * 9 / 20;
  settings->sweepTimeS = 1e-3;
  settings->duty = 0.5;
  settings->widthSamples = 100;
  settings->periodSamples = 1000;
  settings->minIntervalSamples = 500;
  settings->maxIntervalSamples = 2000;
  settings->seed = 1;
}

int32_t KpxWave_Create(const KpxWaveSettings* settings, KpxWave** wave) {
  if (!settings || !wave) return KPXWAVE_ERR_NULL;
  *wave = nullptr;
  const KpxWaveSettings& s = *settings;
  if (s.waveform < KPXWAVE_TONE || s.waveform > KPXWAVE_RAMP) return KPXWAVE_ERR_WAVEFORM;
  if (!isFinite(s.sampleRateHz) || s.sampleRateHz <= 0) return KPXWAVE_ERR_RATE;
  const double rate = s.sampleRateHz;
  const double maxFrequency = KpxWave_MaxFrequencyHz(rate);
  const auto frequencyOk = [maxFrequency](double f) {
    return isFinite(f) && f >= 0 && f <= maxFrequency;
  };
  const bool usesAmplitude = s.waveform != KPXWAVE_RAMP;
  if (usesAmplitude && !(isFinite(s.amplitudeDbfs) && s.amplitudeDbfs <= 0))
    return KPXWAVE_ERR_AMPLITUDE;
  if (!isFinite(s.phaseDeg)) return KPXWAVE_ERR_ARGUMENT;
  if (!(isFinite(s.noiseLsbRms) && s.noiseLsbRms >= 0 && s.noiseLsbRms <= kFullScale))
    return KPXWAVE_ERR_ARGUMENT;

  KpxWave* w = new (std::nothrow) KpxWave;
  if (!w) return KPXWAVE_ERR_NO_MEMORY;
  w->waveform = s.waveform;
  w->rateHz = rate;
  w->seed = s.seed;
  w->addedNoise = s.noiseLsbRms;
  const double amplitude = usesAmplitude ? levelOf(s.amplitudeDbfs) : 0;
  const uint64_t phase0 = phaseOfDegrees(s.phaseDeg);
  int32_t result = KPXWAVE_OK;
  try {
    switch (s.waveform) {
      case KPXWAVE_TONE: {
        if (!frequencyOk(s.frequenciesHz[0])) {
          result = KPXWAVE_ERR_FREQUENCY;
          break;
        }
        const uint64_t step = stepOf(s.frequenciesHz[0], rate);
        w->sines.push_back({phase0, step, amplitude});
        double peak = amplitude;
        for (uint64_t i = 0; i < KPXWAVE_HARMONICS; ++i) {
          if ((s.harmonicsUsed & (1u << i)) == 0) continue;
          const double dbc = s.harmonicsDbc[i];
          if (!(isFinite(dbc) && dbc >= -200 && dbc <= 0)) {
            result = KPXWAVE_ERR_ARGUMENT;
            break;
          }
          const uint64_t order = i + 2;
          const double level = amplitude * std::pow(10.0, dbc / 20.0);
          w->sines.push_back({order * phase0, order * step, level});
          peak += level;
        }
        // A hair of slack for the rounding of the levels themselves.
        if (result == KPXWAVE_OK && peak > kFullScale * (1 + 1e-12)) result = KPXWAVE_ERR_AMPLITUDE;
        break;
      }
      case KPXWAVE_MULTITONE: {
        if (s.frequencyCount < 1 || s.frequencyCount > KPXWAVE_MAX_TONES) {
          result = KPXWAVE_ERR_FREQUENCY;
          break;
        }
        // Each tone at 1/n of the amplitude: the sum peaks at the amplitude
        // when the phases meet.
        const double each = amplitude / s.frequencyCount;
        for (uint32_t i = 0; i < s.frequencyCount && result == KPXWAVE_OK; ++i) {
          if (!frequencyOk(s.frequenciesHz[i])) result = KPXWAVE_ERR_FREQUENCY;
          w->sines.push_back({phase0, stepOf(s.frequenciesHz[i], rate), each});
        }
        break;
      }
      case KPXWAVE_CHIRP: {
        if (!frequencyOk(s.startHz) || !frequencyOk(s.stopHz)) {
          result = KPXWAVE_ERR_FREQUENCY;
          break;
        }
        const double length = std::round(s.sweepTimeS * rate);
        if (!(isFinite(length) && length >= 2 && length < 0x1p62)) {
          result = KPXWAVE_ERR_ARGUMENT;
          break;
        }
        w->sweepLength = static_cast<uint64_t>(length);
        w->startStep = stepOf(s.startHz, rate);
        const double stopStep = std::round(s.stopHz / rate * kTwoToThe64);
        const double growth = (stopStep - static_cast<double>(w->startStep)) / length;
        // Two's complement: a falling sweep's growth wraps like the phase.
        w->stepGrowth = static_cast<uint64_t>(static_cast<int64_t>(std::round(growth)));
        w->sweepPhase = w->sweepLength * w->startStep + triangle(w->sweepLength) * w->stepGrowth;
        w->chirpPhase0 = phase0;
        w->chirpAmplitude = amplitude;
        break;
      }
      case KPXWAVE_SQUARE:
        if (!frequencyOk(s.frequenciesHz[0])) {
          result = KPXWAVE_ERR_FREQUENCY;
          break;
        }
        if (!(isFinite(s.duty) && s.duty >= 0 && s.duty <= 1)) {
          result = KPXWAVE_ERR_ARGUMENT;
          break;
        }
        w->squarePhase0 = phase0;
        w->squareStep = stepOf(s.frequenciesHz[0], rate);
        w->alwaysHigh = s.duty >= 1;
        w->dutyThreshold = w->alwaysHigh ? 0 : static_cast<uint64_t>(s.duty * kTwoToThe64);
        w->high = static_cast<float>(amplitude);
        w->low = static_cast<float>(-amplitude);
        break;
      case KPXWAVE_PULSE:
        if (s.widthSamples < 1 || s.baselineLsb < -32768 || s.baselineLsb > 32767 ||
            (s.periodSamples != 0 && s.periodSamples <= s.widthSamples) ||
            (s.periodSamples == 0 && (s.minIntervalSamples <= s.widthSamples ||
                                      s.maxIntervalSamples < s.minIntervalSamples))) {
          result = KPXWAVE_ERR_ARGUMENT;
          break;
        }
        w->width = s.widthSamples;
        w->period = s.periodSamples;
        w->minInterval = s.minIntervalSamples;
        w->maxInterval = s.maxIntervalSamples;
        w->pulseSeed = s.seed + kPulseStream;
        w->high = static_cast<float>(std::round(amplitude));
        w->low = static_cast<float>(s.baselineLsb);
        break;
      case KPXWAVE_NOISE:
        w->noiseRms = amplitude;
        break;
      case KPXWAVE_DC:
        w->high = static_cast<float>(std::round(amplitude));
        break;
      default:
        break;
    }
  } catch (const std::bad_alloc&) {
    result = KPXWAVE_ERR_NO_MEMORY;
  }
  if (result != KPXWAVE_OK) {
    delete w;
    return result;
  }
  *wave = w;
  return KPXWAVE_OK;
}

void KpxWave_Destroy(KpxWave* wave) {
  delete wave;
}

int32_t KpxWave_Generate(KpxWave* wave, int16_t* samples, uint64_t count) {
  if (!wave || (!samples && count > 0)) return KPXWAVE_ERR_NULL;
  wave->generate(samples, count);
  return KPXWAVE_OK;
}

int32_t KpxWave_GenerateLittleEndian(KpxWave* wave, uint8_t* bytes, uint64_t count) {
  if (!wave || (!bytes && count > 0)) return KPXWAVE_ERR_NULL;
  int16_t chunk[kChunk];
  while (count > 0) {
    const auto n = static_cast<size_t>(std::min<uint64_t>(count, kChunk));
    wave->generate(chunk, n);
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(bytes, chunk, n * 2);
    } else {
      for (size_t i = 0; i < n; ++i) {
        const auto v = static_cast<uint16_t>(chunk[i]);
        bytes[2 * i] = static_cast<uint8_t>(v & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(v >> 8);
      }
    }
    bytes += n * 2;
    count -= n;
  }
  return KPXWAVE_OK;
}

int32_t KpxWave_Seek(KpxWave* wave, uint64_t index) {
  if (!wave) return KPXWAVE_ERR_NULL;
  wave->seek(index);
  return KPXWAVE_OK;
}

uint64_t KpxWave_Position(const KpxWave* wave) {
  return wave ? wave->position : 0;
}

double KpxWave_MaxFrequencyHz(double sampleRateHz) {
  return isFinite(sampleRateHz) && sampleRateHz > 0 ? sampleRateHz / 2 : 0;
}

double KpxWave_ActualFrequencyHz(const KpxWave* wave, uint32_t tone) {
  if (!wave) return 0;
  const auto frequency = [wave](uint64_t step) {
    return static_cast<double>(step) * 0x1p-64 * wave->rateHz;
  };
  switch (wave->waveform) {
    case KPXWAVE_TONE:
      return tone == 0 ? frequency(wave->sines[0].step) : 0;
    case KPXWAVE_MULTITONE:
      return tone < wave->sines.size() ? frequency(wave->sines[tone].step) : 0;
    case KPXWAVE_SQUARE:
      return tone == 0 ? frequency(wave->squareStep) : 0;
    case KPXWAVE_CHIRP:
      if (tone == 0) return frequency(wave->startStep);
      if (tone == 1) return frequency(wave->startStep + wave->sweepLength * wave->stepGrowth);
      return 0;
    default:
      return 0;
  }
}

}  // extern "C"
