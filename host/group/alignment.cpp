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

}  // namespace

CorrelationTables::CorrelationTables(size_t size) : half(size / 2), wre(size / 2), wim(size / 2) {
  // W_M^k = coarse[k / F] fine[k % F], each from std::cos/sin in double.
  const size_t halfSize = size / 2;
  unsigned bits = 0;
  while ((size_t{1} << bits) < halfSize) ++bits;
  size_t fine = 1;
  while (fine * fine < halfSize) fine *= 2;
  const double step = -2.0 * kPi / static_cast<double>(size);
  std::vector<double> fineRe(fine), fineIm(fine), coarseRe(halfSize / fine + 1),
      coarseIm(halfSize / fine + 1);
  for (size_t j = 0; j < fine; ++j) {
    fineRe[j] = std::cos(step * static_cast<double>(j));
    fineIm[j] = std::sin(step * static_cast<double>(j));
  }
  for (size_t j = 0; j < coarseRe.size(); ++j) {
    coarseRe[j] = std::cos(step * static_cast<double>(j * fine));
    coarseIm[j] = std::sin(step * static_cast<double>(j * fine));
  }
  for (size_t p = 0; p < halfSize; ++p) {
    const size_t k = bits ? reverseBits(p, bits) : 0;
    const double cr = coarseRe[k / fine], ci = coarseIm[k / fine];
    const double fr = fineRe[k % fine], fi = fineIm[k % fine];
    wre[p] = static_cast<float>(cr * fr - ci * fi);
    wim[p] = static_cast<float>(cr * fi + ci * fr);
  }
}

namespace {

// The tables of the two sizes last used, kept for the next call (a measure
// aligns every board with one size; building them costs a few ms).
std::shared_ptr<const CorrelationTables> tablesOfSize(size_t size) {
  static std::mutex mutex;
  static std::shared_ptr<const CorrelationTables> kept[2];
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto& tables : kept)
    if (tables && tables->size() == size) return tables;
  kept[1] = kept[0];
  kept[0] = std::make_shared<const CorrelationTables>(size);
  return kept[0];
}

// The correlation's spectrum from the half-size spectra of two real windows,
// made ready for the half-size inverse, for the pairs of positions in
// [from, to) and their mirrors (p and q = Fft::mirror(p), frequencies k and
// H - k of the half-size order, H = M/2).
//
// A window x of M points (zero-padded) is transformed as z[n] = x[2n] +
// i x[2n+1], n < H: with a = Z[p] and b = conj Z[q], the even samples'
// spectrum is E = (a + b)/2, the odd ones' O = (a - b)/2i, and X[k] = E +
// W O, X[k + H] = E - W O, W = W_M^k. The correlation's spectrum is C =
// X0 conj(X1) (reference 0, other 1). The half-size inverse then takes
// (C[k] + C[k+H]) + i (C[k] - C[k+H]) conj(W) at p and gives r[2m] + i
// r[2m+1]; at q everything is the conjugate (the windows are real). The
// halves are left out: the result is 4 times the true one.
struct SpectrumPair {
  float pr, pi, qr, qi;  // at p and at q
};
KPXGROUP_INLINE SpectrumPair correlationPair(float r0p, float i0p, float r0q, float i0q, float r1p,
                                             float i1p, float r1q, float i1q, float w_r,
                                             float w_i) {
  // E and O (times 2) of both windows; b = conj Z[q].
  const float e0r = r0p + r0q, e0i = i0p - i0q;
  const float e1r = r1p + r1q, e1i = i1p - i1q;
  // (a - b) / i = (a - b) times -i
  const float o0r = i0p + i0q, o0i = r0q - r0p;
  const float o1r = i1p + i1q, o1i = r1q - r1p;
  // W O
  const float u0r = w_r * o0r - w_i * o0i, u0i = w_r * o0i + w_i * o0r;
  const float u1r = w_r * o1r - w_i * o1i, u1i = w_r * o1i + w_i * o1r;
  // X[k] and X[k + H] of both
  const float a0r = e0r + u0r, a0i = e0i + u0i, b0r = e0r - u0r, b0i = e0i - u0i;
  const float a1r = e1r + u1r, a1i = e1i + u1i, b1r = e1r - u1r, b1i = e1i - u1i;
  // C[k] = X0[k] conj X1[k], C[k + H] likewise
  const float cpr = a0r * a1r + a0i * a1i, cpi = a0i * a1r - a0r * a1i;
  const float cmr = b0r * b1r + b0i * b1i, cmi = b0i * b1r - b0r * b1i;
  const float sr = cpr + cmr, si = cpi + cmi;
  const float dr = cpr - cmr, di = cpi - cmi;
  // T = D conj(W); at p S + i T, at q conj(S) + i conj(T)
  const float tr = dr * w_r + di * w_i, ti = di * w_r - dr * w_i;
  return {sr - ti, si + tr, sr + ti, tr - si};
}

// correlationPair for the positions p in [from, to) and q = sum - p, the
// other window's spectrum replaced by the result.
KPXGROUP_CLONES void correlationSpectrum(const float* __restrict r0, const float* __restrict i0,
                                         float* __restrict r1, float* __restrict i1,
                                         const float* __restrict wr, const float* __restrict wi,
                                         size_t from, size_t to, size_t sum) {
  // Each turn reads and writes its own two positions only.
  KPXGROUP_NO_ALIAS
  for (size_t p = from; p < to; ++p) {
    const size_t q = sum - p;
    const SpectrumPair c =
        correlationPair(r0[p], i0[p], r0[q], i0[q], r1[p], i1[p], r1[q], i1[q], wr[p], wi[p]);
    r1[p] = c.pr;
    i1[p] = c.pi;
    r1[q] = c.qr;
    i1[q] = c.qi;
  }
}

// into[2j] = re[j] * scale, into[2j + 1] = im[j] * scale for j in [0, n).
KPXGROUP_CLONES void interleave(const float* __restrict re, const float* __restrict im, size_t n,
                                float scale, float* __restrict into) {
  for (size_t j = 0; j < n; ++j) {
    into[2 * j] = re[j] * scale;
    into[2 * j + 1] = im[j] * scale;
  }
}

// re[j] = from[2j], im[j] = from[2j + 1] for j in [0, n).
KPXGROUP_CLONES void deinterleave(const float* __restrict from, size_t n, float* __restrict re,
                                  float* __restrict im) {
  for (size_t j = 0; j < n; ++j) {
    re[j] = from[2 * j];
    im[j] = from[2 * j + 1];
  }
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
double dot(const float* reference, const float* other, size_t count, size_t begin, size_t end,
           int64_t lag) {
  const int64_t n = static_cast<int64_t>(count);
  const int64_t from = std::max<int64_t>(static_cast<int64_t>(begin), -lag);
  const int64_t to = std::min<int64_t>(static_cast<int64_t>(end), n - lag);
  if (to <= from) return 0;
  return dotProduct(other + from, reference + from + lag, static_cast<size_t>(to - from));
}

}  // namespace

namespace {

// `in` as floats less their mean into `to`; returns the sum of squares about
// the mean. The mean is removed because a constant level on a board would
// add a triangle peaking at lag 0 to the correlation. Integer sums are
// exact (count <= 2^22, squares <= 2^30).
double centred(const int16_t* in, size_t count, float* to) {
  int64_t sum = 0, squares = 0;
  for (size_t i = 0; i < count; ++i) {
    sum += in[i];
    squares += int64_t{in[i]} * in[i];
  }
  const double mean = static_cast<double>(sum) / static_cast<double>(count);
  const float level = static_cast<float>(mean);
  for (size_t i = 0; i < count; ++i) to[i] = static_cast<float>(in[i]) - level;
  return static_cast<double>(squares) - mean * static_cast<double>(sum);
}

// The half-size spectrum of a centred window zero-padded to M points:
// z[n] = x[2n] + i x[2n+1]. Only z's lower half can be non-zero (count <=
// M/2), so forwardPadded neither reads nor needs the upper half.
void halfSpectrum(const float* centredWindow, size_t count, const CorrelationTables& tables,
                  float* re, float* im) {
  const size_t pairs = count / 2;
  deinterleave(centredWindow, pairs, re, im);
  size_t filled = pairs;
  if (count % 2) {
    re[pairs] = centredWindow[count - 1];
    im[pairs] = 0;
    ++filled;
  }
  const size_t quarter = tables.half.size() / 2;
  std::fill(re + filled, re + quarter, 0.0f);
  std::fill(im + filled, im + quarter, 0.0f);
  tables.half.forwardPadded(re, im);
}

}  // namespace

void prepareReference(const int16_t* reference, size_t count, AlignWork& work) {
  work.count = count;
  work.referenceEnergy = 0;
  if (count < KPXGROUP_MIN_WINDOW) return;
  float* const centredWindow = work.reference.get(count);
  work.referenceEnergy = centred(reference, count, centredWindow);
  if (!(work.referenceEnergy > 0)) return;
  // Zero-padded to M >= 2 count: every lag without wrapping.
  size_t size = 4;
  while (size < 2 * count) size *= 2;
  if (!work.tables || work.tables->size() != size) work.tables = tablesOfSize(size);
  halfSpectrum(centredWindow, count, *work.tables, work.referenceRe.get(size / 2),
               work.referenceIm.get(size / 2));
}

void alignWindows(const int16_t* reference, const int16_t* other, size_t count,
                  KpxGroupAlignment& out, AlignWork& work) {
  prepareReference(reference, count, work);
  alignPrepared(other, out, work);
}

void alignPrepared(const int16_t* other, KpxGroupAlignment& out, AlignWork& work) {
  out = KpxGroupAlignment{};
  const size_t count = work.count;
  if (count < KPXGROUP_MIN_WINDOW) {
    out.result = KPXGROUP_ALIGN_TOO_SHORT;
    return;
  }
  const float* const referenceCentred = work.reference.get(count);
  float* const otherCentred = work.other.get(count);
  const double e0 = work.referenceEnergy;
  const double e1 = centred(other, count, otherCentred);
  if (!(e0 > 0) || !(e1 > 0)) {
    out.result = KPXGROUP_ALIGN_WEAK;
    return;
  }

  const CorrelationTables& tables = *work.tables;
  const size_t size = tables.size();
  const size_t halfSize = size / 2;
  float* re = work.re.get(halfSize);
  float* im = work.im.get(halfSize);
  halfSpectrum(otherCentred, count, tables, re, im);
  const float* r0 = work.referenceRe.get(halfSize);
  const float* i0 = work.referenceIm.get(halfSize);
  const float* wr = tables.wre.data();
  const float* wi = tables.wim.data();
  // Positions 0 and 1 (frequencies 0 and H/2) pair with themselves.
  for (size_t p = 0; p < std::min<size_t>(2, halfSize); ++p) {
    const SpectrumPair c =
        correlationPair(r0[p], i0[p], r0[p], i0[p], re[p], im[p], re[p], im[p], wr[p], wi[p]);
    re[p] = c.pr;
    im[p] = c.pi;
  }
  for (size_t block = 2; block < halfSize; block *= 2)
    correlationSpectrum(r0, i0, re, im, wr, wi, block, block + block / 2, 3 * block - 1);
  tables.half.inverse(re, im);

  // r[tau] = sum other[n] reference[n + tau] for tau in -(count-1)..count-1,
  // laid out from the most negative lag; r at tau (mod M) is re[tau/2] for
  // even tau, im[tau/2] for odd. Normalised to correlation coefficients
  // (|r| <= 1), so that sums of squares stay far inside float's range.
  const size_t lags = 2 * count - 1;
  const double norm = std::sqrt(e0 * e1);
  const float scale = static_cast<float>(1.0 / (4.0 * static_cast<double>(size) * norm));
  float* r = work.lags.get(lags);
  auto unwrap = [&](size_t from, size_t to, float* into) {
    if (from % 2) {
      *into++ = im[from / 2] * scale;
      ++from;
    }
    const size_t pairs = (to - from) / 2;
    interleave(re + from / 2, im + from / 2, pairs, scale, into);
    if (from + 2 * pairs < to) into[2 * pairs] = re[from / 2 + pairs] * scale;
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
    firstHalf[k] = dot(referenceCentred, otherCentred, count, 0, half, whole + m) / norm;
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
