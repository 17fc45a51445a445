// References sampled at any instant, so that a test knows each window's true
// offset to the last digit: s(t) is defined for every real t and board b's
// sample n is s((n + shift) * (1 + ppm 1e-6)).
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace groupref {

constexpr double kPi = 3.14159265358979323846;

// Band-limited noise: white noise on the integer grid through a
// Blackman-windowed sinc low-pass (cutoff 0.4 of the sample rate, 64 taps),
// evaluated at any t. A shifted copy is the same function moved.
class Noise {
 public:
  explicit Noise(size_t length, uint32_t seed = 7) : white_(length) {
    std::mt19937 generator(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (double& v : white_) v = normal(generator);
  }
  double operator()(double t) const {
    const double base = std::floor(t);
    double sum = 0;
    for (int j = -kHalf + 1; j <= kHalf; ++j) {
      const double m = base + j;
      if (m < 0 || m >= static_cast<double>(white_.size())) continue;
      sum += white_[static_cast<size_t>(m)] * kernel(t - m);
    }
    return sum;
  }

 private:
  static constexpr int kHalf = 32;
  static double kernel(double x) {
    const double u = x / kHalf;
    if (std::fabs(u) >= 1) return 0;
    const double window = 0.42 + 0.5 * std::cos(kPi * u) + 0.08 * std::cos(2 * kPi * u);
    const double a = 2 * kPi * 0.4 * x;
    return (std::fabs(x) < 1e-12 ? 0.8 : std::sin(a) / (kPi * x)) * window;
  }
  std::vector<double> white_;
};

// A linear chirp from 0.01 to 0.4 of the sample rate over `length` samples.
struct Chirp {
  double length;
  double operator()(double t) const {
    const double f0 = 0.01, f1 = 0.4;
    return std::sin(2 * kPi * (f0 * t + (f1 - f0) * t * t / (2 * length)));
  }
};

// `count` samples of `signal` at (n + shift)(1 + ppm 1e-6), scaled to
// `amplitude` LSB, plus `noiseLsb` RMS of independent noise.
template <typename Signal>
std::vector<int16_t> sample(const Signal& signal, size_t count, double shift, double amplitude,
                            double ppm = 0, double noiseLsb = 0, uint32_t seed = 11) {
  std::mt19937 generator(seed);
  std::normal_distribution<double> normal(0.0, noiseLsb > 0 ? noiseLsb : 1.0);
  std::vector<int16_t> out(count);
  for (size_t n = 0; n < count; ++n) {
    double v = amplitude * signal((static_cast<double>(n) + shift) * (1 + ppm * 1e-6));
    if (noiseLsb > 0) v += normal(generator);
    out[n] = static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
  }
  return out;
}

}  // namespace groupref
