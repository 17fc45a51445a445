// The analysis windows, all sums of cosines in their periodic (DFT-even)
// form: w[n] = a0 - a1 cos(2 pi n / N) + a2 cos(4 pi n / N) - a3 cos(6 pi n / N).
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "kpxadac/analysis.h"

namespace kpx::analysis::detail {

std::array<double, 4> cosineTerms(Window window);

// The N coefficients of the window.
std::vector<double> windowCoefficients(Window window, size_t size);

// Equivalent noise bandwidth in bins, N sum(w^2) / sum(w)^2; exact for the
// periodic form: (a0^2 + (a1^2 + a2^2 + a3^2) / 2) / a0^2.
double equivalentNoiseBandwidthBins(Window window);

// The window's coherent gain times N: sum(w) = N a0.
double coherentSum(Window window, size_t size);

}  // namespace kpx::analysis::detail
