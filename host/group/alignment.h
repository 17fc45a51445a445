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

// Buffers kept between the boards of one measure. Throws std::bad_alloc.
struct AlignWork {
  std::shared_ptr<const Fft<float>> fft, halfFft;  // of M and M/2 points
  std::vector<float> re, im;                       // the FFT's data
  std::vector<float> lags;                         // the correlation, from the most negative lag
  std::vector<float> reference, other;             // the windows, their means removed
};

// Fills `out` for two windows of `count` samples (count <= KPXGROUP_MAX_WINDOW).
void alignWindows(const int16_t* reference, const int16_t* other, size_t count,
                  KpxGroupAlignment& out, AlignWork& work);

}  // namespace kpxgroup

#endif
