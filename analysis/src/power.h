// Decibel conversions shared by the spectrum and the measurements.
#pragma once

#include <algorithm>
#include <cmath>

#include "kpxadac/analysis.h"

namespace kpx::analysis::detail {

// A power level in dB, never below kFloorDbfs (zero power included).
inline double powerDb(double linear) {
  return linear > 0 ? std::max(10.0 * std::log10(linear), kFloorDbfs) : kFloorDbfs;
}

// A ratio of two powers in dB; infinite when the denominator is zero.
inline double ratioDb(double numerator, double denominator) {
  return 10.0 * std::log10(numerator / denominator);
}

}  // namespace kpx::analysis::detail
