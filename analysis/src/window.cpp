#include "window.h"

#include <cmath>
#include <numbers>

namespace kpx::analysis {

std::optional<Window> parseWindow(std::string_view name) {
  for (Window w : {Window::kBlackmanHarris4, Window::kHann, Window::kRectangular})
    if (name == windowName(w)) return w;
  return std::nullopt;
}

const char* windowName(Window window) {
  switch (window) {
    case Window::kBlackmanHarris4:
      return "blackman-harris";
    case Window::kHann:
      return "hann";
    case Window::kRectangular:
      return "rectangular";
  }
  return "unknown";
}

int mainLobeHalfWidthBins(Window window) {
  // The first zeros of the windows' transforms: 4, 2 and 1 bins from the
  // centre of the lobe.
  switch (window) {
    case Window::kBlackmanHarris4:
      return 4;
    case Window::kHann:
      return 2;
    case Window::kRectangular:
      return 1;
  }
  return 1;
}

namespace detail {

std::array<double, 4> cosineTerms(Window window) {
  switch (window) {
    case Window::kBlackmanHarris4:  // the minimum 4-term Blackman-Harris (-92 dB side lobes)
      return {0.35875, 0.48829, 0.14128, 0.01168};
    case Window::kHann:
      return {0.5, 0.5, 0, 0};
    case Window::kRectangular:
      return {1, 0, 0, 0};
  }
  return {1, 0, 0, 0};
}

std::vector<double> windowCoefficients(Window window, size_t size) {
  const auto a = cosineTerms(window);
  std::vector<double> w(size);
  const double step = 2 * std::numbers::pi / static_cast<double>(size);
  for (size_t n = 0; n < size; ++n) {
    const double x = step * static_cast<double>(n);
    w[n] = a[0] - a[1] * std::cos(x) + a[2] * std::cos(2 * x) - a[3] * std::cos(3 * x);
  }
  return w;
}

double equivalentNoiseBandwidthBins(Window window) {
  const auto a = cosineTerms(window);
  return (a[0] * a[0] + (a[1] * a[1] + a[2] * a[2] + a[3] * a[3]) / 2) / (a[0] * a[0]);
}

double coherentSum(Window window, size_t size) {
  return static_cast<double>(size) * cosineTerms(window)[0];
}

}  // namespace detail
}  // namespace kpx::analysis
