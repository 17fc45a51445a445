// What theory says of a virtual tone board: a sine of amplitude A (dB
// relative to 32767) plus Gaussian noise of sigma LSB rms, rounded to
// integers (a further 1/12 LSB^2 of noise).
#pragma once

#include <cmath>

namespace tone_theory {

inline double amplitude(double amplitudeDbfs) {
  return 32767.0 * std::pow(10.0, amplitudeDbfs / 20);
}

// The tone's power in dB relative to a full-scale (32768) sine.
inline double powerDbfs(double amplitudeDbfs) {
  return 20 * std::log10(amplitude(amplitudeDbfs) / 32768);
}

inline double snrDb(double amplitudeDbfs, double noiseLsbRms) {
  const double a = amplitude(amplitudeDbfs);
  return 10 * std::log10((a * a / 2) / (noiseLsbRms * noiseLsbRms + 1.0 / 12));
}

inline double enobBits(double sinadDb) {
  return (sinadDb - 1.76) / 6.02;
}

}  // namespace tone_theory
