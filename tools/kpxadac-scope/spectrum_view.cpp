#include "spectrum_view.h"

#include <algorithm>
#include <cmath>

#include "kpxadac/analysis.h"

namespace scope {

void RunningAverage::setLength(size_t length) {
  length_ = std::max<size_t>(1, length);
  count_ = std::min(count_, length_);
}

void RunningAverage::reset() {
  count_ = 0;
  average_.clear();
}

void RunningAverage::add(const std::vector<double>& spectrum) {
  if (count_ == 0 || average_.size() != spectrum.size()) {
    average_ = spectrum;
    count_ = 1;
    return;
  }
  if (count_ < length_) ++count_;
  const double weight = 1.0 / static_cast<double>(count_);
  for (size_t i = 0; i < spectrum.size(); ++i) average_[i] += (spectrum[i] - average_[i]) * weight;
}

double toDbfs(double powerLinear) {
  constexpr double kFloor = kpx::analysis::kFloorDbfs;
  return powerLinear > 0 ? std::max(kFloor, 10 * std::log10(powerLinear)) : kFloor;
}

ThinnedSpectrum thinSpectrum(const std::vector<double>& powerLinear, size_t maxPoints) {
  ThinnedSpectrum thinned;
  if (powerLinear.empty() || maxPoints == 0) return thinned;
  const size_t group = (powerLinear.size() + maxPoints - 1) / maxPoints;
  thinned.bins.reserve(powerLinear.size() / group + 1);
  thinned.dbfs.reserve(powerLinear.size() / group + 1);
  for (size_t first = 0; first < powerLinear.size(); first += group) {
    const auto begin = powerLinear.begin() + static_cast<ptrdiff_t>(first);
    const auto end =
        powerLinear.begin() + static_cast<ptrdiff_t>(std::min(first + group, powerLinear.size()));
    const auto strongest = std::max_element(begin, end);
    thinned.bins.push_back(static_cast<uint32_t>(strongest - powerLinear.begin()));
    thinned.dbfs.push_back(std::round(toDbfs(*strongest) * 100) / 100);
  }
  return thinned;
}

std::optional<size_t> findRisingEdge(std::span<const int16_t> samples, int level, int hysteresis,
                                     size_t from, size_t to) {
  to = std::min(to, samples.size());
  bool armed = false;
  for (size_t i = 0; i < to; ++i) {
    const int value = samples[i];
    if (value < level - hysteresis) {
      armed = true;
    } else if (armed && value >= level) {
      if (i >= from) return i;
      armed = false;
    }
  }
  return std::nullopt;
}

}  // namespace scope
