// Offsets and drift of one window against another (KpxGroup_Align), for the
// group's measure and the pure C function.
#ifndef KPXADAC_GROUP_ALIGNMENT_H
#define KPXADAC_GROUP_ALIGNMENT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fft.h"
#include "kpxadac_group.h"

namespace kpxgroup {

// Floats left uninitialised: each is written before it is read, and
// zeroing tens of megabytes first would cost as much as a pass of the FFT.
class FloatBuffer {
 public:
  float* get(size_t count) {  // at least `count` floats; throws std::bad_alloc
    if (count > size_) {
      data_.reset(new float[count]);
      size_ = count;
    }
    return data_.get();
  }

 private:
  std::unique_ptr<float[]> data_;
  size_t size_ = 0;
};

// What a correlation of windows zero-padded to M points needs: the FFT of
// M/2 points and the twiddles W_M^k (k the frequency at each position of the
// half-size bit-reversed order). Throws std::bad_alloc.
struct CorrelationTables {
  explicit CorrelationTables(size_t size);
  size_t size() const { return 2 * half.size(); }
  Fft<float> half;
  std::vector<float> wre, wim;
};

// Buffers kept between the boards of one measure, and the reference
// window's part of the work, done once for every board aligned against it.
// Throws std::bad_alloc.
struct AlignWork {
  std::shared_ptr<const CorrelationTables> tables;
  FloatBuffer re, im;                    // the other window's spectrum, then the correlation's
  FloatBuffer referenceRe, referenceIm;  // the reference's spectrum
  FloatBuffer lags;                      // the correlation, most negative lag first
  FloatBuffer reference, other;          // the windows, their means removed
  size_t count = 0;                      // of the reference prepared
  double referenceEnergy = 0;            // its sum of squares about the mean
};

// Prepares `work` for windows of `count` samples (count <= KPXGROUP_MAX_WINDOW)
// aligned against `reference`.
void prepareReference(const int16_t* reference, size_t count, AlignWork& work);

// Fills `out` for a window of the count prepared against the reference
// prepared last.
void alignPrepared(const int16_t* other, KpxGroupAlignment& out, AlignWork& work);

// Both steps: fills `out` for two windows of `count` samples.
void alignWindows(const int16_t* reference, const int16_t* other, size_t count,
                  KpxGroupAlignment& out, AlignWork& work);

}  // namespace kpxgroup

#endif
