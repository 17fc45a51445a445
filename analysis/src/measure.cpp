// The dynamic figures of an averaged spectrum. Every bin belongs to at most
// one part: DC, the fundamental, a harmonic, or the noise. docs/measurements.md
// gives the definitions and why the zones are as wide as they are.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "kpxadac/analysis.h"
#include "power.h"
#include "window.h"

namespace kpx::analysis {
namespace {

// Bins within this many main-lobe half widths of DC and of each tone are kept
// out of the noise. The tone's power is in its main lobe, but the window's
// side lobes (about -92 dBc per bin for the Blackman-Harris window, slowly
// falling) add up over many bins: beyond 4 half widths they hold about
// -101 dBc, beyond 1 half width -86 dBc, which would bias an 80 dB SNR by 1 dB.
constexpr int kLeakageZoneLobes = 4;

constexpr int kFirstHarmonic = 2;
constexpr int kLastHarmonic = 6;
// Who a bin belongs to: nobody (-1), DC (0), the fundamental (1) or a
// harmonic (its order).
constexpr int kFree = -1, kDc = 0, kFundamental = 1;

// How near a bin lies to a component: not at all, within the leakage zone
// of a harmonic, or within that of DC or the fundamental (not a spur there).
enum class Zone : uint8_t { kClear, kNearHarmonic, kNearDcOrFundamental };

class BinMap {
 public:
  explicit BinMap(size_t fftSize)
      : fftSize_(fftSize), owners_(fftSize / 2 + 1, kFree), zones_(fftSize / 2 + 1, Zone::kClear) {}

  // The bin of the first Nyquist zone that bin k (any integer) lands in.
  size_t fold(long long k) const {
    const auto n = static_cast<long long>(fftSize_);
    k %= n;
    if (k < 0) k += n;
    return static_cast<size_t>(k <= n / 2 ? k : n - k);
  }

  // Gives the free bins within `halfWidth` of `centre` to `owner` and
  // returns them (each once, also where the span folds back at DC or
  // Nyquist); marks the bins within `zoneWidth` as near it.
  std::vector<size_t> claim(long long centre, int halfWidth, int zoneWidth, int owner) {
    std::vector<size_t> taken;
    for (long long k = centre - halfWidth; k <= centre + halfWidth; ++k) {
      const size_t bin = fold(k);
      if (owners_[bin] != kFree) continue;
      owners_[bin] = owner;
      taken.push_back(bin);
    }
    const Zone zone = owner >= kFirstHarmonic ? Zone::kNearHarmonic : Zone::kNearDcOrFundamental;
    for (long long k = centre - zoneWidth; k <= centre + zoneWidth; ++k) {
      Zone& z = zones_[fold(k)];
      z = std::max(z, zone);
    }
    return taken;
  }

  int owner(size_t bin) const { return owners_[bin]; }
  Zone zone(size_t bin) const { return zones_[bin]; }
  size_t bins() const { return owners_.size(); }

 private:
  size_t fftSize_;
  std::vector<int> owners_;
  std::vector<Zone> zones_;
};

double sumOf(const std::vector<double>& power, const std::vector<size_t>& bins) {
  double sum = 0;
  for (size_t bin : bins) sum += power[bin];
  return sum;
}

}  // namespace

Measurements measure(const std::vector<double>& power, size_t fftSize, Window window,
                     double sampleRateHz) {
  if (fftSize < 64 || fftSize % 2 != 0 || power.size() != fftSize / 2 + 1)
    throw std::invalid_argument("the spectrum must have fftSize / 2 + 1 bins of an even fftSize");
  if (!(sampleRateHz > 0)) throw std::invalid_argument("the sample rate must be positive");

  const int lobe = mainLobeHalfWidthBins(window);
  const int leakageZone = kLeakageZoneLobes * lobe;
  // Summed bins / ENBW is the power of a tone, whatever its place between bins.
  const double enbw = detail::equivalentNoiseBandwidthBins(window);
  const double hzPerBin = sampleRateHz / static_cast<double>(fftSize);
  const size_t nyquist = fftSize / 2;
  BinMap map(fftSize);

  map.claim(0, leakageZone, leakageZone, kDc);

  // The fundamental: the highest bin outside the DC zone, its main lobe, and
  // the lobe's power-weighted centre as its frequency (exact to a small
  // fraction of a bin for a lone tone).
  size_t peak = 0;
  for (size_t k = 1; k < map.bins(); ++k)
    if (map.owner(k) == kFree && (peak == 0 || power[k] > power[peak])) peak = k;
  Measurements m{};
  double fundamental = 0, centreBin = 0;
  if (peak != 0) {
    const auto lobeBins = map.claim(static_cast<long long>(peak), lobe, leakageZone, kFundamental);
    double weighted = 0;
    for (size_t bin : lobeBins) weighted += static_cast<double>(bin) * power[bin];
    const double lobeSum = sumOf(power, lobeBins);
    centreBin = lobeSum > 0 ? weighted / lobeSum : static_cast<double>(peak);
    fundamental = lobeSum / enbw;
  }
  m.fundamentalHz = centreBin * hzPerBin;
  m.fundamentalDbfs = detail::powerDb(fundamental);

  // Harmonics 2 to 6 where they land after folding; a bin already taken (by
  // DC, the fundamental or a lower harmonic) is not counted again.
  double harmonicsTotal = 0;
  std::vector<double> harmonicPower(kLastHarmonic + 1, 0.0);
  for (int order = kFirstHarmonic; order <= kLastHarmonic; ++order) {
    double place = std::fmod(order * centreBin, static_cast<double>(fftSize));
    if (place > static_cast<double>(nyquist)) place = static_cast<double>(fftSize) - place;
    const auto bins = map.claim(std::llround(place), lobe, leakageZone, order);
    harmonicPower[order] = sumOf(power, bins) / enbw;
    harmonicsTotal += harmonicPower[order];
    m.harmonics.push_back({order, place * hzPerBin, detail::powerDb(harmonicPower[order])});
  }

  // Noise: the mean of the bins outside every zone, taken as the level under
  // the zones too. The Nyquist bin is left out: its scale differs (no mirror).
  double noiseSum = 0;
  size_t noiseBins = 0;
  for (size_t k = 1; k < nyquist; ++k) {
    if (map.zone(k) != Zone::kClear) continue;
    noiseSum += power[k];
    ++noiseBins;
  }
  const double noisePerBin = noiseBins > 0 ? noiseSum / static_cast<double>(noiseBins) : NAN;
  const double noise = noisePerBin * static_cast<double>(nyquist) / enbw;
  m.noiseFloorDbfsPerBin = detail::powerDb(noisePerBin);

  // The largest spur: the highest bin that is a harmonic's or lies outside
  // the DC and fundamental zones, with the power of its main lobe.
  size_t spurBin = 0;
  for (size_t k = 1; k < map.bins(); ++k) {
    const bool candidate = map.owner(k) >= kFirstHarmonic ||
                           (map.owner(k) == kFree && map.zone(k) != Zone::kNearDcOrFundamental);
    if (candidate && (spurBin == 0 || power[k] > power[spurBin])) spurBin = k;
  }
  double spur = 0;
  if (spurBin != 0 && map.owner(spurBin) >= kFirstHarmonic) {
    spur = harmonicPower[static_cast<size_t>(map.owner(spurBin))];
  } else if (spurBin != 0) {
    for (long long k = static_cast<long long>(spurBin) - lobe;
         k <= static_cast<long long>(spurBin) + lobe; ++k) {
      const size_t bin = map.fold(k);
      if (map.owner(bin) != kDc && map.owner(bin) != kFundamental) spur += power[bin];
    }
    spur /= enbw;
  }

  m.snrDb = detail::ratioDb(fundamental, noise);
  m.thdDb = detail::ratioDb(harmonicsTotal, fundamental);
  m.sinadDb = detail::ratioDb(fundamental, noise + harmonicsTotal);
  m.sfdrDbc = m.fundamentalDbfs - detail::powerDb(spur);
  m.sfdrDbfs = -detail::powerDb(spur);
  m.enobBits = (m.sinadDb - 1.76) / 6.02;
  return m;
}

}  // namespace kpx::analysis
