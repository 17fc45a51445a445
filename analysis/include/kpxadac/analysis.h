// Spectrum and dynamic figures of 16-bit ADC data, in the terms of IEEE 1241:
// windowed, averaged power spectra in dBFS, and the fundamental, SNR, SINAD,
// THD, SFDR, ENOB and noise floor measured on them. docs/measurements.md
// gives the definitions. No board access: callers hand in samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace kpx::analysis {

enum class Window { kBlackmanHarris4, kHann, kRectangular };

// "blackman-harris", "hann", "rectangular"; nullopt for anything else.
std::optional<Window> parseWindow(std::string_view name);
const char* windowName(Window);

// Half the width of the window's main lobe, in bins: a tone between two bins
// keeps all but a negligible part of its power within this many bins of its
// peak bin.
int mainLobeHalfWidthBins(Window);

// The smallest and largest FFT sizes SpectrumAverager takes (powers of two).
inline constexpr size_t kMinFftSize = 1024;
inline constexpr size_t kMaxFftSize = size_t{1} << 20;

// Averaged power spectrum of real 16-bit samples, bins 0..fftSize/2, power in
// dBFS relative to a full-scale sine (a sine of amplitude 32768 reads 0 dBFS
// at its bin, after window gain correction). DC and the Nyquist bin hold
// their own power on the same scale. The spectra of successive add() calls
// are averaged in power.
class SpectrumAverager {
 public:
  // fftSize: a power of two from kMinFftSize to kMaxFftSize, else
  // std::invalid_argument.
  SpectrumAverager(size_t fftSize, Window window);
  ~SpectrumAverager();
  SpectrumAverager(SpectrumAverager&&) noexcept;
  SpectrumAverager& operator=(SpectrumAverager&&) noexcept;

  void add(const int16_t* samples);  // exactly fftSize samples
  size_t count() const;              // spectra averaged so far
  void reset();
  // Averaged, fftSize/2 + 1 values; an empty bin reads kFloorDbfs.
  std::vector<double> powerDbfs() const;
  // The same, linear: fraction of a full-scale sine's power.
  std::vector<double> powerLinear() const;
  size_t fftSize() const;
  Window window() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The dB value shown for zero power (and the lowest value given anywhere).
inline constexpr double kFloorDbfs = -300.0;

struct Harmonic {
  int order;
  double frequencyHz;
  double powerDbfs;
};

struct Measurements {
  double fundamentalHz, fundamentalDbfs;
  double snrDb, sinadDb, thdDb, sfdrDbc, sfdrDbfs, enobBits, noiseFloorDbfsPerBin;
  std::vector<Harmonic> harmonics;  // orders 2..6, folded into the first Nyquist zone
};

// The dynamic figures of one averaged spectrum (linear power from
// SpectrumAverager::powerLinear(), fftSize/2 + 1 values, else
// std::invalid_argument).
Measurements measure(const std::vector<double>& powerLinear, size_t fftSize, Window window,
                     double sampleRateHz);

}  // namespace kpx::analysis
