// A small power-of-two FFT for the group's cross-correlation.
//
// Not FFTW: the core library needs nothing beyond the standard library
// (and FFTW is GPL). This one is made for one job, correlation: the forward
// transform (decimation in frequency) leaves the spectrum in bit-reversed
// order and the inverse (decimation in time) takes it in that order, so no
// bit-reversal pass is ever made (a pointwise product does not care about
// the order). Both go depth first, radix 4, so that once a sub-transform
// fits in the cache it stays there; the data are split into real and
// imaginary arrays and each stage's twiddles lie side by side, so the
// compiler vectorises the butterflies.
#ifndef KPXADAC_GROUP_FFT_H
#define KPXADAC_GROUP_FFT_H

#include <cstddef>
#include <vector>

// On x86-64 Linux with GCC, a loop marked KPXGROUP_CLONES is also compiled
// for AVX2 and FMA (x86-64-v3) and the loader picks the version the
// processor runs (target_clones); elsewhere only the baseline is built.
// KPXGROUP_INLINE puts a template's body into each version.
// Not under ThreadSanitizer: the clones' resolver runs while the program is
// being loaded, before the sanitizer's runtime, and its instrumented code crashes.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__)
#define KPXGROUP_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#define KPXGROUP_INLINE inline __attribute__((always_inline))
#else
#define KPXGROUP_CLONES
#define KPXGROUP_INLINE inline
#endif

// KPXGROUP_NO_ALIAS before a loop: its iterations carry no dependence
// through memory. The butterflies' eight streams are quarters of one array,
// which the compiler cannot tell apart, and the run-time overlap checks it
// would need instead are too many: without this the loops stay scalar.
#if defined(__clang__)
#define KPXGROUP_NO_ALIAS _Pragma("clang loop vectorize(assume_safety)")
#elif defined(__GNUC__)
#define KPXGROUP_NO_ALIAS _Pragma("GCC ivdep")
#else
#define KPXGROUP_NO_ALIAS
#endif

namespace kpxgroup {

// One radix-4 stage of an Fft: its sub-transforms' size and where its
// twiddles begin in the tables.
struct FftStage {
  size_t n;       // sub-transform size
  size_t offset;  // of its n/4 twiddles in the tables
};

template <typename T>
class Fft {
 public:
  // size: a power of two, at least 2.
  explicit Fft(size_t size);
  size_t size() const { return size_; }
  // In place, natural order in, bit-reversed order out:
  // X[k] = sum x[n] e^{-2 pi i nk/M}.
  void forward(T* re, T* im) const;
  // forward() of an input whose upper half (M/2..M-1) is zero; that half
  // is not read, only written.
  void forwardPadded(T* re, T* im) const;
  // In place, bit-reversed order in, natural order out; without the 1/M.
  void inverse(T* re, T* im) const;

  // Spectra in bit-reversed order: the frequency at position p in
  // [2^j, 2^(j+1)) pairs with M minus that frequency at 3 * 2^j - 1 - p;
  // positions 0 (frequency 0) and 1 (M/2) pair with themselves.
  static size_t mirror(size_t position);
  // The frequency (0..M-1) at a position of the bit-reversed order.
  size_t frequency(size_t position) const;

 private:
  using Stage = FftStage;
  void forwardFrom(T* re, T* im, size_t n, size_t stage) const;
  void inverseFrom(T* re, T* im, size_t n, size_t stage) const;
  void forwardRadix4(T* re, T* im, size_t stage) const;
  void inverseRadix4(T* re, T* im, size_t stage) const;
  size_t size_;
  unsigned bits_;
  std::vector<Stage> stages_;  // radix-4 stages, largest first
  // W_n^k (W_n = e^{-2 pi i/n}) for k < n/4, stage after stage.
  std::vector<T> w1re_, w1im_;
};

extern template class Fft<float>;
extern template class Fft<double>;

}  // namespace kpxgroup

#endif
