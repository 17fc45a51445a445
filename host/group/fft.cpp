// The group's FFT (fft.h): radix-4 decimation in frequency forward,
// decimation in time inverse, depth first, with a final radix-2 stage when
// the size is an odd power of two.
#include "fft.h"

#include <algorithm>
#include <cmath>

namespace kpxgroup {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Sub-transforms of up to this many points are done stage by stage (they
// fit in the first-level cache); larger ones recurse.
constexpr size_t kLeaf = 1024;

}  // namespace

template <typename T>
Fft<T>::Fft(size_t size) : size_(size), bits_(0) {
  while ((size_t{1} << bits_) < size) ++bits_;
  size_t total = 0;
  for (size_t n = size; n >= 4; n /= 4) {
    stages_.push_back({n, total});
    total += n / 4;
  }
  w1re_.resize(total);
  w1im_.resize(total);
  // W_M^j (j < M/4) as the product of a coarse and a fine root, each from
  // std::cos/sin in double: as exact as direct evaluation, a fraction of
  // the time. Every stage's W_n^k is W_M^(k M/n).
  const size_t span = size / 4 + 1;
  size_t fine = 1;
  while (fine * fine < span) fine *= 2;
  const double step = -2.0 * kPi / static_cast<double>(size);
  std::vector<double> lowRe(fine), lowIm(fine), highRe(span / fine + 1), highIm(span / fine + 1);
  for (size_t j = 0; j < fine; ++j) {
    lowRe[j] = std::cos(step * static_cast<double>(j));
    lowIm[j] = std::sin(step * static_cast<double>(j));
  }
  for (size_t a = 0; a < highRe.size(); ++a) {
    highRe[a] = std::cos(step * static_cast<double>(a * fine));
    highIm[a] = std::sin(step * static_cast<double>(a * fine));
  }
  for (const Stage& stage : stages_) {
    const size_t stride = size / stage.n;
    for (size_t k = 0; k < stage.n / 4; ++k) {
      const size_t j = k * stride;
      const double hr = highRe[j / fine], hi = highIm[j / fine];
      const double lr = lowRe[j % fine], li = lowIm[j % fine];
      w1re_[stage.offset + k] = static_cast<T>(hr * lr - hi * li);
      w1im_[stage.offset + k] = static_cast<T>(hr * li + hi * lr);
    }
  }
}

template <typename T>
size_t Fft<T>::mirror(size_t position) {
  if (position < 2) return position;
  size_t block = 1;
  while (block * 2 <= position) block *= 2;
  return 3 * block - 1 - position;
}

template <typename T>
size_t Fft<T>::frequency(size_t position) const {
  size_t k = 0;
  for (unsigned b = 0; b < bits_; ++b) k = (k << 1) | ((position >> b) & 1u);
  return k;
}

namespace {

// Butterfly loops as free functions, so that they can be compiled for
// several processors (KPXGROUP_CLONES, fft.h).

// One radix-4 stage of the decimation in frequency on 4q points (twiddles
// W^k for k < q): afterwards each quarter is a transform of its own.
template <typename T>
KPXGROUP_INLINE void forwardBody(T* re, T* im, size_t q, const T* __restrict w1r,
                                 const T* __restrict w1i) {
  T* __restrict r0 = re;
  T* __restrict r1 = re + q;
  T* __restrict r2 = re + 2 * q;
  T* __restrict r3 = re + 3 * q;
  T* __restrict i0 = im;
  T* __restrict i1 = im + q;
  T* __restrict i2 = im + 2 * q;
  T* __restrict i3 = im + 3 * q;
  KPXGROUP_NO_ALIAS
  for (size_t k = 0; k < q; ++k) {
    // W^2k and W^3k from W^k: two products instead of two more tables to
    // stream from memory.
    const T w1rk = w1r[k], w1ik = w1i[k];
    const T w2rk = w1rk * w1rk - w1ik * w1ik, w2ik = 2 * w1rk * w1ik;
    const T w3rk = w2rk * w1rk - w2ik * w1ik, w3ik = w2rk * w1ik + w2ik * w1rk;
    const T b0r = r0[k] + r2[k], b0i = i0[k] + i2[k];
    const T b1r = r1[k] + r3[k], b1i = i1[k] + i3[k];
    const T dr = r0[k] - r2[k], di = i0[k] - i2[k];
    // (a1 - a3) times -i
    const T er = i1[k] - i3[k], ei = r3[k] - r1[k];
    r0[k] = b0r + b1r;
    i0[k] = b0i + b1i;
    const T fr = b0r - b1r, fi = b0i - b1i;
    r1[k] = fr * w2rk - fi * w2ik;
    i1[k] = fr * w2ik + fi * w2rk;
    const T gr = dr + er, gi = di + ei;
    r2[k] = gr * w1rk - gi * w1ik;
    i2[k] = gr * w1ik + gi * w1rk;
    const T hr = dr - er, hi = di - ei;
    r3[k] = hr * w3rk - hi * w3ik;
    i3[k] = hr * w3ik + hi * w3rk;
  }
}

// The inverse of forwardBody's stage (times 4).
template <typename T>
KPXGROUP_INLINE void inverseBody(T* re, T* im, size_t q, const T* __restrict w1r,
                                 const T* __restrict w1i) {
  T* __restrict r0 = re;
  T* __restrict r1 = re + q;
  T* __restrict r2 = re + 2 * q;
  T* __restrict r3 = re + 3 * q;
  T* __restrict i0 = im;
  T* __restrict i1 = im + q;
  T* __restrict i2 = im + 2 * q;
  T* __restrict i3 = im + 3 * q;
  KPXGROUP_NO_ALIAS
  for (size_t k = 0; k < q; ++k) {
    // W^2k and W^3k from W^k: two products instead of two more tables to
    // stream from memory.
    const T w1rk = w1r[k], w1ik = w1i[k];
    const T w2rk = w1rk * w1rk - w1ik * w1ik, w2ik = 2 * w1rk * w1ik;
    const T w3rk = w2rk * w1rk - w2ik * w1ik, w3ik = w2rk * w1ik + w2ik * w1rk;
    // c1 conj(w2), c2 conj(w1), c3 conj(w3)
    const T c1r = r1[k] * w2rk + i1[k] * w2ik, c1i = i1[k] * w2rk - r1[k] * w2ik;
    const T c2r = r2[k] * w1rk + i2[k] * w1ik, c2i = i2[k] * w1rk - r2[k] * w1ik;
    const T c3r = r3[k] * w3rk + i3[k] * w3ik, c3i = i3[k] * w3rk - r3[k] * w3ik;
    const T b0r = r0[k] + c1r, b0i = i0[k] + c1i;
    const T b1r = r0[k] - c1r, b1i = i0[k] - c1i;
    const T dr = c2r + c3r, di = c2i + c3i;
    // (c2 conj(w1) - c3 conj(w3)) times i
    const T er = c3i - c2i, ei = c2r - c3r;
    r0[k] = b0r + dr;
    i0[k] = b0i + di;
    r2[k] = b0r - dr;
    i2[k] = b0i - di;
    r1[k] = b1r + er;
    i1[k] = b1i + ei;
    r3[k] = b1r - er;
    i3[k] = b1i - ei;
  }
}

KPXGROUP_CLONES void forwardPass(float* re, float* im, size_t q, const float* w1r,
                                 const float* w1i) {
  forwardBody(re, im, q, w1r, w1i);
}
KPXGROUP_CLONES void forwardPass(double* re, double* im, size_t q, const double* w1r,
                                 const double* w1i) {
  forwardBody(re, im, q, w1r, w1i);
}
KPXGROUP_CLONES void inversePass(float* re, float* im, size_t q, const float* w1r,
                                 const float* w1i) {
  inverseBody(re, im, q, w1r, w1i);
}
KPXGROUP_CLONES void inversePass(double* re, double* im, size_t q, const double* w1r,
                                 const double* w1i) {
  inverseBody(re, im, q, w1r, w1i);
}

// forwardBody's stage when the upper half of the input is zero: the third
// and fourth quarters are only written.
template <typename T>
KPXGROUP_INLINE void forwardPaddedBody(T* re, T* im, size_t q, const T* __restrict w1r,
                                       const T* __restrict w1i) {
  T* __restrict r0 = re;
  T* __restrict r1 = re + q;
  T* __restrict r2 = re + 2 * q;
  T* __restrict r3 = re + 3 * q;
  T* __restrict i0 = im;
  T* __restrict i1 = im + q;
  T* __restrict i2 = im + 2 * q;
  T* __restrict i3 = im + 3 * q;
  KPXGROUP_NO_ALIAS
  for (size_t k = 0; k < q; ++k) {
    const T w1rk = w1r[k], w1ik = w1i[k];
    const T w2rk = w1rk * w1rk - w1ik * w1ik, w2ik = 2 * w1rk * w1ik;
    const T w3rk = w2rk * w1rk - w2ik * w1ik, w3ik = w2rk * w1ik + w2ik * w1rk;
    const T ar = r0[k], ai = i0[k], br = r1[k], bi = i1[k];
    // a1 times -i
    const T er = bi, ei = -br;
    r0[k] = ar + br;
    i0[k] = ai + bi;
    const T fr = ar - br, fi = ai - bi;
    r1[k] = fr * w2rk - fi * w2ik;
    i1[k] = fr * w2ik + fi * w2rk;
    const T gr = ar + er, gi = ai + ei;
    r2[k] = gr * w1rk - gi * w1ik;
    i2[k] = gr * w1ik + gi * w1rk;
    const T hr = ar - er, hi = ai - ei;
    r3[k] = hr * w3rk - hi * w3ik;
    i3[k] = hr * w3ik + hi * w3rk;
  }
}

KPXGROUP_CLONES void forwardPaddedPass(float* re, float* im, size_t q, const float* w1r,
                                       const float* w1i) {
  forwardPaddedBody(re, im, q, w1r, w1i);
}
KPXGROUP_CLONES void forwardPaddedPass(double* re, double* im, size_t q, const double* w1r,
                                       const double* w1i) {
  forwardPaddedBody(re, im, q, w1r, w1i);
}

template <typename T>
KPXGROUP_INLINE void radix2(T* re, T* im, size_t n) {
  for (size_t j = 0; j < n; j += 2) {
    const T ar = re[j], ai = im[j];
    re[j] = ar + re[j + 1];
    im[j] = ai + im[j + 1];
    re[j + 1] = ar - re[j + 1];
    im[j + 1] = ai - im[j + 1];
  }
}

// Every stage of a sub-transform of n points that fits in the first-level
// cache, in one call: stages[0] is its first. The stages of 4, 8 and 16
// points are called with their sizes as constants, so that their butterflies
// are unrolled instead of run as loops of one, two or four turns.
template <typename T>
KPXGROUP_INLINE void forwardLeafBody(T* re, T* im, size_t n, const FftStage* stages, const T* w1r,
                                     const T* w1i) {
  size_t m = n;
  for (; m >= 4; m /= 4, ++stages) {
    const T* wr = w1r + stages->offset;
    const T* wi = w1i + stages->offset;
    if (m == 4)
      for (size_t j = 0; j < n; j += 4) forwardBody(re + j, im + j, 1, wr, wi);
    else if (m == 8)
      for (size_t j = 0; j < n; j += 8) forwardBody(re + j, im + j, 2, wr, wi);
    else if (m == 16)
      for (size_t j = 0; j < n; j += 16) forwardBody(re + j, im + j, 4, wr, wi);
    else
      for (size_t j = 0; j < n; j += m) forwardBody(re + j, im + j, m / 4, wr, wi);
  }
  if (m == 2) radix2(re, im, n);
}

// forwardLeafBody's inverse: the same stages, last first.
template <typename T>
KPXGROUP_INLINE void inverseLeafBody(T* re, T* im, size_t n, const FftStage* stages, const T* w1r,
                                     const T* w1i) {
  size_t count = 0;
  size_t m = n;
  for (; m >= 4; m /= 4) ++count;
  if (m == 2) radix2(re, im, n);
  for (size_t s = count; s-- > 0;) {
    const size_t size = stages[s].n;
    const T* wr = w1r + stages[s].offset;
    const T* wi = w1i + stages[s].offset;
    if (size == 4)
      for (size_t j = 0; j < n; j += 4) inverseBody(re + j, im + j, 1, wr, wi);
    else if (size == 8)
      for (size_t j = 0; j < n; j += 8) inverseBody(re + j, im + j, 2, wr, wi);
    else if (size == 16)
      for (size_t j = 0; j < n; j += 16) inverseBody(re + j, im + j, 4, wr, wi);
    else
      for (size_t j = 0; j < n; j += size) inverseBody(re + j, im + j, size / 4, wr, wi);
  }
}

KPXGROUP_CLONES void forwardLeaf(float* re, float* im, size_t n, const FftStage* stages,
                                 const float* w1r, const float* w1i) {
  forwardLeafBody(re, im, n, stages, w1r, w1i);
}
KPXGROUP_CLONES void forwardLeaf(double* re, double* im, size_t n, const FftStage* stages,
                                 const double* w1r, const double* w1i) {
  forwardLeafBody(re, im, n, stages, w1r, w1i);
}
KPXGROUP_CLONES void inverseLeaf(float* re, float* im, size_t n, const FftStage* stages,
                                 const float* w1r, const float* w1i) {
  inverseLeafBody(re, im, n, stages, w1r, w1i);
}
KPXGROUP_CLONES void inverseLeaf(double* re, double* im, size_t n, const FftStage* stages,
                                 const double* w1r, const double* w1i) {
  inverseLeafBody(re, im, n, stages, w1r, w1i);
}

}  // namespace

template <typename T>
void Fft<T>::forwardRadix4(T* re, T* im, size_t stage) const {
  const size_t o = stages_[stage].offset;
  forwardPass(re, im, stages_[stage].n / 4, w1re_.data() + o, w1im_.data() + o);
}

template <typename T>
void Fft<T>::inverseRadix4(T* re, T* im, size_t stage) const {
  const size_t o = stages_[stage].offset;
  inversePass(re, im, stages_[stage].n / 4, w1re_.data() + o, w1im_.data() + o);
}

template <typename T>
void Fft<T>::forwardFrom(T* re, T* im, size_t n, size_t stage) const {
  if (n <= kLeaf) {
    forwardLeaf(re, im, n, stages_.data() + stage, w1re_.data(), w1im_.data());
    return;
  }
  forwardRadix4(re, im, stage);
  const size_t q = n / 4;
  for (size_t part = 0; part < 4; ++part) forwardFrom(re + part * q, im + part * q, q, stage + 1);
}

template <typename T>
void Fft<T>::inverseFrom(T* re, T* im, size_t n, size_t stage) const {
  if (n <= kLeaf) {
    inverseLeaf(re, im, n, stages_.data() + stage, w1re_.data(), w1im_.data());
    return;
  }
  const size_t q = n / 4;
  for (size_t part = 0; part < 4; ++part) inverseFrom(re + part * q, im + part * q, q, stage + 1);
  inverseRadix4(re, im, stage);
}

template <typename T>
void Fft<T>::forward(T* re, T* im) const {
  forwardFrom(re, im, size_, 0);
}

template <typename T>
void Fft<T>::forwardPadded(T* re, T* im) const {
  if (size_ <= kLeaf) {
    std::fill(re + size_ / 2, re + size_, T{0});
    std::fill(im + size_ / 2, im + size_, T{0});
    forward(re, im);
    return;
  }
  forwardPaddedPass(re, im, size_ / 4, w1re_.data(), w1im_.data());
  const size_t q = size_ / 4;
  for (size_t part = 0; part < 4; ++part) forwardFrom(re + part * q, im + part * q, q, 1);
}

template <typename T>
void Fft<T>::inverse(T* re, T* im) const {
  inverseFrom(re, im, size_, 0);
}

template class Fft<float>;
template class Fft<double>;

}  // namespace kpxgroup
