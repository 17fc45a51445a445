// The pieces of a frame that the page draws: the running average of the
// spectra, the spectrum thinned to what a plot can show, and the stretch of
// samples around a rising-edge trigger.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace scope {

// The average of the last `length` spectra, as the spectrum analysers'
// exponential average does it: the plain mean while fewer than `length`
// have come, then each new one weighs 1/length.
class RunningAverage {
 public:
  void setLength(size_t length);
  void reset();
  void add(const std::vector<double>& spectrum);
  const std::vector<double>& value() const { return average_; }
  size_t count() const { return count_; }  // spectra so far, at most the length

 private:
  size_t length_ = 1;
  size_t count_ = 0;
  std::vector<double> average_;
};

// A spectrum thinned to at most `maxPoints`: bins in consecutive groups,
// each group given by its strongest bin, so no tone is lost between points.
struct ThinnedSpectrum {
  std::vector<uint32_t> bins;  // the bin each point comes from
  std::vector<double> dbfs;    // its power, dBFS, rounded to 0.01 dB
};
ThinnedSpectrum thinSpectrum(const std::vector<double>& powerLinear, size_t maxPoints);

// Power in dBFS of a fraction of full-scale sine power; zero gives the
// analysis' floor, kpx::analysis::kFloorDbfs.
double toDbfs(double powerLinear);

// The first rising edge through `level` at a sample index in [from, to): a
// sample at or above the level after the signal was below level -
// hysteresis (so noise around the level does not trigger twice).
std::optional<size_t> findRisingEdge(std::span<const int16_t> samples, int level, int hysteresis,
                                     size_t from, size_t to);

}  // namespace scope
