// RealFft on FFTW: one plan per size for the whole process, executed on
// each transform's own aligned buffers (fftw_execute_dft_r2c is thread-safe,
// the planner is not, hence the lock).
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

fftw_plan planFor(size_t size) {
  static PlanCache cache;
  std::lock_guard lock(cache.mutex);
  auto found = cache.plans.find(size);
  if (found != cache.plans.end()) return found->second;
  // FFTW_ESTIMATE plans at once, without trial runs (a measured plan of 2^20
  // points takes seconds) and without touching the arrays.
  double* in = fftw_alloc_real(size);
  fftw_complex* out = fftw_alloc_complex(size / 2 + 1);
  fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(size), in, out, FFTW_ESTIMATE);
  fftw_free(in);
  fftw_free(out);
  if (!plan) throw std::bad_alloc();
  cache.plans.emplace(size, plan);
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

const char* RealFft::backendName() {
  return "fftw";
}

}  // namespace kpx::analysis::detail
