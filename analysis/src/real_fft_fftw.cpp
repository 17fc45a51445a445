// RealFft on FFTW: one plan per size for the whole process, executed on
// each transform's own aligned buffers (fftw_execute_dft_r2c is thread-safe,
// the planner is not, hence the lock). A process may hold two copies of this
// file (a program's static analysis and libkpxadac_response), each with its
// own lock, so FFTW's own planner lock is switched on too.
#include <fftw3.h>

#include <map>
#include <mutex>
#include <new>

#include "real_fft.h"

namespace kpx::analysis::detail {
namespace {

// The plans of the sizes used so far, destroyed when the process ends.
struct PlanCache {
  std::mutex mutex;
  std::map<size_t, fftw_plan> plans;
  ~PlanCache() {
    for (auto& entry : plans) fftw_destroy_plan(entry.second);
  }
};

// inverse: the complex-to-real plan of that size.
fftw_plan planFor(size_t size, bool inverse = false) {
  static PlanCache cache;
  static std::once_flag planLock;
  std::call_once(planLock, [] { fftw_make_planner_thread_safe(); });
  std::lock_guard lock(cache.mutex);
  // Forward plans under size, inverse ones under size + 1 (sizes are even).
  const size_t key = inverse ? size + 1 : size;
  auto found = cache.plans.find(key);
  if (found != cache.plans.end()) return found->second;
  // FFTW_ESTIMATE plans at once, without trial runs (a measured plan of 2^20
  // points takes seconds) and without touching the arrays.
  double* real = fftw_alloc_real(size);
  fftw_complex* bins = fftw_alloc_complex(size / 2 + 1);
  fftw_plan plan = inverse
                       ? fftw_plan_dft_c2r_1d(static_cast<int>(size), bins, real, FFTW_ESTIMATE)
                       : fftw_plan_dft_r2c_1d(static_cast<int>(size), real, bins, FFTW_ESTIMATE);
  fftw_free(real);
  fftw_free(bins);
  if (!plan) throw std::bad_alloc();
  cache.plans.emplace(key, plan);
  return plan;
}

}  // namespace

struct RealFft::Backend {
  fftw_plan plan = nullptr;
  double* in = nullptr;
  fftw_complex* out = nullptr;
  ~Backend() {
    fftw_free(in);
    fftw_free(out);
  }
};

RealFft::RealFft(size_t size) : size_(size), backend_(std::make_unique<Backend>()) {
  backend_->plan = planFor(size);
  backend_->in = fftw_alloc_real(size);
  backend_->out = fftw_alloc_complex(size / 2 + 1);
  if (!backend_->in || !backend_->out) throw std::bad_alloc();
}

RealFft::~RealFft() = default;

double* RealFft::input() {
  return backend_->in;
}

const std::complex<double>* RealFft::transform() {
  fftw_execute_dft_r2c(backend_->plan, backend_->in, backend_->out);
  // fftw_complex is double[2], laid out as std::complex<double>.
  return reinterpret_cast<const std::complex<double>*>(backend_->out);
}

struct RealInverseFft::Backend {
  fftw_plan plan = nullptr;
  fftw_complex* in = nullptr;
  double* out = nullptr;
  ~Backend() {
    fftw_free(in);
    fftw_free(out);
  }
};

RealInverseFft::RealInverseFft(size_t size) : size_(size), backend_(std::make_unique<Backend>()) {
  backend_->plan = planFor(size, true);
  backend_->in = fftw_alloc_complex(size / 2 + 1);
  backend_->out = fftw_alloc_real(size);
  if (!backend_->in || !backend_->out) throw std::bad_alloc();
}

RealInverseFft::~RealInverseFft() = default;

std::complex<double>* RealInverseFft::input() {
  return reinterpret_cast<std::complex<double>*>(backend_->in);
}

const double* RealInverseFft::transform() {
  fftw_execute_dft_c2r(backend_->plan, backend_->in, backend_->out);
  const double scale = 1.0 / static_cast<double>(size_);
  for (size_t i = 0; i < size_; ++i) backend_->out[i] *= scale;
  return backend_->out;
}

const char* RealFft::backendName() {
  return "fftw";
}

}  // namespace kpx::analysis::detail
