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

// Buffers kept between the boards of one measure. Throws std::bad_alloc.
struct AlignWork {
  std::shared_ptr<const Fft<float>> fft, halfFft;  // of M and M/2 points
  FloatBuffer re, im;                              // the FFT's data
  FloatBuffer lags;                                // the correlation, most negative lag first
  FloatBuffer reference, other;                    // the windows, their means removed
};

// Fills `out` for two windows of `count` samples (count <= KPXGROUP_MAX_WINDOW).
void alignWindows(const int16_t* reference, const int16_t* other, size_t count,
                  KpxGroupAlignment& out, AlignWork& work);

}  // namespace kpxgroup

#endif
