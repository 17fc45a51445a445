// Offsets and drift of one window against another: FFT cross-correlation
// of the whole windows, the peak refined below a sample by band-limited
// interpolation of the correlation, drift from the two half-windows.
#include "alignment.h"

#include <algorithm>
#include <array>
#include <bit>
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
// Lags each side of the whole window's peak computed in each half-window:
// where its peak is looked for, and what the sub-sample fit uses (fewer
// make the fit's bias depend on the half's spectrum, as for a chirp, whose
// halves hold different bands).
constexpr int kHalfSearch = 16;

// The FFTs of the two sizes last used, kept for the next call (a measure
// aligns every board with one size; building the tables costs a few ms).
std::shared_ptr<const Fft<float>> fftOfSize(size_t size) {
  static std::mutex mutex;
  static std::shared_ptr<const Fft<float>> kept[2];
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto& fft : kept)
    if (fft && fft->size() == size) return fft;
  kept[1] = kept[0];
  kept[0] = std::make_shared<const Fft<float>>(size);
  return kept[0];
}

// p with its lowest `bits` bits in reverse order.
size_t reverseBits(size_t p, unsigned bits) {
  static const auto table = [] {
    std::array<uint8_t, 256> t{};
    for (unsigned v = 0; v < 256; ++v) {
      unsigned r = 0;
      for (unsigned b = 0; b < 8; ++b) r |= ((v >> b) & 1u) << (7 - b);
      t[v] = static_cast<uint8_t>(r);
    }
    return t;
  }();
  const uint32_t v = static_cast<uint32_t>(p);
  const uint32_t reversed = uint32_t{table[v & 255]} << 24 | uint32_t{table[(v >> 8) & 255]} << 16 |
                            uint32_t{table[(v >> 16) & 255]} << 8 | uint32_t{table[v >> 24]};
  return reversed >> (32 - bits);
}

// The inverse transform of a Hermitian spectrum C of `size` points, given in
// bit-reversed order, through a transform of half the size: C[k] and
// C[k + M/2] lie side by side (positions 2p and 2p + 1, p the place of k in
// the half-size order), and Z[k] = (C[k] + C[k+M/2]) + i (C[k] - C[k+M/2])
// W_M^-k transforms back to r[2m] + i r[2m+1]. Leaves those in re[0..M/2)
// and im[0..M/2).
void realInverse(float* re, float* im, size_t size, const Fft<float>& half) {
  const size_t halfSize = size / 2;
  unsigned bits = 0;
  while ((size_t{1} << bits) < halfSize) ++bits;
  // W_M^k = coarse[k / F] fine[k % F], both small enough to stay in cache.
  size_t fine = 1;
  while (fine * fine < halfSize) fine *= 2;
  const double step = -2.0 * kPi / static_cast<double>(size);
  std::vector<float> fineRe(fine), fineIm(fine), coarseRe(halfSize / fine + 1),
      coarseIm(halfSize / fine + 1);
  for (size_t j = 0; j < fine; ++j) {
    fineRe[j] = static_cast<float>(std::cos(step * static_cast<double>(j)));
    fineIm[j] = static_cast<float>(std::sin(step * static_cast<double>(j)));
  }
  for (size_t j = 0; j < coarseRe.size(); ++j) {
    coarseRe[j] = static_cast<float>(std::cos(step * static_cast<double>(j * fine)));
    coarseIm[j] = static_cast<float>(std::sin(step * static_cast<double>(j * fine)));
  }
  const size_t shift = static_cast<size_t>(std::countr_zero(fine));
  for (size_t p = 0; p < halfSize; ++p) {
    const size_t k = bits ? reverseBits(p, bits) : 0;
    const float cr = coarseRe[k >> shift], ci = coarseIm[k >> shift];
    const float fr = fineRe[k & (fine - 1)], fi = fineIm[k & (fine - 1)];
    const float wr = cr * fr - ci * fi, wi = cr * fi + ci * fr;
    const float ar = re[2 * p], ai = im[2 * p], br = re[2 * p + 1], bi = im[2 * p + 1];
    const float er = ar + br, ei = ai + bi, dr = ar - br, di = ai - bi;
    // O = D conj(W); Z = E + i O
    const float orr = dr * wr + di * wi, oi = di * wr - dr * wi;
    re[p] = er - oi;
    im[p] = ei + orr;
  }
  half.inverse(re, im);
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

// Loops over whole windows, in lanes the compiler turns into vector
// operations (each lane a sum of its own, so no reordering of a sum is
// needed); float lanes are emptied into doubles every kChunk elements.
constexpr size_t kLanes = 16;
constexpr size_t kChunk = 4096;

// sum of a[i] * b[i], i < n.
KPXGROUP_CLONES double dotProduct(const float* a, const float* b, size_t n) {
  double sum = 0;
  for (size_t start = 0; start < n; start += kChunk) {
    const size_t end = std::min(n, start + kChunk);
    float lanes[kLanes] = {};
    const size_t whole = start + (end - start) / kLanes * kLanes;
    for (size_t i = start; i < whole; i += kLanes)
      for (size_t j = 0; j < kLanes; ++j) lanes[j] += a[i + j] * b[i + j];
    for (float lane : lanes) sum += lane;
    for (size_t i = whole; i < end; ++i) sum += static_cast<double>(a[i]) * b[i];
  }
  return sum;
}

// The largest of r[0..n) (n > 0), and the sum of the squares.
KPXGROUP_CLONES void maxAndPower(const float* r, size_t n, float& high, double& power) {
  float top[kLanes];
  std::fill(top, top + kLanes, r[0]);
  double sum = 0;
  size_t i = 0;
  while (i + kLanes <= n) {
    float lanes[kLanes] = {};
    const size_t end = std::min(n - (n - i) % kLanes, i + kChunk);
    for (; i < end; i += kLanes)
      for (size_t j = 0; j < kLanes; ++j) {
        lanes[j] += r[i + j] * r[i + j];
        top[j] = r[i + j] > top[j] ? r[i + j] : top[j];
      }
    for (float lane : lanes) sum += lane;
  }
  high = *std::max_element(top, top + kLanes);
  for (; i < n; ++i) {
    sum += static_cast<double>(r[i]) * r[i];
    high = std::max(high, r[i]);
  }
  power = sum;
}

// sum over i in [begin, end) of other[i] * reference[i + lag], i + lag kept
// inside the window.
double dot(const std::vector<float>& reference, const std::vector<float>& other, size_t begin,
           size_t end, int64_t lag) {
  const int64_t n = static_cast<int64_t>(reference.size());
  const int64_t from = std::max<int64_t>(static_cast<int64_t>(begin), -lag);
  const int64_t to = std::min<int64_t>(static_cast<int64_t>(end), n - lag);
  if (to <= from) return 0;
  return dotProduct(other.data() + from, reference.data() + from + lag,
                    static_cast<size_t>(to - from));
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
  // Integer sums are exact (count <= 2^22, squares <= 2^30).
  auto centred = [count](const int16_t* in, std::vector<float>& to) {
    int64_t sum = 0, squares = 0;
    for (size_t i = 0; i < count; ++i) {
      sum += in[i];
      squares += int64_t{in[i]} * in[i];
    }
    const double mean = static_cast<double>(sum) / static_cast<double>(count);
    to.resize(count);
    const float level = static_cast<float>(mean);
    for (size_t i = 0; i < count; ++i) to[i] = static_cast<float>(in[i]) - level;
    return static_cast<double>(squares) - mean * static_cast<double>(sum);
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
  // The upper halves are the padding: forwardPadded neither reads them nor
  // needs them zeroed.
  work.re.resize(size);
  work.im.resize(size);
  float* re = work.re.data();
  float* im = work.im.data();
  std::copy(work.reference.begin(), work.reference.end(), re);
  std::copy(work.other.begin(), work.other.end(), im);
  std::fill(re + count, re + size / 2, 0.0f);
  std::fill(im + count, im + size / 2, 0.0f);
  fft.forwardPadded(re, im);

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
  if (!work.halfFft || work.halfFft->size() != size / 2) work.halfFft = fftOfSize(size / 2);
  realInverse(re, im, size, *work.halfFft);

  // r[tau] = sum other[n] reference[n + tau] for tau in -(count-1)..count-1,
  // laid out from the most negative lag; r at tau (mod M) is re[tau/2] for
  // even tau, im[tau/2] for odd. Normalised to correlation coefficients
  // (|r| <= 1), so that sums of squares stay far inside float's range.
  const size_t lags = 2 * count - 1;
  const double norm = std::sqrt(e0 * e1);
  const float scale = static_cast<float>(1.0 / (static_cast<double>(size) * norm));
  work.lags.resize(lags);
  float* r = work.lags.data();
  auto unwrap = [&](size_t from, size_t to, float* into) {
    for (size_t at = from; at < to; ++at) *into++ = (at % 2 ? im[at / 2] : re[at / 2]) * scale;
  };
  unwrap(size - (count - 1), size, r);
  unwrap(0, count, r + (count - 1));
  float highest = 0;
  double everything = 0;
  maxAndPower(r, lags, highest, everything);
  const size_t peak = static_cast<size_t>(std::find(r, r + lags, highest) - r);
  const double top = r[peak];
  out.peak = top;
  if (!(top > 0)) {
    out.result = KPXGROUP_ALIGN_WEAK;
    return;
  }
  // The main lobe: as far as r keeps falling on each side.
  size_t lo = peak, hi = peak;
  while (lo > 0 && r[lo - 1] < r[lo]) --lo;
  while (hi + 1 < lags && r[hi + 1] < r[hi]) ++hi;
  float second = 0;
  double power = everything;
  for (size_t j = lo; j <= hi; ++j) power -= static_cast<double>(r[j]) * r[j];
  power = std::max(power, 0.0);
  auto outside = [&](size_t from, size_t to) {
    if (to <= from) return;
    float high = 0;
    double unused = 0;
    maxAndPower(r + from, to - from, high, unused);
    second = std::max(second, high);
  };
  outside(0, lo);
  outside(hi + 1, lags);
  const size_t outsideCount = lags - (hi - lo + 1);
  const double rms = outsideCount ? std::sqrt(power / static_cast<double>(outsideCount)) : 0;
  out.secondPeak = static_cast<double>(second) / top;
  out.peakToNoise = rms > 0 ? top / rms : HUGE_VAL;

  // The correlation around the peak, for the sub-sample fit (lags without
  // overlap are 0).
  const int64_t reach = kInterpolationHalfWidth + 2;
  auto around = [&](int64_t centre, int64_t half) {
    std::vector<double> values(static_cast<size_t>(2 * half + 1), 0.0);
    for (int64_t m = -half; m <= half; ++m) {
      const int64_t j = centre + m;
      if (j >= 0 && j < static_cast<int64_t>(lags)) values[static_cast<size_t>(m + half)] = r[j];
    }
    return values;
  };
  const std::vector<double> near = around(static_cast<int64_t>(peak), reach);
  const double at = refinePeak(near, static_cast<size_t>(reach), kInterpolationHalfWidth);
  const double offset =
      static_cast<double>(peak) + at - static_cast<double>(reach) - static_cast<double>(count - 1);
  // The peak between the samples of r, where the reference truly matches.
  out.peak = std::max(top, interpolate(near, at, kInterpolationHalfWidth));

  // Drift: the same fit in each half-window, on the lags around the whole
  // window's peak. The first half's correlation is summed here; the second
  // half's is the whole one's less the first's.
  const int64_t whole = static_cast<int64_t>(std::llround(offset));
  const size_t half = count / 2;
  const int64_t h = kHalfSearch;
  const std::vector<double> full = around(whole + static_cast<int64_t>(count - 1), h);
  std::vector<double> firstHalf(full.size()), secondHalf(full.size());
  for (int64_t m = -h; m <= h; ++m) {
    const size_t k = static_cast<size_t>(m + h);
    firstHalf[k] = dot(work.reference, work.other, 0, half, whole + m) / norm;
    secondHalf[k] = full[k] - firstHalf[k];
  }
  auto fit = [&](const std::vector<double>& values) {
    const size_t best =
        static_cast<size_t>(std::max_element(values.begin(), values.end()) - values.begin());
    return static_cast<double>(whole - h) + refinePeak(values, best, static_cast<int>(h));
  };
  out.offset = offset;
  // The half-windows' centres lie count / 2 apart.
  out.drift = (fit(secondHalf) - fit(firstHalf)) / (static_cast<double>(count) / 2);
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
