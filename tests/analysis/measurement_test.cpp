// The dynamic figures of virtual tone boards against theory: the board's
// tone of amplitude A (dB relative to 32767) with Gaussian noise of sigma LSB
// rms, rounded to integers, has SNR = 10 log10((A^2 / 2) / (sigma^2 + 1/12))
// and, with harmonics at levels L_h dBc, THD = 10 log10(sum 10^(L_h / 10)).
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "kpxadac/analysis.h"
#include "tone_theory.h"
#include "virtual_boards/virtual_rack.h"

namespace kpx::analysis {
namespace {

constexpr double kRate = 105e6;  // the synthesizer clock of the virtual boards

struct ToneCase {
  const char* name;
  double frequencyHz;
  double amplitudeDbfs;
  double noiseLsbRms;
  Window window;
  size_t fftSize;
  size_t averages;
};

// The first fftSize * averages samples of device 0 of a rack with one
// board of `signal`.
std::vector<int16_t> boardSamples(const std::string& signal, size_t count) {
  const std::string rack = R"({"boards": [{"device": 0, "signal": )" + signal + "}]}";
  EXPECT_EQ(sim::configure(rack), "");
  std::vector<int16_t> samples(count);
  for (size_t k = 0; k < count; ++k) samples[k] = sim::signalSample(0, k);
  return samples;
}

Measurements analyse(const std::vector<int16_t>& samples, size_t fftSize, Window window,
                     size_t averages) {
  SpectrumAverager averager(fftSize, window);
  for (size_t i = 0; i < averages; ++i) averager.add(samples.data() + i * fftSize);
  return measure(averager.powerLinear(), fftSize, window, kRate);
}

std::string toneJson(double frequencyHz, double amplitudeDbfs, double noiseLsbRms,
                     const std::string& extra = "") {
  return "{\"frequency_hz\": " + std::to_string(frequencyHz) +
         ", \"amplitude_dbfs\": " + std::to_string(amplitudeDbfs) +
         ", \"noise_lsb_rms\": " + std::to_string(noiseLsbRms) + extra + "}";
}

class ToneBoard : public ::testing::TestWithParam<ToneCase> {
 protected:
  void TearDown() override { sim::configure("none"); }
};

TEST_P(ToneBoard, MatchesTheoryForSnrEnobAndFrequency) {
  const ToneCase& c = GetParam();
  const auto samples =
      boardSamples(toneJson(c.frequencyHz, c.amplitudeDbfs, c.noiseLsbRms), c.fftSize * c.averages);
  const Measurements m = analyse(samples, c.fftSize, c.window, c.averages);

  const double snr = tone_theory::snrDb(c.amplitudeDbfs, c.noiseLsbRms);
  EXPECT_NEAR(m.snrDb, snr, 0.5);
  EXPECT_NEAR(m.enobBits, tone_theory::enobBits(snr), 0.1);
  // Without harmonics the harmonic bins hold noise only: SINAD is the SNR
  // less that part of the noise.
  EXPECT_NEAR(m.sinadDb, snr, 0.5);
  EXPECT_LT(m.sinadDb, m.snrDb);
  EXPECT_LT(m.thdDb, -m.snrDb + 3);
  EXPECT_NEAR(m.fundamentalDbfs, tone_theory::powerDbfs(c.amplitudeDbfs), 0.05);
  const double bin = kRate / static_cast<double>(c.fftSize);
  EXPECT_NEAR(m.fundamentalHz, c.frequencyHz, bin);
  // Noise per bin: the noise power spread over fftSize / 2 bins, as the
  // window's noise bandwidth shows it.
  EXPECT_NEAR(m.noiseFloorDbfsPerBin,
              m.fundamentalDbfs - snr - 10 * std::log10(static_cast<double>(c.fftSize) / 2) +
                  10 * std::log10(c.window == Window::kBlackmanHarris4 ? 2.0044
                                  : c.window == Window::kHann          ? 1.5
                                                                       : 1.0),
              0.5);
  // No spur above the noise: the largest is a noise peak, well below the tone.
  EXPECT_GT(m.sfdrDbc, snr);
  RecordProperty("snr_db", std::to_string(m.snrDb));
  RecordProperty("snr_theory_db", std::to_string(snr));
  std::printf("%s: SNR %.3f dB (theory %.3f), ENOB %.4f (theory %.4f), fundamental %.1f Hz\n",
              c.name, m.snrDb, snr, m.enobBits, tone_theory::enobBits(snr), m.fundamentalHz);
}

// The default board first; then other levels, noise and frequencies, and
// each window (Hann and rectangular on 2^20 points, where the board's tone,
// periodic in 2^20 samples, is coherent).
INSTANTIATE_TEST_SUITE_P(
    Boards, ToneBoard,
    ::testing::Values(
        ToneCase{"Default", 10e6, -1, 2, Window::kBlackmanHarris4, 65536, 8},
        ToneCase{"QuietLowLevel", 3.3e6, -6, 0.7, Window::kBlackmanHarris4, 16384, 16},
        ToneCase{"NoisyNearNyquist", 51.3e6, -1, 16, Window::kBlackmanHarris4, 4096, 64},
        ToneCase{"SmallTone", 21.7e6, -40, 1, Window::kBlackmanHarris4, 65536, 4},
        ToneCase{"HannCoherent", 47.3e6, -3, 4, Window::kHann, 1 << 20, 1},
        ToneCase{"RectangularCoherent", 10e6, -1, 2, Window::kRectangular, 1 << 20, 1}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(HarmonicBoard, ConfiguredHarmonicsGiveTheirThdSfdrAndFoldedPlaces) {
  // 40 MHz at 105 MHz: every harmonic lies above Nyquist and folds, to 25,
  // 15, 50, 10 and 30 MHz.
  const double levels[] = {-70, -80, NAN, -90, -95};  // orders 2 to 6; no fourth
  const auto samples =
      boardSamples(toneJson(40e6, -1, 2,
                            R"(, "harmonics_dbc": {"2": -70, "3": -80, "4": null, "5": -90,
                                                   "6": -95})"),
                   65536 * 8);
  sim::configure("none");
  const Measurements m = analyse(samples, 65536, Window::kBlackmanHarris4, 8);

  double harmonicPower = 0;
  for (double level : levels)
    if (!std::isnan(level)) harmonicPower += std::pow(10.0, level / 10);
  const double thd = 10 * std::log10(harmonicPower);
  const double snr = tone_theory::snrDb(-1, 2);
  const double sinad = -10 * std::log10(std::pow(10.0, -snr / 10) + harmonicPower);
  EXPECT_NEAR(m.thdDb, thd, 0.5);
  EXPECT_NEAR(m.sfdrDbc, 70, 0.5);
  EXPECT_NEAR(m.sfdrDbfs, 70 - m.fundamentalDbfs, 0.5);
  EXPECT_NEAR(m.snrDb, snr, 0.5);
  EXPECT_NEAR(m.sinadDb, sinad, 0.5);
  EXPECT_NEAR(m.enobBits, tone_theory::enobBits(sinad), 0.1);

  ASSERT_EQ(m.harmonics.size(), 5u);
  const double folded[] = {25e6, 15e6, 50e6, 10e6, 30e6};
  for (int i = 0; i < 5; ++i) {
    const Harmonic& h = m.harmonics[static_cast<size_t>(i)];
    EXPECT_EQ(h.order, i + 2);
    EXPECT_NEAR(h.frequencyHz, folded[i], kRate / 65536) << "order " << h.order;
    if (std::isnan(levels[i]))
      EXPECT_LT(h.powerDbfs, m.fundamentalDbfs - 100) << "order " << h.order;
    else
      EXPECT_NEAR(h.powerDbfs, m.fundamentalDbfs + levels[i], 0.5) << "order " << h.order;
  }
  std::printf(
      "harmonics: THD %.3f dB (theory %.3f), SFDR %.3f dBc (theory 70), SINAD %.3f "
      "(theory %.3f), ENOB %.4f (theory %.4f)\n",
      m.thdDb, thd, m.sfdrDbc, m.sinadDb, sinad, m.enobBits, tone_theory::enobBits(sinad));
}

TEST(HarmonicBoard, AStrongSpurThatIsNoHarmonicSetsTheSfdr) {
  // A second tone 50 dB down at 17 MHz is no harmonic of 10 MHz: the SFDR
  // finds it, the THD does not count it.
  std::vector<int16_t> samples(65536 * 4);
  const double a = tone_theory::amplitude(-1), spur = a * std::pow(10.0, -50.0 / 20);
  for (size_t k = 0; k < samples.size(); ++k) {
    const double t = static_cast<double>(k) / kRate;
    samples[k] =
        static_cast<int16_t>(std::lround(a * std::sin(2 * std::numbers::pi * 10e6 * t) +
                                         spur * std::sin(2 * std::numbers::pi * 17e6 * t)));
  }
  const Measurements m = analyse(samples, 65536, Window::kBlackmanHarris4, 4);
  EXPECT_NEAR(m.sfdrDbc, 50, 0.5);
  EXPECT_LT(m.thdDb, -90);
  EXPECT_NEAR(m.sinadDb, 50, 0.5);
}

}  // namespace
}  // namespace kpx::analysis
