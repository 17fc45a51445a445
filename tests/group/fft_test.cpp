// The group's FFT against a direct DFT in double, for every size from 2 to
// 4096 (odd and even powers of two, the leaf and the recursion), its
// bit-reversed order, the padded forward transform and the round trip.
#include "group/fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace {

using kpxgroup::Fft;

template <typename T>
void checkSize(size_t size, double tolerance) {
  SCOPED_TRACE(size);
  const Fft<T> fft(size);
  std::mt19937 generator(static_cast<uint32_t>(size));
  std::normal_distribution<double> normal;
  std::vector<T> re(size), im(size);
  for (size_t n = 0; n < size; ++n) {
    re[n] = static_cast<T>(normal(generator));
    // The upper half zero, so that the padded transform can be compared too.
    im[n] = n < size / 2 ? static_cast<T>(normal(generator)) : T{0};
    if (n >= size / 2) re[n] = 0;
  }
  const std::vector<T> inRe = re, inIm = im;
  fft.forward(re.data(), im.data());
  std::vector<std::complex<double>> roots(size);
  for (size_t j = 0; j < size; ++j)
    roots[j] = std::polar(
        1.0, -2 * 3.14159265358979323846 * static_cast<double>(j) / static_cast<double>(size));
  double worst = 0;
  for (size_t p = 0; p < size; ++p) {
    const size_t k = fft.frequency(p);
    std::complex<double> sum = 0;
    for (size_t n = 0; n < size; ++n)
      sum += std::complex<double>(inRe[n], inIm[n]) * roots[n * k % size];
    worst = std::max(worst, std::abs(sum - std::complex<double>(re[p], im[p])));
    // The frequency at the mirrored place is M - k.
    EXPECT_EQ(fft.frequency(Fft<T>::mirror(p)), (size - k) % size) << p;
  }
  EXPECT_LT(worst, tolerance * static_cast<double>(size));

  std::vector<T> padRe = inRe, padIm = inIm;
  for (size_t n = size / 2; n < size; ++n) padRe[n] = padIm[n] = static_cast<T>(1e6);  // not read
  fft.forwardPadded(padRe.data(), padIm.data());
  for (size_t p = 0; p < size; ++p) {
    EXPECT_NEAR(padRe[p], re[p], tolerance * static_cast<double>(size)) << p;
    EXPECT_NEAR(padIm[p], im[p], tolerance * static_cast<double>(size)) << p;
  }

  fft.inverse(re.data(), im.data());
  for (size_t n = 0; n < size; ++n) {
    EXPECT_NEAR(re[n] / static_cast<double>(size), inRe[n], tolerance) << n;
    EXPECT_NEAR(im[n] / static_cast<double>(size), inIm[n], tolerance) << n;
  }
}

TEST(GroupFft, MatchesTheDirectTransformAtEverySize) {
  for (size_t size = 2; size <= 4096; size *= 2) {
    checkSize<double>(size, 1e-12);
    checkSize<float>(size, 1e-5);
  }
}

// Sizes where the transform recurses several levels above its leaves (even
// and odd powers of two): bins picked at random against the direct sum, the
// padded forward transform alike, and the round trip.
TEST(GroupFft, DeepRecursionMatchesTheDirectTransformAtSampledBins) {
  for (const size_t size : {size_t{1} << 16, size_t{1} << 17}) {
    SCOPED_TRACE(size);
    const Fft<float> fft(size);
    std::mt19937 generator(static_cast<uint32_t>(size) + 1);
    std::normal_distribution<double> normal;
    std::vector<float> re(size, 0.0f), im(size, 0.0f);
    for (size_t n = 0; n < size / 2; ++n) {
      re[n] = static_cast<float>(normal(generator));
      im[n] = static_cast<float>(normal(generator));
    }
    const std::vector<float> inRe = re, inIm = im;
    std::vector<float> padRe = re, padIm = im;
    fft.forward(re.data(), im.data());
    fft.forwardPadded(padRe.data(), padIm.data());
    std::uniform_int_distribution<size_t> position(0, size - 1);
    for (int turn = 0; turn < 24; ++turn) {
      const size_t p = turn < 2 ? static_cast<size_t>(turn) : position(generator);
      const size_t k = fft.frequency(p);
      std::complex<double> sum = 0;
      for (size_t n = 0; n < size / 2; ++n)
        sum += std::complex<double>(inRe[n], inIm[n]) *
               std::polar(1.0, -2 * 3.14159265358979323846 * static_cast<double>(n * k % size) /
                                   static_cast<double>(size));
      // float rounding grows about as sqrt(size) times the values' size
      const double tolerance = 2e-4 * std::sqrt(static_cast<double>(size));
      EXPECT_NEAR(re[p], sum.real(), tolerance) << p;
      EXPECT_NEAR(im[p], sum.imag(), tolerance) << p;
      EXPECT_NEAR(padRe[p], sum.real(), tolerance) << p;
      EXPECT_NEAR(padIm[p], sum.imag(), tolerance) << p;
    }
    fft.inverse(re.data(), im.data());
    double worst = 0;
    for (size_t n = 0; n < size; ++n)
      worst = std::max({worst, std::fabs(re[n] / static_cast<double>(size) - inRe[n]),
                        std::fabs(im[n] / static_cast<double>(size) - inIm[n])});
    EXPECT_LT(worst, 1e-5);
  }
}

}  // namespace
