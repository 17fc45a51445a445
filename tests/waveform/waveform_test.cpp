// The waveform generator (kpxadac_waveform.h): blocks that continue one run
// exactly, seeking, the levels and shapes of each waveform, refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <numeric>
#include <set>
#include <vector>

#include "kpxadac_waveform.h"

namespace {

constexpr double kRate = 105e6;

struct Wave {
  KpxWave* wave = nullptr;
  explicit Wave(const KpxWaveSettings& settings) {
    EXPECT_EQ(KpxWave_Create(&settings, &wave), KPXWAVE_OK);
  }
  ~Wave() { KpxWave_Destroy(wave); }
  std::vector<int16_t> take(uint64_t count) {
    std::vector<int16_t> samples(count);
    EXPECT_EQ(KpxWave_Generate(wave, samples.data(), count), KPXWAVE_OK);
    return samples;
  }
};

KpxWaveSettings settingsFor(int32_t waveform) {
  KpxWaveSettings s;
  KpxWave_DefaultSettings(&s, waveform, kRate);
  return s;
}

// One of each waveform, with settings that exercise its corners: harmonics
// and noise on the tone, a falling chirp with short sweeps, random pulses.
std::vector<KpxWaveSettings> everyWaveform() {
  std::vector<KpxWaveSettings> all;
  KpxWaveSettings tone = settingsFor(KPXWAVE_TONE);
  tone.frequenciesHz[0] = 5.1e6;  // 350 samples a period: no block size divides it
  tone.phaseDeg = 30;
  tone.harmonicsUsed = 0b101;
  tone.harmonicsDbc[0] = -40;
  tone.harmonicsDbc[2] = -60;
  tone.noiseLsbRms = 3;
  all.push_back(tone);
  KpxWaveSettings multi = settingsFor(KPXWAVE_MULTITONE);
  multi.frequencyCount = 3;
  multi.frequenciesHz[0] = 1e6;
  multi.frequenciesHz[1] = 2.345e6;
  multi.frequenciesHz[2] = 40e6;
  all.push_back(multi);
  KpxWaveSettings chirp = settingsFor(KPXWAVE_CHIRP);
  chirp.startHz = 30e6;
  chirp.stopHz = 2e6;
  chirp.sweepTimeS = 3001 / kRate;
  all.push_back(chirp);
  KpxWaveSettings square = settingsFor(KPXWAVE_SQUARE);
  square.duty = 0.3;
  all.push_back(square);
  KpxWaveSettings pulse = settingsFor(KPXWAVE_PULSE);
  pulse.periodSamples = 0;
  pulse.minIntervalSamples = 150;
  pulse.maxIntervalSamples = 700;
  pulse.baselineLsb = -100;
  all.push_back(pulse);
  all.push_back(settingsFor(KPXWAVE_NOISE));
  all.push_back(settingsFor(KPXWAVE_DC));
  all.push_back(settingsFor(KPXWAVE_RAMP));
  return all;
}

TEST(WaveformTest, BlocksOfAnySizeAndSeeksGiveTheSamplesOfOneRun) {
  constexpr uint64_t kCount = 200000;
  for (const KpxWaveSettings& settings : everyWaveform()) {
    SCOPED_TRACE("waveform " + std::to_string(settings.waveform));
    const std::vector<int16_t> whole = Wave(settings).take(kCount);

    Wave pieces(settings);
    std::vector<int16_t> cut;
    for (uint64_t size : {1, 7, 1023, 1025, 4093, 16, 3, 65537}) {
      const auto part = pieces.take(size);
      cut.insert(cut.end(), part.begin(), part.end());
    }
    while (cut.size() < kCount) {
      const auto part = pieces.take(std::min<uint64_t>(999, kCount - cut.size()));
      cut.insert(cut.end(), part.begin(), part.end());
    }
    ASSERT_EQ(cut, whole);

    Wave seeking(settings);
    for (uint64_t at : {150000, 7, 99999, 0, 123457}) {
      ASSERT_EQ(KpxWave_Seek(seeking.wave, at), KPXWAVE_OK);
      const auto part = seeking.take(3000);
      ASSERT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + static_cast<long>(at)))
          << "after a seek to " << at;
      EXPECT_EQ(KpxWave_Position(seeking.wave), at + 3000);
    }
  }
}

TEST(WaveformTest, LevelsAndShapesFollowTheSettings) {
  // Tone: the peak at the amplitude, the phase where asked.
  KpxWaveSettings tone = settingsFor(KPXWAVE_TONE);
  tone.frequenciesHz[0] = 1e6;
  tone.amplitudeDbfs = -6;
  tone.phaseDeg = 90;
  const auto t = Wave(tone).take(105 * 20);
  const double peak = 32767 * std::pow(10.0, -6.0 / 20);
  EXPECT_NEAR(t[0], peak, 1.0);  // sin(90 degrees)
  EXPECT_NEAR(*std::max_element(t.begin(), t.end()), peak, 1.0);
  // 105 samples a period: the trough falls between two samples.
  EXPECT_NEAR(*std::min_element(t.begin(), t.end()), -peak * std::cos(std::numbers::pi / 105), 1.0);

  // Multitone: the sum of n tones never beyond the amplitude.
  KpxWaveSettings multi = settingsFor(KPXWAVE_MULTITONE);
  multi.amplitudeDbfs = 0;
  multi.frequencyCount = 4;
  for (int i = 0; i < 4; ++i) multi.frequenciesHz[i] = 1e6 * (i + 1);
  multi.phaseDeg = 90;  // all four meet at their peak at sample 0
  const auto m = Wave(multi).take(200000);
  EXPECT_EQ(m[0], 32767);
  EXPECT_LE(*std::max_element(m.begin(), m.end()), 32767);

  // Square: high for the duty's share of each period.
  KpxWaveSettings square = settingsFor(KPXWAVE_SQUARE);
  square.frequenciesHz[0] = 1.05e6;  // 100 samples
  square.duty = 0.25;
  const auto sq = Wave(square).take(1000);
  const auto highs = std::count(
      sq.begin(), sq.end(), static_cast<int16_t>(std::lround(32767 * std::pow(10.0, -1.0 / 20))));
  EXPECT_EQ(highs, 250);

  // Pulses: width at the level, intervals within the bounds, baseline
  // between.
  KpxWaveSettings pulse = settingsFor(KPXWAVE_PULSE);
  pulse.widthSamples = 10;
  pulse.periodSamples = 0;
  pulse.minIntervalSamples = 50;
  pulse.maxIntervalSamples = 80;
  pulse.baselineLsb = -7;
  const auto p = Wave(pulse).take(100000);
  std::vector<size_t> starts;
  for (size_t k = 0; k < p.size(); ++k)
    if (p[k] != -7 && (k == 0 || p[k - 1] == -7)) starts.push_back(k);
  ASSERT_GT(starts.size(), 1000u);
  EXPECT_EQ(starts[0], 0u);
  std::set<size_t> intervals;
  for (size_t i = 1; i < starts.size(); ++i) {
    intervals.insert(starts[i] - starts[i - 1]);
    for (size_t k = starts[i - 1]; k < starts[i - 1] + 10; ++k) ASSERT_NE(p[k], -7);
    ASSERT_EQ(p[starts[i - 1] + 10], -7);
  }
  EXPECT_GE(*intervals.begin(), 50u);
  EXPECT_LE(*intervals.rbegin(), 80u);
  EXPECT_GT(intervals.size(), 20u);  // random, not one fixed period

  // Ramp: the integrity pattern.
  const auto r = Wave(settingsFor(KPXWAVE_RAMP)).take(70000);
  for (size_t k = 0; k < r.size(); ++k) ASSERT_EQ(static_cast<uint16_t>(r[k]), k % 65536);
}

TEST(WaveformTest, NoiseIsGaussianAtItsRmsAndFollowsItsSeed) {
  KpxWaveSettings noise = settingsFor(KPXWAVE_NOISE);
  noise.amplitudeDbfs = -30;
  const auto a = Wave(noise).take(400000);
  double sum = 0, squares = 0, beyondTwoSigma = 0;
  const double rms = 32767 * std::pow(10.0, -30.0 / 20);
  for (int16_t x : a) {
    sum += x;
    squares += static_cast<double>(x) * x;
    beyondTwoSigma += std::abs(x) > 2 * rms;
  }
  const double n = static_cast<double>(a.size());
  EXPECT_NEAR(sum / n, 0, rms * 0.01);
  EXPECT_NEAR(std::sqrt(squares / n), rms, rms * 0.01);
  EXPECT_NEAR(beyondTwoSigma / n, 0.0455, 0.002);  // a Gaussian's tails
  EXPECT_EQ(Wave(noise).take(1000), std::vector<int16_t>(a.begin(), a.begin() + 1000));
  noise.seed = 2;
  EXPECT_NE(Wave(noise).take(1000), std::vector<int16_t>(a.begin(), a.begin() + 1000));

  // Added noise on a dc level: the same rms in LSB, saturating at full scale.
  KpxWaveSettings dc = settingsFor(KPXWAVE_DC);
  dc.amplitudeDbfs = 0;
  dc.noiseLsbRms = 100;
  const auto d = Wave(dc).take(100000);
  EXPECT_EQ(*std::max_element(d.begin(), d.end()), 32767);
  EXPECT_GT(std::count(d.begin(), d.end(), 32767), 40000);  // half of it saturates, none wraps
  EXPECT_GT(*std::min_element(d.begin(), d.end()), 32767 - 1000);
}

TEST(WaveformTest, SettingsBeyondFullScaleOrOutOfRangeAreRefused) {
  KpxWave* wave = reinterpret_cast<KpxWave*>(1);
  KpxWaveSettings s = settingsFor(KPXWAVE_TONE);
  s.amplitudeDbfs = 0.01;
  EXPECT_EQ(KpxWave_Create(&s, &wave), KPXWAVE_ERR_AMPLITUDE);
  EXPECT_EQ(wave, nullptr);
  s.amplitudeDbfs = -1;  // 0.891 of full scale, + 0.1 + 0.1 of it from two harmonics
  s.harmonicsUsed = 0b11;
  s.harmonicsDbc[0] = s.harmonicsDbc[1] = -20;
  EXPECT_EQ(KpxWave_Create(&s, &wave), KPXWAVE_ERR_AMPLITUDE);
  s.harmonicsDbc[1] = -40;
  EXPECT_EQ(KpxWave_Create(&s, &wave), KPXWAVE_OK);
  KpxWave_Destroy(wave);
  s = settingsFor(KPXWAVE_TONE);
  s.frequenciesHz[0] = kRate * 1.01;
  EXPECT_EQ(KpxWave_Create(&s, &wave), KPXWAVE_ERR_FREQUENCY);
  s = settingsFor(KPXWAVE_CHIRP);
  s.stopHz = kRate * 0.6;
  EXPECT_EQ(KpxWave_Create(&s, &wave), KPXWAVE_ERR_FREQUENCY);
  s = settingsFor(KPXWAVE_PULSE);
  s.periodSamples = s.widthSamples;
  EXPECT_EQ(KpxWave_Create(&s, &wave), KPXWAVE_ERR_ARGUMENT);
  s = settingsFor(KPXWAVE_MULTITONE);
  s.frequencyCount = KPXWAVE_MAX_TONES + 1;
  EXPECT_EQ(KpxWave_Create(&s, &wave), KPXWAVE_ERR_FREQUENCY);
  s = settingsFor(KPXWAVE_TONE);
  s.sampleRateHz = 0;
  EXPECT_EQ(KpxWave_Create(&s, &wave), KPXWAVE_ERR_RATE);
  s.waveform = 99;
  s.sampleRateHz = kRate;
  EXPECT_EQ(KpxWave_Create(&s, &wave), KPXWAVE_ERR_WAVEFORM);
  EXPECT_EQ(KpxWave_Create(nullptr, &wave), KPXWAVE_ERR_NULL);
  EXPECT_EQ(KpxWave_Generate(nullptr, nullptr, 1), KPXWAVE_ERR_NULL);
}

// One frequency limit for every waveform: half the sample rate, taken up to
// and including it, refused just above it.
TEST(WaveformTest, EveryWaveformStopsAtHalfTheRate) {
  const double limit = KpxWave_MaxFrequencyHz(kRate);
  EXPECT_EQ(limit, kRate / 2);
  for (double rate : {0.0, -1.0, std::nan(""), HUGE_VAL})
    EXPECT_EQ(KpxWave_MaxFrequencyHz(rate), 0);
  struct Case {
    int32_t waveform;
    void (*set)(KpxWaveSettings&, double);
  };
  const Case cases[] = {
      {KPXWAVE_TONE, [](KpxWaveSettings& s, double f) { s.frequenciesHz[0] = f; }},
      {KPXWAVE_SQUARE, [](KpxWaveSettings& s, double f) { s.frequenciesHz[0] = f; }},
      {KPXWAVE_MULTITONE,
       [](KpxWaveSettings& s, double f) {
         s.frequencyCount = 2;
         s.frequenciesHz[0] = 1e6;
         s.frequenciesHz[1] = f;
       }},
      {KPXWAVE_CHIRP, [](KpxWaveSettings& s, double f) { s.stopHz = f; }},
      {KPXWAVE_CHIRP, [](KpxWaveSettings& s, double f) { s.startHz = f; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.waveform);
    for (const auto& [frequency, expected] :
         {std::pair{limit, KPXWAVE_OK},
          std::pair{std::nextafter(limit, kRate), KPXWAVE_ERR_FREQUENCY},
          std::pair{kRate * 0.75, KPXWAVE_ERR_FREQUENCY}}) {
      KpxWaveSettings s = settingsFor(c.waveform);
      c.set(s, frequency);
      KpxWave* wave = nullptr;
      EXPECT_EQ(KpxWave_Create(&s, &wave), expected) << frequency;
      KpxWave_Destroy(wave);
    }
  }
}

}  // namespace
