// RealFft on Eigen's header-only FFT module (its KISS FFT back end), for
// builds without FFTW. Each transform keeps its own twiddle tables.
#include <unsupported/Eigen/FFT>
#include <vector>

#include "real_fft.h"

namespace kpx::analysis::detail {

struct RealFft::Backend {
  Eigen::FFT<double> fft;
  std::vector<double> in;
  std::vector<std::complex<double>> out;
};

RealFft::RealFft(size_t size) : size_(size), backend_(std::make_unique<Backend>()) {
  backend_->fft.SetFlag(Eigen::FFT<double>::HalfSpectrum);
  backend_->in.resize(size);
  backend_->out.resize(size / 2 + 1);
}

RealFft::~RealFft() = default;

double* RealFft::input() {
  return backend_->in.data();
}

const std::complex<double>* RealFft::transform() {
  backend_->fft.fwd(backend_->out.data(), backend_->in.data(), static_cast<Eigen::Index>(size_));
  return backend_->out.data();
}

struct RealInverseFft::Backend {
  Eigen::FFT<double> fft;
  std::vector<std::complex<double>> in;
  std::vector<double> out;
};

RealInverseFft::RealInverseFft(size_t size) : size_(size), backend_(std::make_unique<Backend>()) {
  backend_->fft.SetFlag(Eigen::FFT<double>::HalfSpectrum);
  backend_->in.resize(size / 2 + 1);
  backend_->out.resize(size);
}

RealInverseFft::~RealInverseFft() = default;

std::complex<double>* RealInverseFft::input() {
  return backend_->in.data();
}

const double* RealInverseFft::transform() {
  // Eigen scales the inverse by 1/size itself.
  backend_->fft.inv(backend_->out.data(), backend_->in.data(), static_cast<Eigen::Index>(size_));
  return backend_->out.data();
}

const char* RealFft::backendName() {
  return "eigen";
}

}  // namespace kpx::analysis::detail
