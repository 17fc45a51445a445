// The spectrum's scale, averaging and limits, and the JSON form of the
// measurements.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "kpxadac/analysis.h"
#include "kpxadac/analysis_json.h"

namespace kpx::analysis {
namespace {

// A sine of `amplitude` with exactly `cycles` periods in `count` samples,
// plus `offset`, rounded.
std::vector<int16_t> sine(size_t count, double cycles, double amplitude, double offset = 0) {
  std::vector<int16_t> samples(count);
  for (size_t n = 0; n < count; ++n)
    samples[n] = static_cast<int16_t>(std::lround(
        offset + amplitude * std::sin(2 * std::numbers::pi * cycles * static_cast<double>(n) /
                                      static_cast<double>(count))));
  return samples;
}

TEST(Spectrum, FullScaleSineReadsZeroDbfsAtItsBinInEveryWindow) {
  const auto samples = sine(4096, 300, 32767);
  for (Window w : {Window::kBlackmanHarris4, Window::kHann, Window::kRectangular}) {
    SpectrumAverager averager(4096, w);
    averager.add(samples.data());
    const auto db = averager.powerDbfs();
    ASSERT_EQ(db.size(), 2049u);
    EXPECT_NEAR(db[300], 20 * std::log10(32767.0 / 32768), 0.001) << windowName(w);
    // Two main-lobe half widths away the tone has left the rectangular window
    // at once and the others far down.
    EXPECT_LT(db[300 + 2 * mainLobeHalfWidthBins(w)], -100) << windowName(w);
  }
}

TEST(Spectrum, DcReadsItsPowerRelativeToAFullScaleSine) {
  // A constant d has the power d^2; the full-scale sine 32768^2 / 2.
  const std::vector<int16_t> constant(1024, 1000);
  SpectrumAverager averager(1024, Window::kBlackmanHarris4);
  averager.add(constant.data());
  EXPECT_NEAR(averager.powerDbfs()[0], 10 * std::log10(2.0 * 1000 * 1000 / (32768.0 * 32768)),
              0.001);
}

TEST(Spectrum, AveragesInPowerAndResets) {
  const auto loud = sine(1024, 100, 16384), quiet = sine(1024, 100, 0);
  SpectrumAverager averager(1024, Window::kHann);
  averager.add(loud.data());
  const double once = averager.powerLinear()[100];
  averager.add(quiet.data());
  EXPECT_EQ(averager.count(), 2u);
  EXPECT_NEAR(averager.powerLinear()[100], once / 2, once * 1e-12);
  averager.reset();
  EXPECT_EQ(averager.count(), 0u);
  EXPECT_EQ(averager.powerLinear()[100], 0.0);
  EXPECT_EQ(averager.powerDbfs()[100], kFloorDbfs);
}

TEST(Spectrum, SizesOutsidePowersOfTwoFrom1KiTo1MiAreRefused) {
  for (size_t size : {size_t{0}, size_t{512}, size_t{1000}, size_t{3 << 12}, size_t{1} << 21})
    EXPECT_THROW(SpectrumAverager(size, Window::kHann), std::invalid_argument) << size;
  EXPECT_EQ(SpectrumAverager(1 << 20, Window::kHann).fftSize(), size_t{1} << 20);
  EXPECT_THROW(measure(std::vector<double>(100), 1024, Window::kHann, 1e6), std::invalid_argument);
  EXPECT_THROW(measure(std::vector<double>(513), 1024, Window::kHann, 0), std::invalid_argument);
}

TEST(Spectrum, WindowNamesGoBothWays) {
  for (Window w : {Window::kBlackmanHarris4, Window::kHann, Window::kRectangular})
    EXPECT_EQ(parseWindow(windowName(w)), w);
  EXPECT_EQ(parseWindow("blackman"), std::nullopt);
}

TEST(Measurement, HarmonicOnTheFundamentalIsNotCountedTwice) {
  // At a quarter of the rate the third harmonic folds onto the fundamental
  // and the second onto Nyquist: the fundamental keeps its bins.
  const auto samples = sine(8192, 2048, 20000);
  SpectrumAverager averager(8192, Window::kBlackmanHarris4);
  averager.add(samples.data());
  const Measurements m = measure(averager.powerLinear(), 8192, Window::kBlackmanHarris4, 8192);
  EXPECT_NEAR(m.fundamentalHz, 2048, 1e-6);
  EXPECT_NEAR(m.harmonics[0].frequencyHz, 4096, 1e-6);
  EXPECT_NEAR(m.harmonics[1].frequencyHz, 2048, 1e-6);
  EXPECT_EQ(m.harmonics[1].powerDbfs, kFloorDbfs);
  EXPECT_NEAR(m.fundamentalDbfs, 20 * std::log10(20000.0 / 32768), 0.001);
}

TEST(MeasurementJson, HasTheAgreedKeysAndNullForInfinity) {
  Measurements m{};
  m.fundamentalHz = 1e7;
  m.snrDb = INFINITY;
  m.harmonics = {{2, 2e7, -80.5}};
  const auto j = toJson(m);
  for (const char* key : {"fundamental_hz", "fundamental_dbfs", "snr_db", "sinad_db", "thd_db",
                          "sfdr_dbc", "sfdr_dbfs", "enob_bits", "noise_floor_dbfs_per_bin"})
    EXPECT_TRUE(j.contains(key)) << key;
  EXPECT_EQ(j["fundamental_hz"], 1e7);
  EXPECT_TRUE(j["snr_db"].is_null());
  EXPECT_EQ(j["harmonics"][0]["order"], 2);
  EXPECT_EQ(j["harmonics"][0]["frequency_hz"], 2e7);
  EXPECT_EQ(j["harmonics"][0]["power_dbfs"], -80.5);
}

}  // namespace
}  // namespace kpx::analysis
