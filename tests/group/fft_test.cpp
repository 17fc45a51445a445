// The group's FFT against a direct DFT in double, for every size from 2 to
// 4096 (odd and even powers of two, the leaf and the recursion), its
// bit-reversed order, the padded forward transform and the round trip.
#include "group/fft.h"

#include <gtest/gtest.h>

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

}  // namespace
