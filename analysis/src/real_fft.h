// The forward real-to-complex FFT behind the spectra: FFTW where it is
// available, Eigen's header-only FFT (a KISS FFT) elsewhere, such as in the
// Windows cross build. The build chooses one (KPXADAC_FFT).
#pragma once

#include <complex>
#include <cstddef>
#include <memory>

namespace kpx::analysis::detail {

class RealFft {
 public:
  explicit RealFft(size_t size);  // size: even
  ~RealFft();
  RealFft(const RealFft&) = delete;
  RealFft& operator=(const RealFft&) = delete;

  // size() values to transform; write them, then call transform().
  double* input();
  // Transforms input() into size()/2 + 1 bins, X[k] = sum x[n] e^(-2 pi i k n / N).
  // The input may be overwritten.
  const std::complex<double>* transform();
  size_t size() const { return size_; }

  static const char* backendName();

 private:
  struct Backend;
  size_t size_;
  std::unique_ptr<Backend> backend_;
};

// The inverse: size()/2 + 1 bins back to size() real values, scaled by
// 1/size() so that it undoes RealFft. The input may be overwritten.
class RealInverseFft {
 public:
  explicit RealInverseFft(size_t size);  // size: even
  ~RealInverseFft();
  RealInverseFft(const RealInverseFft&) = delete;
  RealInverseFft& operator=(const RealInverseFft&) = delete;

  std::complex<double>* input();
  const double* transform();
  size_t size() const { return size_; }

 private:
  struct Backend;
  size_t size_;
  std::unique_ptr<Backend> backend_;
};

}  // namespace kpx::analysis::detail
