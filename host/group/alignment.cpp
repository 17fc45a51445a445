// Offsets and drift of one window against another: FFT cross-correlation
// of the whole windows, the peak refined below a sample by band-limited
// interpolation of the correlation, drift from the two half-windows.
#include "alignment.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>

namespace kpxgroup {

namespace {

constexpr double kPi = 3.14159265358979323846;
// The peak is ambiguous when another peak reaches this fraction of it: a
// periodic reference repeats its peak at nearly full height, while the
// sidelobes of a band-limited reference stay below a quarter.
constexpr double kAmbiguousRatio = 0.5;
// The peak is weak below this many times the correlation's RMS away from
// it: the largest of 2^21 lags of pure noise is near 5.4 times.
constexpr double kWeakRatio = 10.0;
// Coefficients of chance (1/sqrt(count) each) that a correlating pair of
// windows must exceed.
constexpr double kChanceCoefficients = 10.0;
// Correlation values each side of the peak used for the sub-sample fit.
constexpr int kInterpolationHalfWidth = 16;
// Lags each side of the whole window's peak searched in each half-window.
constexpr int kHalfSearch = 4;

// The FFT of the size last used, kept for the next call (a measure aligns
// every board with one size; building the tables costs a few ms).
std::shared_ptr<const Fft<float>> fftOfSize(size_t size) {
  static std::mutex mutex;
  static std::shared_ptr<const Fft<float>> last;
  std::lock_guard<std::mutex> lock(mutex);
  if (!last || last->size() != size) last = std::make_shared<const Fft<float>>(size);
  return last;
}

// Band-limited interpolation of samples r[0..count) at x (in units of the
// index): a sinc tapered by a Blackman window of half-width h + 1.
double interpolate(const std::vector<double>& r, double x, int h) {
  const double centre = std::floor(x);
  double sum = 0;
  for (int m = -h; m <= h + 1; ++m) {
    const double at = centre + m;
    if (at < 0 || at >= static_cast<double>(r.size())) continue;
    const double t = x - at;
    const double sinc = std::fabs(t) < 1e-12 ? 1.0 : std::sin(kPi * t) / (kPi * t);
    const double u = t / (h + 1.5);
    if (std::fabs(u) >= 1) continue;
    const double window = 0.42 + 0.5 * std::cos(kPi * u) + 0.08 * std::cos(2 * kPi * u);
    sum += r[static_cast<size_t>(at)] * sinc * window;
  }
  return sum;
}

// Where the interpolated r peaks within one sample of index `peak`
// (golden-section search; r is smooth and single-peaked there).
double refinePeak(const std::vector<double>& r, size_t peak, int h) {
  const double g = (std::sqrt(5.0) - 1) / 2;
  double a = static_cast<double>(peak) - 1, b = static_cast<double>(peak) + 1;
  double c = b - g * (b - a), d = a + g * (b - a);
  double fc = interpolate(r, c, h), fd = interpolate(r, d, h);
  while (b - a > 1e-5) {
    if (fc > fd) {
      b = d;
      d = c;
      fd = fc;
      c = b - g * (b - a);
      fc = interpolate(r, c, h);
    } else {
      a = c;
      c = d;
      fc = fd;
      d = a + g * (b - a);
      fd = interpolate(r, d, h);
    }
  }
  return (a + b) / 2;
}

// sum over i in [begin, end) of other[i] * reference[i + lag], i + lag kept
// inside the window.
double dot(const std::vector<float>& reference, const std::vector<float>& other, size_t begin,
           size_t end, int64_t lag) {
  const int64_t n = static_cast<int64_t>(reference.size());
  int64_t from = std::max<int64_t>(static_cast<int64_t>(begin), -lag);
  int64_t to = std::min<int64_t>(static_cast<int64_t>(end), n - lag);
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  int64_t i = from;
  for (; i + 4 <= to; i += 4) {
    s0 += double(other[i]) * reference[i + lag];
    s1 += double(other[i + 1]) * reference[i + 1 + lag];
    s2 += double(other[i + 2]) * reference[i + 2 + lag];
    s3 += double(other[i + 3]) * reference[i + 3 + lag];
  }
  for (; i < to; ++i) s0 += double(other[i]) * reference[i + lag];
  return s0 + s1 + s2 + s3;
}

// The offset of the half-window [begin, end) of `other`, near `around`.
double halfOffset(const std::vector<float>& reference, const std::vector<float>& other,
                  size_t begin, size_t end, int64_t around) {
  const int h = kHalfSearch;
  std::vector<double> r(2 * h + 1);
  for (int m = -h; m <= h; ++m) r[m + h] = dot(reference, other, begin, end, around + m);
  const size_t peak = static_cast<size_t>(std::max_element(r.begin(), r.end()) - r.begin());
  return static_cast<double>(around - h) + refinePeak(r, peak, h);
}

}  // namespace

void alignWindows(const int16_t* reference, const int16_t* other, size_t count,
                  KpxGroupAlignment& out, AlignWork& work) {
  out = KpxGroupAlignment{};
  if (count < KPXGROUP_MIN_WINDOW) {
    out.result = KPXGROUP_ALIGN_TOO_SHORT;
    return;
  }
  // The windows as floats with their means removed: a constant level on a
  // board would add a triangle peaking at lag 0 to the correlation.
  auto centred = [count](const int16_t* in, std::vector<float>& to) {
    double mean = 0;
    for (size_t i = 0; i < count; ++i) mean += in[i];
    mean /= static_cast<double>(count);
    to.resize(count);
    double energy = 0;
    for (size_t i = 0; i < count; ++i) {
      const double v = in[i] - mean;
      to[i] = static_cast<float>(v);
      energy += v * v;
    }
    return energy;
  };
  const double e0 = centred(reference, work.reference);
  const double e1 = centred(other, work.other);
  if (!(e0 > 0) || !(e1 > 0)) {
    out.result = KPXGROUP_ALIGN_WEAK;
    return;
  }

  // Both windows zero-padded to M >= 2 count (every lag without wrapping),
  // as the real and imaginary parts of one transform.
  size_t size = 4;
  while (size < 2 * count) size *= 2;
  if (!work.fft || work.fft->size() != size) work.fft = fftOfSize(size);
  const Fft<float>& fft = *work.fft;
  work.re.assign(size, 0.0f);
  work.im.assign(size, 0.0f);
  std::copy(work.reference.begin(), work.reference.end(), work.re.begin());
  std::copy(work.other.begin(), work.other.end(), work.im.begin());
  float* re = work.re.data();
  float* im = work.im.data();
  fft.forward(re, im);

  // Z = X0 + i X1 with X0, X1 the spectra of real windows; for the pair of
  // frequencies k and M - k (positions p and q): X0 = (Z_p + conj Z_q)/2,
  // X1 = (Z_p - conj Z_q)/2i, and the correlation's spectrum
  // C = X0 conj(X1) = i (a + b) conj(a - b) / 4 with a = Z_p, b = conj Z_q;
  // C at q is conj(C at p).
  re[0] = re[0] * im[0];
  im[0] = 0;
  re[1] = re[1] * im[1];
  im[1] = 0;
  for (size_t block = 2; block < size; block *= 2) {
    for (size_t p = block, q = 2 * block - 1; p < q; ++p, --q) {
      const float ar = re[p], ai = im[p], br = re[q], bi = -im[q];
      const float sr = ar + br, si = ai + bi, dr = ar - br, di = ai - bi;
      // (s conj(d)) = (sr dr + si di) + i (si dr - sr di); times i/4
      const float pr = sr * dr + si * di, pi = si * dr - sr * di;
      const float cr = -pi / 4, ci = pr / 4;
      re[p] = cr;
      im[p] = ci;
      re[q] = cr;
      im[q] = -ci;
    }
  }
  fft.inverse(re, im);

  // r[tau] = sum other[n] reference[n + tau] for tau in -(count-1)..count-1,
  // laid out from the most negative lag.
  const size_t lags = 2 * count - 1;
  std::vector<double> r(lags);
  const double scale = 1.0 / static_cast<double>(size);
  for (size_t j = 0; j < lags; ++j) {
    const int64_t tau = static_cast<int64_t>(j) - static_cast<int64_t>(count - 1);
    const size_t at = tau < 0 ? size - static_cast<size_t>(-tau) : static_cast<size_t>(tau);
    r[j] = re[at] * scale;
  }
  const size_t peak = static_cast<size_t>(std::max_element(r.begin(), r.end()) - r.begin());
  const double top = r[peak];
  out.peak = top / std::sqrt(e0 * e1);
  if (!(top > 0)) {
    out.result = KPXGROUP_ALIGN_WEAK;
    return;
  }
  // The main lobe: as far as r keeps falling on each side.
  size_t lo = peak, hi = peak;
  while (lo > 0 && r[lo - 1] < r[lo]) --lo;
  while (hi + 1 < lags && r[hi + 1] < r[hi]) ++hi;
  double second = 0, power = 0;
  size_t outside = 0;
  for (size_t j = 0; j < lags; ++j) {
    if (j >= lo && j <= hi) continue;
    second = std::max(second, r[j]);
    power += r[j] * r[j];
    ++outside;
  }
  const double rms = outside ? std::sqrt(power / static_cast<double>(outside)) : 0;
  out.secondPeak = second / top;
  out.peakToNoise = rms > 0 ? top / rms : HUGE_VAL;

  const double at = refinePeak(r, peak, kInterpolationHalfWidth);
  const double offset = at - static_cast<double>(count - 1);
  // The peak between the samples of r, where the reference truly matches.
  out.peak = std::max(top, interpolate(r, at, kInterpolationHalfWidth)) / std::sqrt(e0 * e1);
  const int64_t whole = static_cast<int64_t>(std::llround(offset));
  const size_t half = count / 2;
  const double first = halfOffset(work.reference, work.other, 0, half, whole);
  const double last = halfOffset(work.reference, work.other, half, count, whole);
  out.offset = offset;
  // The half-windows' centres lie count / 2 apart.
  out.drift = (last - first) / (static_cast<double>(count) / 2);
  // Two windows correlate when the coefficient is well beyond chance (about
  // 1/sqrt(count) for unrelated windows). A periodic reference correlates
  // and repeats its peak; unrelated windows have many near-equal peaks too,
  // but are weak, not ambiguous.
  const bool correlated = out.peak >= kChanceCoefficients / std::sqrt(static_cast<double>(count));
  if (correlated && out.secondPeak >= kAmbiguousRatio)
    out.result = KPXGROUP_ALIGN_AMBIGUOUS;
  else if (!correlated || out.peakToNoise < kWeakRatio)
    out.result = KPXGROUP_ALIGN_WEAK;
  else if (out.secondPeak >= kAmbiguousRatio)
    out.result = KPXGROUP_ALIGN_AMBIGUOUS;
  else
    out.result = KPXGROUP_ALIGN_OK;
}

}  // namespace kpxgroup

extern "C" int32_t KpxGroup_Align(const int16_t* reference, const int16_t* other, uint64_t count,
                                  KpxGroupAlignment* result) {
  if (!result || ((!reference || !other) && count > 0)) return KPXGROUP_ERR_NULL;
  if (count > KPXGROUP_MAX_WINDOW) return KPXGROUP_ERR_WINDOW;
  try {
    kpxgroup::AlignWork work;
    kpxgroup::alignWindows(reference, other, static_cast<size_t>(count), *result, work);
  } catch (const std::bad_alloc&) {
    return KPXGROUP_ERR_NO_MEMORY;
  }
  return KPXGROUP_OK;
}
