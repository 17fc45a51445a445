// Stimulus and response numerics (kpxadac/response.h): the plans and their
// stimuli, the latency by cross-correlation, and the three methods'
// analyses. docs/response.md gives the reasoning behind each step.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numbers>
#include <optional>
#include <string_view>

#include "real_fft.h"
#include "response_core.h"

namespace kpx::response {
namespace {

namespace detail = kpx::analysis::detail;
using Complex = std::complex<double>;
constexpr double kPi = std::numbers::pi;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kQualityCapDb = 300.0;
constexpr double kInt16Scale = 32767.0;

constexpr size_t kMinPeriod = size_t{1} << 14;
constexpr size_t kMaxPeriod = size_t{1} << 22;
// A multitone frequency moves to a bin at most this fraction away.
constexpr double kMaxMove = 0.005;
constexpr size_t kMaxCorrelation = size_t{1} << 20;  // stimulus samples correlated
constexpr size_t kChirpLength = 16384;
constexpr size_t kChirpGap = 4096;
constexpr size_t kMinSettle = 4096;
constexpr size_t kToneFade = 1024;  // within the settling time
constexpr uint32_t kMinCycles = 8;
constexpr size_t kMinIntegration = 4096;
constexpr uint32_t kDefaultAverages = 4;
constexpr int kDefaultHarmonics = 5;
constexpr size_t kMaxImpulseGrid = size_t{1} << 23;

// Thrown inside; turned into a result code at the C boundary.
struct Refusal {
  int32_t code;
};

size_t nextPowerOfTwo(size_t n) {
  return std::bit_ceil(std::max<size_t>(n, 2));
}

// The requested frequencies, before the method moves them.
std::vector<double> requestedFrequencies(const KpxResponseRequest& r) {
  std::vector<double> f(r.points);
  for (uint32_t i = 0; i < r.points; ++i) {
    const double t = r.points == 1 ? 0.0 : static_cast<double>(i) / (r.points - 1);
    f[i] = r.spacing == KPXRESPONSE_SPACING_LOG ? r.startHz * std::pow(r.stopHz / r.startHz, t)
                                                : r.startHz + (r.stopHz - r.startHz) * t;
  }
  return f;
}

void checkRequest(const KpxResponseRequest& r) {
  if (r.method < KPXRESPONSE_METHOD_SINE || r.method > KPXRESPONSE_METHOD_SWEEP)
    throw Refusal{KPXRESPONSE_ERR_METHOD};
  if (r.spacing != KPXRESPONSE_SPACING_LOG && r.spacing != KPXRESPONSE_SPACING_LINEAR)
    throw Refusal{KPXRESPONSE_ERR_SPACING};
  if (!std::isfinite(r.sampleRateHz) || r.sampleRateHz <= 0) throw Refusal{KPXRESPONSE_ERR_RATE};
  if (!std::isfinite(r.startHz) || r.startHz <= 0 ||
      r.startHz < r.sampleRateHz / KPXRESPONSE_MIN_START_DIVISOR)
    throw Refusal{KPXRESPONSE_ERR_START};
  if (!std::isfinite(r.stopHz) || r.stopHz >= r.sampleRateHz / 2)
    throw Refusal{KPXRESPONSE_ERR_STOP};
  if (r.points < KPXRESPONSE_MIN_POINTS || r.points > KPXRESPONSE_MAX_POINTS)
    throw Refusal{KPXRESPONSE_ERR_POINTS};
  if (r.stopHz < r.startHz || (r.stopHz == r.startHz && r.points > 1))
    throw Refusal{KPXRESPONSE_ERR_ORDER};
  if (!std::isfinite(r.amplitudeDbfs) || r.amplitudeDbfs > 0 ||
      r.amplitudeDbfs < KPXRESPONSE_MIN_AMPLITUDE_DBFS)
    throw Refusal{KPXRESPONSE_ERR_AMPLITUDE};
  if (r.harmonics != 0 && (r.harmonics < 2 || r.harmonics > KPXRESPONSE_MAX_HARMONIC))
    throw Refusal{KPXRESPONSE_ERR_HARMONICS};
  if (r.averages > KPXRESPONSE_MAX_AVERAGES) throw Refusal{KPXRESPONSE_ERR_AVERAGES};
}

// A raised-cosine ramp from 0 (at 0) to 1 (at `length`).
double ramp(double position, double length) {
  if (position <= 0) return 0;
  if (position >= length) return 1;
  return 0.5 - 0.5 * std::cos(kPi * position / length);
}

// Stepped sine: a linear chirp over the band, a gap, then the tones, each
// a whole number of cycles long after its settling.
void planSine(KpxResponsePlan& plan, const std::vector<double>& requested) {
  const double fs = plan.request.sampleRateHz;
  const double a = plan.amplitude;
  std::vector<double>& x = plan.stimulus;
  const double f0 = plan.request.startHz / fs, f1 = plan.request.stopHz / fs;
  x.assign(kChirpLength + kChirpGap, 0.0);
  for (size_t n = 0; n < kChirpLength; ++n) {
    const double t = static_cast<double>(n);
    const double phase = 2 * kPi * (f0 * t + (f1 - f0) * t * t / (2.0 * kChirpLength));
    const double edge = std::min(ramp(t, 256), ramp(static_cast<double>(kChirpLength) - t, 256));
    x[n] = a * edge * std::sin(phase);
  }
  for (double f : requested) {
    const double cyclesPerSample = f / fs;
    const uint32_t cycles = static_cast<uint32_t>(std::max<double>(
        kMinCycles, std::ceil(static_cast<double>(kMinIntegration) * cyclesPerSample)));
    const size_t length = static_cast<size_t>(std::llround(cycles / cyclesPerSample));
    const double exact = cycles / static_cast<double>(length);  // whole cycles in the window
    KpxResponsePlan::Step step;
    step.start = x.size();
    step.settle = std::max(kMinSettle, static_cast<size_t>(std::ceil(2.0 / exact)));
    step.length = length;
    step.cycles = cycles;
    plan.steps.push_back(step);
    plan.frequencies.push_back(exact * fs);
    // The tone fades in and out, so that its edges splash little energy
    // over the band (a sharp edge rings for long in a steep filter).
    const size_t total = step.settle + step.length + kToneFade;
    x.resize(x.size() + total);
    const auto fade = static_cast<double>(kToneFade);
    for (size_t n = 0; n < total; ++n) {
      const double edge =
          std::min(ramp(static_cast<double>(n), fade), ramp(static_cast<double>(total - n), fade));
      x[step.start + n] =
          a * edge * std::sin(2 * kPi * std::fmod(exact * static_cast<double>(n), 1.0));
    }
  }
}

// Multitone: the shortest period (a power of two) that puts every frequency
// on a bin of its own; Schroeder's phases; one settling period, then the
// averaged ones.
void planMultitone(KpxResponsePlan& plan, const std::vector<double>& requested) {
  const double fs = plan.request.sampleRateHz;
  for (size_t n = kMinPeriod; n <= kMaxPeriod; n *= 2) {
    std::vector<size_t> bins;
    bool fits = true;
    for (double f : requested) {
      const auto k = static_cast<size_t>(std::llround(f * static_cast<double>(n) / fs));
      const double moved = static_cast<double>(k) * fs / static_cast<double>(n);
      if (k < 1 || k >= n / 2 || (!bins.empty() && k <= bins.back()) ||
          std::abs(moved - f) > kMaxMove * f) {
        fits = false;
        break;
      }
      bins.push_back(k);
    }
    if (fits) {
      plan.period = n;
      plan.bins = std::move(bins);
      break;
    }
  }
  if (plan.period == 0) throw Refusal{KPXRESPONSE_ERR_RESOLUTION};
  const size_t n = plan.period;
  const size_t tones = plan.bins.size();
  detail::RealInverseFft ifft(n);
  Complex* spectrum = ifft.input();
  std::fill(spectrum, spectrum + n / 2 + 1, Complex{});
  for (size_t i = 0; i < tones; ++i) {
    const double phase =
        -kPi * static_cast<double>(i) * static_cast<double>(i) / static_cast<double>(tones);
    spectrum[plan.bins[i]] = std::polar(1.0, phase);
    plan.frequencies.push_back(static_cast<double>(plan.bins[i]) * fs / static_cast<double>(n));
  }
  const double* period = ifft.transform();
  double peak = 0;
  for (size_t i = 0; i < n; ++i) peak = std::max(peak, std::abs(period[i]));
  plan.averages = plan.request.averages ? plan.request.averages : kDefaultAverages;
  plan.stimulus.resize(n * (1 + plan.averages));
  for (size_t i = 0; i < plan.stimulus.size(); ++i)
    plan.stimulus[i] = period[i % n] * plan.amplitude / peak;
}

// Exponential sweep (Farina) from half the start to a little above the stop,
// faded in over its first half octave and out above the stop; then silence
// for the response to end.
void planSweep(KpxResponsePlan& plan, const std::vector<double>& requested) {
  const double fs = plan.request.sampleRateHz;
  const double f1 = plan.request.startHz / fs / 2;
  const double f2 = std::min(plan.request.stopHz / fs * 1.05, 0.5);
  const size_t length = std::clamp<size_t>(nextPowerOfTwo(static_cast<size_t>(64.0 / f1)),
                                           size_t{1} << 16, size_t{1} << 22);
  plan.sweepLength = length;
  plan.sweepStart = f1;
  plan.sweepStop = f2;
  plan.frequencies = requested;
  const double t = static_cast<double>(length);
  const double rate = std::log(f2 / f1);
  const double fadeIn = t * std::log(std::sqrt(2.0)) / rate;
  const double fadeOut = std::max(64.0, t * std::log(f2 * fs / plan.request.stopHz) / rate);
  plan.stimulus.assign(length + std::max<size_t>(length / 8, 16384), 0.0);
  for (size_t n = 0; n < length; ++n) {
    const double tn = static_cast<double>(n);
    const double cycles = f1 * t / rate * (std::exp(tn * rate / t) - 1.0);
    const double edge = std::min(ramp(tn, fadeIn), ramp(t - tn, fadeOut));
    plan.stimulus[n] = plan.amplitude * edge * std::sin(2 * kPi * std::fmod(cycles, 1.0));
  }
}

// ---- Latency --------------------------------------------------------------

// Delay of y against x in samples, below a sample: the peak of the
// cross-correlation (lags 0..maxLag), then the peak of its band-limited
// interpolation (Newton steps on the cross-spectrum), exact for a pure delay.
double latency(const double* x, size_t nx, const double* y, size_t maxLag) {
  const size_t used = std::min(nx, kMaxCorrelation);
  const size_t n = nextPowerOfTwo(used + maxLag + 1);
  detail::RealFft fx(n), fy(n);
  std::fill(fx.input(), fx.input() + n, 0.0);
  std::fill(fy.input(), fy.input() + n, 0.0);
  std::copy(x, x + used, fx.input());
  std::copy(y, y + used + maxLag, fy.input());
  double ex = 0, ey = 0;
  for (size_t i = 0; i < used; ++i) ex += x[i] * x[i];
  for (size_t i = 0; i < used + maxLag; ++i) ey += y[i] * y[i];
  const Complex* bx = fx.transform();
  const Complex* by = fy.transform();
  const size_t bins = n / 2 + 1;
  std::vector<Complex> cross(bins);
  detail::RealInverseFft inverse(n);
  for (size_t k = 0; k < bins; ++k) inverse.input()[k] = cross[k] = std::conj(bx[k]) * by[k];
  const double* r = inverse.transform();
  size_t best = 0;
  for (size_t m = 1; m <= maxLag; ++m)
    if (std::abs(r[m]) > std::abs(r[best])) best = m;
  // Noise alone correlates to about 1/sqrt(samples) of the energies' mean.
  if (ex <= 0 || ey <= 0 ||
      std::abs(r[best]) < 8.0 * std::sqrt(ex * ey / static_cast<double>(used)))
    throw Refusal{KPXRESPONSE_ERR_NO_SIGNAL};
  const double sign = r[best] < 0 ? -1.0 : 1.0;
  // f(tau) = sum c_k Re(G_k e^{j w_k tau}), maximised; its derivatives below.
  double tau = static_cast<double>(best);
  const double w = 2 * kPi / static_cast<double>(n);
  for (int iteration = 0; iteration < 30; ++iteration) {
    double d1 = 0, d2 = 0;
    const Complex step = std::polar(1.0, w * tau);
    Complex rotation = 1.0;
    for (size_t k = 0; k < bins; ++k) {
      if (k % 1024 == 0) rotation = std::polar(1.0, w * tau * static_cast<double>(k));
      const double c = (k == 0 || k + 1 == bins) ? 1.0 : 2.0;
      const double wk = w * static_cast<double>(k);
      const Complex v = cross[k] * rotation;
      d1 += -c * wk * v.imag();
      d2 += -c * wk * wk * v.real();
      rotation *= step;
    }
    d1 *= sign;
    d2 *= sign;
    if (d2 >= 0) break;  // not at a maximum: keep the sample's peak
    const double move = std::clamp(-d1 / d2, -0.5, 0.5);
    tau += move;
    if (std::abs(move) < 1e-10) break;
  }
  if (std::abs(tau - static_cast<double>(best)) > 1.0) tau = static_cast<double>(best);
  return tau;
}

// sum over n of v[n] e^{-j w n}, n = 0..count-1, by a rotating phasor that
// is set afresh every 4096 samples.
template <typename Value>
Complex demodulate(const Value* v, size_t count, double w) {
  Complex sum = 0;
  const Complex step = std::polar(1.0, -w);
  Complex rotation = 1.0;
  for (size_t n = 0; n < count; ++n) {
    if (n % 4096 == 0) rotation = std::polar(1.0, -w * static_cast<double>(n));
    sum += static_cast<double>(v[n]) * rotation;
    rotation *= step;
  }
  return sum;
}

Complex removeShift(Complex h, double cyclesPerSample, double shift) {
  return h * std::polar(1.0, -2 * kPi * cyclesPerSample * shift);
}

double qualityDb(double signal, double noise) {
  if (!(signal > 0)) return kNaN;
  if (!(noise > 0)) return kQualityCapDb;
  return std::min(kQualityCapDb, 10 * std::log10(signal / noise));
}

struct Analysis {
  const KpxResponsePlan& plan;
  const double* x;
  const double* y;
  size_t shift;  // whole samples of latency, as windows move by
  KpxResponseResult& result;
};

// One tone of the stepped sine: xs and ys its demodulated windows (the
// response's moved by the latency's whole samples).
void sinePoint(const KpxResponsePlan& plan, size_t i, const double* xs, const double* ys,
               size_t shift, KpxResponseResult& result) {
  const auto& step = plan.steps[i];
  const double f = plan.frequencies[i] / plan.request.sampleRateHz;
  const double w = 2 * kPi * f;
  const double scale = 2.0 / static_cast<double>(step.length);
  const Complex xf = demodulate(xs, step.length, w) * scale;
  const Complex yf = demodulate(ys, step.length, w) * scale;
  result.response[i] = removeShift(yf / xf, f, static_cast<double>(shift));
  double total = 0, dc = 0;
  for (size_t n = 0; n < step.length; ++n) {
    total += ys[n] * ys[n];
    dc += ys[n];
  }
  total /= static_cast<double>(step.length);
  dc /= static_cast<double>(step.length);
  double tones = std::norm(yf) / 2;
  for (int h = 2; h <= plan.harmonics; ++h) {
    // Whole cycles of the harmonic in the window: its bin, below half the rate.
    if (2ull * h * step.cycles >= step.length) break;
    const Complex hf = demodulate(ys, step.length, w * h) * scale;
    tones += std::norm(hf) / 2;
    result.harmonicDbc[i][h - 2] = 20 * std::log10(std::abs(hf) / std::abs(yf));
  }
  result.quality[i] = qualityDb(std::norm(yf) / 2, total - dc * dc - tones);
}

void analyzeSine(Analysis& a) {
  for (size_t i = 0; i < a.plan.steps.size(); ++i) {
    const size_t begin = a.plan.steps[i].start + a.plan.steps[i].settle;
    sinePoint(a.plan, i, a.x + begin, a.y + begin + a.shift, a.shift, a.result);
  }
}

void analyzeMultitone(Analysis& a) {
  const size_t n = a.plan.period;
  detail::RealFft fft(n);
  std::copy(a.x + n, a.x + 2 * n, fft.input());
  const Complex* bx = fft.transform();
  std::vector<Complex> xs(bx, bx + n / 2 + 1);
  std::vector<Complex> ys(n / 2 + 1);
  for (uint32_t p = 0; p < a.plan.averages; ++p) {
    const double* segment = a.y + (1 + p) * n + a.shift;
    std::copy(segment, segment + n, fft.input());
    const Complex* by = fft.transform();
    for (size_t k = 0; k < ys.size(); ++k) ys[k] += by[k] / static_cast<double>(a.plan.averages);
  }
  std::vector<bool> tone(ys.size(), false);
  for (size_t k : a.plan.bins) tone[k] = true;
  for (size_t i = 0; i < a.plan.bins.size(); ++i) {
    const size_t k = a.plan.bins[i];
    const double f = static_cast<double>(k) / static_cast<double>(n);
    a.result.response[i] = removeShift(ys[k] / xs[k], f, static_cast<double>(a.shift));
    // The noise: the nearest bins without a tone, up to 8 of them.
    double noise = 0;
    int found = 0;
    for (size_t d = 1; d < 64 && found < 8; ++d) {
      for (size_t j : {k - d, k + d}) {
        if (j == 0 || j >= ys.size() - 1 || tone[j] || found >= 8) continue;
        noise += std::norm(ys[j]);
        ++found;
      }
    }
    a.result.quality[i] = found ? qualityDb(std::norm(ys[k]), noise / found) : kNaN;
  }
}

// The cosine tapers on the outer eighths of a window of before + after
// samples, worked out once for all the points that use that window.
struct Taper {
  int64_t before = -1, after = -1;
  std::vector<double> edge;
  const std::vector<double>& of(int64_t b, int64_t a) {
    if (b != before || a != after) {
      before = b;
      after = a;
      const double taperBefore = static_cast<double>(b) / 8;
      const double taperAfter = static_cast<double>(a) / 8;
      edge.resize(static_cast<size_t>(b + a));
      for (int64_t m = -b; m < a; ++m)
        edge[static_cast<size_t>(m + b)] = std::min(ramp(static_cast<double>(m + b), taperBefore),
                                                    ramp(static_cast<double>(a - m), taperAfter));
    }
    return edge;
  }
};

// A window of the deconvolved response d around `center` (circular), its
// transform at w, with cosine tapers on its outer eighths.
Complex windowTransform(const std::vector<double>& d, int64_t center, int64_t before, int64_t after,
                        double w, Taper& taper) {
  const auto size = static_cast<int64_t>(d.size());
  const std::vector<double>& edge = taper.of(before, after);
  Complex sum = 0;
  const Complex step = std::polar(1.0, -w);
  Complex rotation = 1.0;
  for (int64_t m = -before; m < after; ++m) {
    if ((m + before) % 4096 == 0) rotation = std::polar(1.0, -w * static_cast<double>(m));
    const int64_t at = ((center + m) % size + size) % size;
    sum += edge[static_cast<size_t>(m + before)] * d[static_cast<size_t>(at)] * rotation;
    rotation *= step;
  }
  return sum;
}

void analyzeSweep(Analysis& a, size_t used) {
  const KpxResponsePlan& plan = a.plan;
  const double fs = plan.request.sampleRateHz;
  const double sweep = static_cast<double>(plan.sweepLength);
  const double rate = std::log(plan.sweepStop / plan.sweepStart);
  const size_t nx = plan.stimulus.size();
  const size_t n = nextPowerOfTwo(used + plan.sweepLength);
  detail::RealFft fx(n), fy(n);
  std::fill(fx.input(), fx.input() + n, 0.0);
  std::fill(fy.input(), fy.input() + n, 0.0);
  std::copy(a.x, a.x + nx, fx.input());
  std::copy(a.y, a.y + used, fy.input());
  const Complex* bx = fx.transform();
  const Complex* by = fy.transform();
  const size_t bins = n / 2 + 1;
  double peak = 0;
  for (size_t k = 0; k < bins; ++k) peak = std::max(peak, std::norm(bx[k]));
  const double floor = peak * 1e-14;
  // Only the band the sweep covers at full level is divided out; the fades'
  // parts of it are tapered, so that what lies beyond (harmonics above the
  // sweep, the quiet edges) is not divided by almost nothing.
  const double stop = plan.request.stopHz / fs;
  // Below the sweep's full level (its fade-in, and under it) the quotient is
  // not taken: what a device adds there (the slow offset of even distortion)
  // would be divided by little or nothing. The response there continues the
  // one at the fade-in's end, with the latency's phase, which keeps the
  // impulse response short (a cut would ring for longer than its window).
  detail::RealInverseFft inverse(n);
  Complex* quotient = inverse.input();
  const auto first =
      static_cast<size_t>(std::ceil(plan.sweepStart * std::sqrt(2.0) * static_cast<double>(n)));
  for (size_t k = 0; k < bins; ++k) {
    const double f = static_cast<double>(k) / static_cast<double>(n);
    double mask = 1;
    if (f >= plan.sweepStop)
      mask = 0;
    else if (f > stop)
      mask = ramp(plan.sweepStop - f, plan.sweepStop - stop);
    quotient[k] = mask * by[k] * std::conj(bx[k]) / (std::norm(bx[k]) + floor);
  }
  const double w0 = 2 * kPi / static_cast<double>(n);
  for (size_t k = 0; k < first && first < bins; ++k)
    quotient[k] = quotient[first] * std::polar(1.0, w0 * static_cast<double>(first - k) *
                                                        static_cast<double>(a.shift));
  quotient[0] = quotient[0].real();
  const double* deconvolved = inverse.transform();
  std::vector<double> d(deconvolved, deconvolved + n);

  // Harmonic h's response lies ahead of the linear one by sweep ln(h) / rate.
  auto advance = [&](int h) { return sweep * std::log(static_cast<double>(h)) / rate; };
  const auto center = static_cast<int64_t>(a.shift);
  const auto half2 = static_cast<int64_t>(advance(2) / 2);
  const int64_t before = std::min<int64_t>(half2, 16384);
  const int64_t after = std::min<int64_t>(half2, 65536);
  Taper linearTaper;
  std::array<Taper, KPXRESPONSE_MAX_HARMONIC + 1> harmonicTapers;
  for (size_t i = 0; i < plan.frequencies.size(); ++i) {
    const double f = plan.frequencies[i] / fs;
    const double w = 2 * kPi * f;
    const Complex h = windowTransform(d, center, before, after, w, linearTaper);
    a.result.response[i] = removeShift(h, f, static_cast<double>(a.shift));
    // The noise: a window of the same size after the linear response, where
    // nothing should be, when the buffer has room before the harmonics.
    const int64_t room = static_cast<int64_t>(n) - (before + after) -
                         static_cast<int64_t>(advance(std::max(plan.harmonics, 2))) - half2;
    if (room >= 2 * (before + after)) {
      const Complex noise =
          windowTransform(d, center + after + before + after, before, after, w, linearTaper);
      a.result.quality[i] = qualityDb(std::norm(h), std::norm(noise));
    } else {
      a.result.quality[i] = kNaN;
    }
    for (int order = 2; order <= plan.harmonics; ++order) {
      const double shiftH = advance(order);
      const double gapBelow = shiftH - advance(order - 1);
      const double gapAbove = advance(order + 1) - shiftH;
      const auto halfWidth = static_cast<int64_t>(std::min({gapBelow, gapAbove}) / 2);
      if (order * f > stop || halfWidth < 256 || shiftH + static_cast<double>(halfWidth) > sweep)
        continue;
      const int64_t at = center - std::llround(shiftH);
      const Complex harmonic = windowTransform(d, at, std::min<int64_t>(halfWidth, 16384),
                                               std::min<int64_t>(halfWidth, 16384), w * order,
                                               harmonicTapers[static_cast<size_t>(order)]);
      a.result.harmonicDbc[i][order - 2] = 20 * std::log10(std::abs(harmonic) / std::abs(h));
    }
  }
  a.result.impulseStart = center - before;
  a.result.impulse.resize(static_cast<size_t>(before + after));
  for (int64_t m = -before; m < after; ++m) {
    const int64_t at = ((center + m) % static_cast<int64_t>(n) + static_cast<int64_t>(n)) %
                       static_cast<int64_t>(n);
    a.result.impulse[static_cast<size_t>(m + before)] = d[static_cast<size_t>(at)];
  }
}

// A result of the plan's frequencies, its figures not yet measured.
std::unique_ptr<KpxResponseResult> emptyResult(const KpxResponsePlan& plan, double delay) {
  auto result = std::make_unique<KpxResponseResult>();
  const size_t points = plan.frequencies.size();
  result->method = plan.request.method;
  result->sampleRateHz = plan.request.sampleRateHz;
  result->latency = delay;
  result->harmonics = plan.request.method == KPXRESPONSE_METHOD_MULTITONE ? 0 : plan.harmonics;
  result->keepLatency = (plan.request.flags & KPXRESPONSE_FLAG_KEEP_LATENCY) != 0;
  result->frequencies = plan.frequencies;
  result->response.assign(points, Complex{});
  result->quality.assign(points, kNaN);
  std::array<double, KPXRESPONSE_MAX_HARMONIC - 1> none;
  none.fill(kNaN);
  result->harmonicDbc.assign(points, none);
  return result;
}

// The latency's whole samples, by which the response's windows move.
size_t shiftOf(double delay, size_t maxLag) {
  return static_cast<size_t>(
      std::clamp<double>(std::round(delay), 0.0, static_cast<double>(maxLag)));
}

// The whole latency, not only its whole samples, out of point i's phase.
void removeLatency(KpxResponseResult& r, size_t i) {
  r.response[i] = removeShift(r.response[i], -r.frequencies[i] / r.sampleRateHz, r.latency);
}

// Point i's phase unwrapped against point i - 1's (radians).
double unwrappedPhase(const KpxResponseResult& r, size_t i) {
  double p = std::arg(r.response[i]);
  if (i > 0) p += 2 * kPi * std::round((r.phase[i - 1] - p) / (2 * kPi));
  return p;
}

// The impulse response of measured points (latency removed): H interpolated
// (magnitude and unwrapped phase, linear in frequency) onto the bins of an
// n-point grid, held at the lowest point's value down to DC, zero above the
// highest point; the latency put back; inverse transformed. The window kept
// is the sweep's: up to 16384 samples before the latency, 65536 after.
void impulseFromPoints(KpxResponseResult& r, size_t n) {
  const size_t points = r.frequencies.size();
  if (points < 2 || n < 4) return;
  const double fs = r.sampleRateHz;
  detail::RealInverseFft inverse(n);
  Complex* bins = inverse.input();
  const size_t half = n / 2;
  size_t i = 0;
  for (size_t k = 0; k <= half; ++k) {
    const double f = static_cast<double>(k) / static_cast<double>(n) * fs;
    Complex h;
    if (f > r.frequencies.back()) {
      h = 0;
    } else if (f <= r.frequencies.front()) {
      h = std::polar(std::abs(r.response[0]), r.phase[0]);
    } else {
      while (r.frequencies[i + 1] < f) ++i;
      const double t = (f - r.frequencies[i]) / (r.frequencies[i + 1] - r.frequencies[i]);
      const double magnitude =
          std::abs(r.response[i]) + t * (std::abs(r.response[i + 1]) - std::abs(r.response[i]));
      h = std::polar(magnitude, r.phase[i] + t * (r.phase[i + 1] - r.phase[i]));
    }
    h *= std::polar(1.0, -2 * kPi * static_cast<double>(k) / static_cast<double>(n) * r.latency);
    if (k == 0 || k == half) h = h.real();  // DC and the Nyquist bin are real
    bins[k] = h;
  }
  const double* d = inverse.transform();
  const auto size = static_cast<int64_t>(n);
  const int64_t center = std::llround(r.latency);
  const int64_t before = std::min<int64_t>(size / 4, 16384);
  const int64_t after = std::min<int64_t>(size - before, 65536);
  r.impulseStart = center - before;
  r.impulse.resize(static_cast<size_t>(before + after));
  for (int64_t m = -before; m < after; ++m)
    r.impulse[static_cast<size_t>(m + before)] =
        d[static_cast<size_t>(((center + m) % size + size) % size)];
}

// The stepped sine's grid: fine enough for its closest points and long
// enough for the latency and the window after it.
size_t sineImpulseGrid(const KpxResponseResult& r) {
  double closest = r.sampleRateHz;
  for (size_t i = 1; i < r.frequencies.size(); ++i)
    closest = std::min(closest, r.frequencies[i] - r.frequencies[i - 1]);
  const double wanted = std::max(2 * r.sampleRateHz / closest, std::abs(r.latency) + 81920);
  return nextPowerOfTwo(
      static_cast<size_t>(std::min(wanted, static_cast<double>(kMaxImpulseGrid))));
}

KpxResponseResult* analyze(const KpxResponsePlan& plan, const double* x, size_t nx, const double* y,
                           size_t ny) {
  if (nx != plan.stimulus.size() || ny < nx) throw Refusal{KPXRESPONSE_ERR_LENGTH};
  for (size_t i = 0; i < nx; ++i)
    if (!std::isfinite(x[i])) throw Refusal{KPXRESPONSE_ERR_NOT_FINITE};
  for (size_t i = 0; i < ny; ++i)
    if (!std::isfinite(y[i])) throw Refusal{KPXRESPONSE_ERR_NOT_FINITE};
  const size_t maxLag = std::min<size_t>(ny - nx, KPXRESPONSE_MAX_LATENCY_SAMPLES);
  const double delay = latency(x, nx, y, maxLag);
  const size_t shift = shiftOf(delay, maxLag);
  auto result = emptyResult(plan, delay);
  const size_t points = plan.frequencies.size();

  Analysis a{plan, x, y, shift, *result};
  switch (plan.request.method) {
    case KPXRESPONSE_METHOD_SINE:
      analyzeSine(a);
      break;
    case KPXRESPONSE_METHOD_MULTITONE:
      analyzeMultitone(a);
      break;
    default:
      analyzeSweep(a, nx + maxLag);
      break;
  }
  for (size_t i = 0; i < points; ++i) removeLatency(*result, i);
  finish(*result);
  if (plan.request.method == KPXRESPONSE_METHOD_MULTITONE)
    impulseFromPoints(*result, plan.period);
  else if (plan.request.method == KPXRESPONSE_METHOD_SINE)
    impulseFromPoints(*result, sineImpulseGrid(*result));
  return result.release();
}

template <typename Function>
int32_t guarded(Function&& function) {
  try {
    function();
    return KPXRESPONSE_OK;
  } catch (const Refusal& refusal) {
    return refusal.code;
  } catch (const std::bad_alloc&) {
    return KPXRESPONSE_ERR_NO_MEMORY;
  } catch (const std::length_error&) {
    return KPXRESPONSE_ERR_NO_MEMORY;
  }
}

std::vector<double> scaledInt16(const int16_t* samples, size_t count) {
  std::vector<double> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = samples[i] / kInt16Scale;
  return v;
}

}  // namespace

void finish(KpxResponseResult& r) {
  const size_t points = r.frequencies.size();
  r.phase.assign(points, 0.0);
  r.groupDelay.assign(points, 0.0);
  for (size_t i = 0; i < points; ++i) r.phase[i] = unwrappedPhase(r, i);
  const double latencySeconds = r.latency / r.sampleRateHz;
  for (size_t i = 0; i < points; ++i) {
    double slope = 0;
    if (points > 1) {
      const size_t lo = i == 0 ? 0 : i - 1;
      const size_t hi = i + 1 == points ? i : i + 1;
      slope = (r.phase[hi] - r.phase[lo]) / (2 * kPi * (r.frequencies[hi] - r.frequencies[lo]));
    }
    r.groupDelay[i] = latencySeconds - slope;
  }
}

void fillPoint(const KpxResponseResult& r, size_t i, KpxResponsePoint& p) {
  const double f = r.frequencies[i];
  const double slope = r.keepLatency ? -2 * kPi * f / r.sampleRateHz * r.latency : 0.0;
  const double magnitude = std::abs(r.response[i]);
  p.frequencyHz = f;
  p.magnitudeDb = magnitude > 0 ? std::max(20 * std::log10(magnitude), -300.0) : -300.0;
  p.phaseDeg = (r.phase[i] + slope) * 180 / kPi;
  p.groupDelayS = r.groupDelay[i];
  p.qualityDb = r.quality[i];
  std::copy(r.harmonicDbc[i].begin(), r.harmonicDbc[i].end(), p.harmonicDbc);
  const Complex h = r.response[i] * std::polar(1.0, slope);
  p.real = h.real();
  p.imag = h.imag();
}

SinePoints::SinePoints(const KpxResponsePlan& plan, size_t maxLag)
    : plan_(plan), maxLag_(maxLag), points_(emptyResult(plan, 0)) {
  points_->phase.assign(plan.frequencies.size(), 0.0);
  points_->groupDelay.assign(plan.frequencies.size(), kNaN);
}

SinePoints::~SinePoints() = default;

bool SinePoints::finished() const {
  return refused_ || next_ == plan_.steps.size();
}

size_t SinePoints::needed() const {
  if (finished()) return 0;
  // analyze() correlates the same samples, so that the latency is the same.
  if (!latencyKnown_) return std::min(plan_.stimulus.size(), kMaxCorrelation) + maxLag_;
  const auto& step = plan_.steps[next_];
  return step.start + step.settle + shift_ + step.length;
}

bool SinePoints::advance(const int16_t* x, const int16_t* y, size_t available, uint32_t& index,
                         KpxResponsePoint& point) {
  if (finished() || available < needed()) return false;
  if (!latencyKnown_) {
    const size_t used = std::min(plan_.stimulus.size(), kMaxCorrelation);
    const std::vector<double> xd = scaledInt16(x, used);
    const std::vector<double> yd = scaledInt16(y, used + maxLag_);
    try {
      points_->latency = latency(xd.data(), used, yd.data(), maxLag_);
    } catch (const Refusal&) {
      refused_ = true;  // the whole analysis refuses it too, with its code
      return false;
    }
    shift_ = shiftOf(points_->latency, maxLag_);
    latencyKnown_ = true;
    return false;
  }
  const size_t i = next_++;
  const auto& step = plan_.steps[i];
  const size_t begin = step.start + step.settle;
  const std::vector<double> xs = scaledInt16(x + begin, step.length);
  const std::vector<double> ys = scaledInt16(y + begin + shift_, step.length);
  sinePoint(plan_, i, xs.data(), ys.data(), shift_, *points_);
  removeLatency(*points_, i);
  points_->phase[i] = unwrappedPhase(*points_, i);
  index = static_cast<uint32_t>(i);
  fillPoint(*points_, i, point);
  return true;
}

}  // namespace kpx::response

using kpx::response::guarded;
using kpx::response::Refusal;

extern "C" {

int32_t KpxResponse_CreatePlan(const KpxResponseRequest* request, KpxResponsePlan** plan) {
  if (plan) *plan = nullptr;
  if (!request || !plan) return KPXRESPONSE_ERR_NULL;
  return guarded([&] {
    using namespace kpx::response;
    checkRequest(*request);
    auto made = std::make_unique<KpxResponsePlan>();
    made->request = *request;
    made->amplitude = std::pow(10.0, request->amplitudeDbfs / 20);
    made->harmonics = request->harmonics ? request->harmonics : kDefaultHarmonics;
    const std::vector<double> requested = requestedFrequencies(*request);
    switch (request->method) {
      case KPXRESPONSE_METHOD_SINE:
        planSine(*made, requested);
        break;
      case KPXRESPONSE_METHOD_MULTITONE:
        planMultitone(*made, requested);
        break;
      default:
        planSweep(*made, requested);
        break;
    }
    *plan = made.release();
  });
}

void KpxResponse_FreePlan(KpxResponsePlan* plan) {
  delete plan;
}

uint64_t KpxResponse_StimulusLength(const KpxResponsePlan* plan) {
  return plan ? plan->stimulus.size() : 0;
}

int32_t KpxResponse_StimulusDouble(const KpxResponsePlan* plan, double* samples, uint64_t count) {
  if (!plan || !samples) return KPXRESPONSE_ERR_NULL;
  if (count != plan->stimulus.size()) return KPXRESPONSE_ERR_LENGTH;
  std::copy(plan->stimulus.begin(), plan->stimulus.end(), samples);
  return KPXRESPONSE_OK;
}

int32_t KpxResponse_StimulusInt16(const KpxResponsePlan* plan, int16_t* samples, uint64_t count) {
  if (!plan || !samples) return KPXRESPONSE_ERR_NULL;
  if (count != plan->stimulus.size()) return KPXRESPONSE_ERR_LENGTH;
  for (size_t i = 0; i < count; ++i)
    samples[i] = static_cast<int16_t>(std::lround(plan->stimulus[i] * kpx::response::kInt16Scale));
  return KPXRESPONSE_OK;
}

uint32_t KpxResponse_PlanPoints(const KpxResponsePlan* plan) {
  return plan ? static_cast<uint32_t>(plan->frequencies.size()) : 0;
}

int32_t KpxResponse_PlanFrequencies(const KpxResponsePlan* plan, double* hz, uint32_t count) {
  if (!plan || !hz) return KPXRESPONSE_ERR_NULL;
  if (count != plan->frequencies.size()) return KPXRESPONSE_ERR_LENGTH;
  std::copy(plan->frequencies.begin(), plan->frequencies.end(), hz);
  return KPXRESPONSE_OK;
}

uint64_t KpxResponse_CaptureLength(const KpxResponsePlan* plan, uint32_t maxLatency) {
  return plan ? plan->stimulus.size() + maxLatency : 0;
}

int32_t KpxResponse_AnalyzeDouble(const KpxResponsePlan* plan, const double* stimulus,
                                  uint64_t stimulusCount, const double* response,
                                  uint64_t responseCount, KpxResponseResult** result) {
  if (result) *result = nullptr;
  if (!plan || !stimulus || !response || !result) return KPXRESPONSE_ERR_NULL;
  return guarded([&] {
    *result = kpx::response::analyze(*plan, stimulus, stimulusCount, response, responseCount);
  });
}

int32_t KpxResponse_AnalyzeInt16(const KpxResponsePlan* plan, const int16_t* stimulus,
                                 uint64_t stimulusCount, const int16_t* response,
                                 uint64_t responseCount, KpxResponseResult** result) {
  if (result) *result = nullptr;
  if (!plan || !stimulus || !response || !result) return KPXRESPONSE_ERR_NULL;
  return guarded([&] {
    using kpx::response::scaledInt16;
    if (stimulusCount != plan->stimulus.size() || responseCount < stimulusCount)
      throw Refusal{KPXRESPONSE_ERR_LENGTH};
    const std::vector<double> x = scaledInt16(stimulus, stimulusCount);
    const std::vector<double> y = scaledInt16(response, responseCount);
    *result = kpx::response::analyze(*plan, x.data(), x.size(), y.data(), y.size());
  });
}

int32_t KpxResponse_ResultFromPoints(const KpxResponsePoint* points, uint32_t count,
                                     double sampleRateHz, double latencySamples,
                                     KpxResponseResult** result) {
  if (result) *result = nullptr;
  if (!points || !result) return KPXRESPONSE_ERR_NULL;
  if (count < KPXRESPONSE_MIN_POINTS || count > KPXRESPONSE_MAX_POINTS)
    return KPXRESPONSE_ERR_POINTS;
  if (!std::isfinite(sampleRateHz) || sampleRateHz <= 0) return KPXRESPONSE_ERR_RATE;
  if (!std::isfinite(latencySamples)) return KPXRESPONSE_ERR_ARGUMENT;
  for (uint32_t i = 0; i < count; ++i) {
    const KpxResponsePoint& p = points[i];
    if (!std::isfinite(p.frequencyHz) || p.frequencyHz <= 0 || p.frequencyHz >= sampleRateHz / 2 ||
        (i > 0 && p.frequencyHz <= points[i - 1].frequencyHz) || !std::isfinite(p.real) ||
        !std::isfinite(p.imag) || std::isinf(p.qualityDb))
      return KPXRESPONSE_ERR_ARGUMENT;
  }
  return guarded([&] {
    auto made = std::make_unique<KpxResponseResult>();
    made->method = -1;
    made->sampleRateHz = sampleRateHz;
    made->latency = latencySamples;
    std::array<double, KPXRESPONSE_MAX_HARMONIC - 1> none;
    none.fill(kpx::response::kNaN);
    for (uint32_t i = 0; i < count; ++i) {
      made->frequencies.push_back(points[i].frequencyHz);
      made->response.emplace_back(points[i].real, points[i].imag);
      made->quality.push_back(points[i].qualityDb);
      made->harmonicDbc.push_back(none);
    }
    kpx::response::finish(*made);
    *result = made.release();
  });
}

void KpxResponse_FreeResult(KpxResponseResult* result) {
  delete result;
}

int32_t KpxResponse_ApplyReference(KpxResponseResult* result, const KpxResponseResult* reference) {
  if (!result || !reference) return KPXRESPONSE_ERR_NULL;
  if (result->referenced) return KPXRESPONSE_ERR_ARGUMENT;
  if (result->sampleRateHz != reference->sampleRateHz ||
      result->frequencies.size() != reference->frequencies.size())
    return KPXRESPONSE_ERR_MISMATCH;
  for (size_t i = 0; i < result->frequencies.size(); ++i) {
    const double f = result->frequencies[i], g = reference->frequencies[i];
    if (std::abs(f - g) > 1e-9 * std::max(f, g)) return KPXRESPONSE_ERR_MISMATCH;
  }
  for (size_t i = 0; i < result->frequencies.size(); ++i) {
    const std::complex<double> through = reference->response[i];
    result->response[i] = std::abs(through) > 0 ? result->response[i] / through
                                                : std::complex<double>(kpx::response::kNaN, 0);
    // Noise of the quotient: the two relative noise powers add.
    const double q = result->quality[i], qr = reference->quality[i];
    if (std::isfinite(q) && std::isfinite(qr))
      result->quality[i] = -10 * std::log10(std::pow(10, -q / 10) + std::pow(10, -qr / 10));
  }
  result->latency -= reference->latency;
  result->referenced = true;
  kpx::response::finish(*result);
  return KPXRESPONSE_OK;
}

int32_t KpxResponse_SetKeepLatency(KpxResponseResult* result, int32_t keep) {
  if (!result) return KPXRESPONSE_ERR_NULL;
  if (keep != 0 && keep != 1) return KPXRESPONSE_ERR_ARGUMENT;
  result->keepLatency = keep == 1;
  return KPXRESPONSE_OK;
}

int32_t KpxResponse_GetSummary(const KpxResponseResult* result, KpxResponseSummary* summary) {
  if (!result || !summary) return KPXRESPONSE_ERR_NULL;
  *summary = KpxResponseSummary{};
  summary->method = result->method;
  summary->points = static_cast<uint32_t>(result->frequencies.size());
  summary->sampleRateHz = result->sampleRateHz;
  summary->latencySamples = result->latency;
  summary->latencySeconds = result->latency / result->sampleRateHz;
  summary->harmonics = result->harmonics;
  summary->impulseSamples = result->impulse.size();
  summary->impulseStart = result->impulseStart;
  summary->referenced = result->referenced ? 1 : 0;
  return KPXRESPONSE_OK;
}

int32_t KpxResponse_GetPoints(const KpxResponseResult* result, KpxResponsePoint* points,
                              uint32_t count) {
  if (!result || !points) return KPXRESPONSE_ERR_NULL;
  if (count != result->frequencies.size()) return KPXRESPONSE_ERR_LENGTH;
  for (uint32_t i = 0; i < count; ++i) kpx::response::fillPoint(*result, i, points[i]);
  return KPXRESPONSE_OK;
}

int32_t KpxResponse_GetImpulse(const KpxResponseResult* result, double* samples, uint64_t count) {
  if (!result || !samples) return KPXRESPONSE_ERR_NULL;
  if (count != result->impulse.size()) return KPXRESPONSE_ERR_LENGTH;
  std::copy(result->impulse.begin(), result->impulse.end(), samples);
  return KPXRESPONSE_OK;
}

const char* KpxResponse_ResultText(int32_t result) {
  switch (result) {
    case KPXRESPONSE_OK:
      return "ok";
    case KPXRESPONSE_ERR_NULL:
      return "a required pointer is null";
    case KPXRESPONSE_ERR_METHOD:
      return "unknown method (sine, multitone or sweep)";
    case KPXRESPONSE_ERR_SPACING:
      return "unknown frequency spacing (log or linear)";
    case KPXRESPONSE_ERR_RATE:
      return "sample rate is not a finite number above 0";
    case KPXRESPONSE_ERR_START:
      return "start frequency is not finite, not above 0, or below the rate / 1048576";
    case KPXRESPONSE_ERR_STOP:
      return "stop frequency is not finite, or at or above half the sample rate";
    case KPXRESPONSE_ERR_ORDER:
      return "stop frequency below the start (or equal to it with more than 1 point)";
    case KPXRESPONSE_ERR_POINTS:
      return "points outside 1..10000";
    case KPXRESPONSE_ERR_AMPLITUDE:
      return "amplitude is not finite, above 0 dBFS or below -100 dBFS";
    case KPXRESPONSE_ERR_HARMONICS:
      return "highest harmonic outside 2..10";
    case KPXRESPONSE_ERR_AVERAGES:
      return "averages above 1024";
    case KPXRESPONSE_ERR_RESOLUTION:
      return "frequencies too close together for the multitone's longest period (4194304 "
             "samples): fewer points, or another method";
    case KPXRESPONSE_ERR_LENGTH:
      return "stimulus not the plan's length, or response shorter than the stimulus";
    case KPXRESPONSE_ERR_NOT_FINITE:
      return "a sample is not a finite number";
    case KPXRESPONSE_ERR_NO_SIGNAL:
      return "the response does not correlate with the stimulus (nothing connected?)";
    case KPXRESPONSE_ERR_MISMATCH:
      return "the reference was measured at other frequencies or another rate";
    case KPXRESPONSE_ERR_NO_MEMORY:
      return "out of memory";
    case KPXRESPONSE_ERR_ARGUMENT:
      return "an argument is out of range";
    case KPXRESPONSE_ERR_LATENCY:
      return "maximum latency above 1048576 samples";
    case KPXRESPONSE_ERR_NOT_PAIR:
      return "not a DAC board and an ADC board";
    case KPXRESPONSE_ERR_NO_BOARD:
      return "no board at that index";
    case KPXRESPONSE_ERR_RATES_DIFFER:
      return "the DAC and ADC boards run at different sample rates";
    case KPXRESPONSE_ERR_OVERRUN:
      return "the ADC board lost samples (overrun): measurement refused";
    case KPXRESPONSE_ERR_UNDERRUN:
      return "the DAC board missed samples (underrun): measurement refused";
    case KPXRESPONSE_ERR_STREAM:
      return "a board stream could not be opened, started or read";
    case KPXRESPONSE_ERR_RATE_UNKNOWN:
      return "the boards' sample rate is not known";
    case KPXRESPONSE_ERR_STOPPED:
      return "the measurement was cancelled";
    default:
      return "unknown result code";
  }
}

const char* KpxResponse_MethodName(int32_t method) {
  switch (method) {
    case KPXRESPONSE_METHOD_SINE:
      return "sine";
    case KPXRESPONSE_METHOD_MULTITONE:
      return "multitone";
    case KPXRESPONSE_METHOD_SWEEP:
      return "sweep";
    default:
      return nullptr;
  }
}

int32_t KpxResponse_MethodFromName(const char* name) {
  if (!name) return -1;
  for (int32_t m = KPXRESPONSE_METHOD_SINE; m <= KPXRESPONSE_METHOD_SWEEP; ++m)
    if (std::string_view(name) == KpxResponse_MethodName(m)) return m;
  return -1;
}

}  // extern "C"
