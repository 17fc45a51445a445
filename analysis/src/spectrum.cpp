#include <bit>
#include <cmath>
#include <stdexcept>
#include <string>

#include "kpxadac/analysis.h"
#include "power.h"
#include "real_fft.h"
#include "window.h"

namespace kpx::analysis {

namespace {
// Full scale of the 16-bit samples: a sine of this amplitude is 0 dBFS.
constexpr double kFullScale = 32768.0;
}  // namespace

struct SpectrumAverager::State {
  State(size_t size, Window w)
      : window(w),
        coefficients(detail::windowCoefficients(w, size)),
        fft(size),
        sums(size / 2 + 1, 0.0) {
    // |X[k]|^2 of a sine of amplitude A at bin k is (A sum(w) / 2)^2; scaled
    // so that A = full scale reads 1. DC and Nyquist have no mirror bin, so
    // their power is |X|^2 / sum(w)^2 of the full-scale sine's A^2 / 2.
    const double s1 = detail::coherentSum(w, size) * kFullScale;
    interiorScale = 4.0 / (s1 * s1);
    edgeScale = 2.0 / (s1 * s1);
  }
  Window window;
  std::vector<double> coefficients;
  detail::RealFft fft;
  std::vector<double> sums;  // |X[k]|^2 summed over the spectra added
  size_t count = 0;
  double interiorScale = 0, edgeScale = 0;
};

SpectrumAverager::SpectrumAverager(size_t fftSize, Window window) {
  if (fftSize < kMinFftSize || fftSize > kMaxFftSize || !std::has_single_bit(fftSize))
    throw std::invalid_argument("FFT size " + std::to_string(fftSize) +
                                " is not a power of two from 1024 to 1048576");
  state_ = std::make_unique<State>(fftSize, window);
}

SpectrumAverager::~SpectrumAverager() = default;
SpectrumAverager::SpectrumAverager(SpectrumAverager&&) noexcept = default;
SpectrumAverager& SpectrumAverager::operator=(SpectrumAverager&&) noexcept = default;

void SpectrumAverager::add(const int16_t* samples) {
  State& s = *state_;
  double* in = s.fft.input();
  const size_t n = s.coefficients.size();
  for (size_t i = 0; i < n; ++i) in[i] = s.coefficients[i] * samples[i];
  const std::complex<double>* bins = s.fft.transform();
  for (size_t k = 0; k < s.sums.size(); ++k) s.sums[k] += std::norm(bins[k]);
  ++s.count;
}

size_t SpectrumAverager::count() const {
  return state_->count;
}

void SpectrumAverager::reset() {
  std::fill(state_->sums.begin(), state_->sums.end(), 0.0);
  state_->count = 0;
}

std::vector<double> SpectrumAverager::powerLinear() const {
  const State& s = *state_;
  std::vector<double> power(s.sums.size(), 0.0);
  if (s.count == 0) return power;
  const double perSpectrum = 1.0 / static_cast<double>(s.count);
  for (size_t k = 0; k < power.size(); ++k) {
    const bool edge = k == 0 || k + 1 == power.size();
    power[k] = s.sums[k] * perSpectrum * (edge ? s.edgeScale : s.interiorScale);
  }
  return power;
}

std::vector<double> SpectrumAverager::powerDbfs() const {
  std::vector<double> power = powerLinear();
  for (double& p : power) p = detail::powerDb(p);
  return power;
}

size_t SpectrumAverager::fftSize() const {
  return state_->coefficients.size();
}
Window SpectrumAverager::window() const {
  return state_->window;
}

}  // namespace kpx::analysis
