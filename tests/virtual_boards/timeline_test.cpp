// The rack's shared world: boards that sample one source at their own
// offsets and clock errors, real-time boards placed by their start, and an
// ADC board that takes a DAC board's output through a device model. Every
// expectation is computed here from the definitions (the generator's
// samples, a sine at the position, the model's difference equations), not
// from the rack's code.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <random>
#include <sstream>
#include <thread>

#include "kpxadac_waveform.h"
#include "platform/platform.h"
#include "rack_test.h"

namespace kpx::sim::test {
namespace {

using TimelineTest = RackTest;

std::vector<int16_t> readSamples(Handle h, size_t count) {
  std::vector<uint8_t> bytes;
  EXPECT_EQ(RackTest::readBytes(h, bytes, static_cast<uint32_t>(count * 2)), 0u);
  std::vector<int16_t> samples;
  for (uint16_t s : RackTest::samplesOf(bytes)) samples.push_back(static_cast<int16_t>(s));
  return samples;
}

std::vector<int16_t> startAndRead(int device, size_t count) {
  const Handle h = RackTest::open(device);
  RackTest::startAdc(h);
  auto samples = readSamples(h, count);
  closeDevice(h);
  return samples;
}

// The generator's own samples first .. first + count - 1 of `settings`.
std::vector<int16_t> generated(KpxWaveSettings settings, uint64_t first, size_t count) {
  KpxWave* wave = nullptr;
  EXPECT_EQ(KpxWave_Create(&settings, &wave), KPXWAVE_OK);
  std::vector<int16_t> samples(count);
  KpxWave_Seek(wave, first);
  KpxWave_Generate(wave, samples.data(), count);
  KpxWave_Destroy(wave);
  return samples;
}

std::string boardOn(int device, const std::string& source, double offset, double ppm = 0) {
  std::ostringstream text;
  text.precision(17);
  text << R"({"device":)" << device << R"(,"input":")" << source << R"(","timeline_offset":)"
       << offset << R"(,"clock_ppm":)" << ppm << "}";
  return text.str();
}

TEST_F(TimelineTest, BoardsOnOneSourceReadItAtTheirWholeOffsets) {
  // Several boards on one source read the generator's samples at n + offset,
  // the same timeline instant giving the same value on every board.
  struct Case {
    const char* source;
    int32_t waveform;
  };
  const Case cases[] = {
      {R"({"type":"chirp","start_hz":1e6,"stop_hz":40e6,"sweep_time_s":1e-4})", KPXWAVE_CHIRP},
      {R"({"type":"multitone","frequencies_hz":[3e6,7.5e6,21e6],"amplitude_dbfs":-3})",
       KPXWAVE_MULTITONE},
  };
  const int offsets[] = {0, 37, 300000, -5};  // the last reads before the timeline's origin
  constexpr size_t kCount = 20000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::string boards;
    for (size_t i = 0; i < std::size(offsets); ++i) {
      if (i) boards += ',';  // appended: GCC 12 warns falsely on "literal" + std::string
      boards += boardOn(static_cast<int>(i), "ref", offsets[i]);
    }
    useRack(std::string(R"({"sources":{"ref":)") + c.source + R"(},"boards":[)" + boards + "]}");
    KpxWaveSettings settings;
    KpxWave_DefaultSettings(&settings, c.waveform, 105e6);
    if (c.waveform == KPXWAVE_CHIRP) {
      settings.startHz = 1e6;
      settings.stopHz = 40e6;
      settings.sweepTimeS = 1e-4;
    } else {
      settings.frequencyCount = 3;
      settings.frequenciesHz[0] = 3e6;
      settings.frequenciesHz[1] = 7.5e6;
      settings.frequenciesHz[2] = 21e6;
      settings.amplitudeDbfs = -3;
    }
    std::vector<std::vector<int16_t>> read;
    for (size_t i = 0; i < std::size(offsets); ++i) {
      read.push_back(startAndRead(static_cast<int>(i), kCount));
      EXPECT_EQ(trueTimelineOffset(static_cast<int>(i)), offsets[i]);
    }
    for (size_t i = 0; i < std::size(offsets); ++i) {
      SCOPED_TRACE(offsets[i]);
      // Before the origin a waveform reads the generator's sample 2^64 +
      // position (a sine continues backwards), from the origin on sample
      // position.
      std::vector<int16_t> expected;
      for (int p = offsets[i]; p < 0; ++p)
        expected.push_back(generated(settings, static_cast<uint64_t>(int64_t{p}), 1)[0]);
      const auto rest = generated(settings, static_cast<uint64_t>(std::max(offsets[i], 0)),
                                  kCount - expected.size());
      expected.insert(expected.end(), rest.begin(), rest.end());
      ASSERT_EQ(read[i], expected);
    }
    // Board 1 (offset 37) at n is board 0 at n + 37.
    for (size_t n = 0; n + 37 < kCount; ++n) ASSERT_EQ(read[1][n], read[0][n + 37]) << n;
  }
}

TEST_F(TimelineTest, FractionalOffsetsAndClockErrorsReadTheSourceBetweenItsSamples) {
  // A sine of the multitone source, read at position (n + offset)(1 + ppm
  // 1e-6), against the sine evaluated there.
  constexpr double kRate = 105e6, kFrequency = 4.1e6, kAmplitudeDbfs = -6;
  struct Case {
    double offset, ppm;
  };
  const Case cases[] = {{0.25, 0}, {-3.5, 0}, {1000.875, 0}, {12.3, 100}, {-7.75, -40}};
  std::string boards;
  for (size_t i = 0; i < std::size(cases); ++i) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "literal" + std::string.
    if (i) boards += ',';
    boards += boardOn(static_cast<int>(i), "sine", cases[i].offset, cases[i].ppm);
  }
  useRack(R"({"sources":{"sine":{"type":"multitone","frequencies_hz":[4.1e6],"amplitude_dbfs":-6,
              "phase_deg":30}},"boards":[)" +
          boards + "]}");
  KpxWaveSettings settings;
  KpxWave_DefaultSettings(&settings, KPXWAVE_MULTITONE, kRate);
  settings.frequenciesHz[0] = kFrequency;
  KpxWave* wave = nullptr;
  ASSERT_EQ(KpxWave_Create(&settings, &wave), KPXWAVE_OK);
  const double actual = KpxWave_ActualFrequencyHz(wave, 0);
  KpxWave_Destroy(wave);
  const double amplitude = 32767 * std::pow(10.0, kAmplitudeDbfs / 20);
  constexpr size_t kCount = 400000;  // at 100 ppm the clocks part by 40 samples
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].offset);
    SCOPED_TRACE(cases[i].ppm);
    const auto read = startAndRead(static_cast<int>(i), kCount);
    EXPECT_EQ(trueClockPpm(static_cast<int>(i)), cases[i].ppm);
    double worst = 0;
    for (size_t n = 0; n < kCount; n += 7) {
      const double position =
          (static_cast<double>(n) + cases[i].offset) * (1 + cases[i].ppm * 1e-6);
      const double expected =
          amplitude * std::sin(2 * std::numbers::pi * (30.0 / 360 + actual * position / kRate));
      worst = std::max(worst, std::abs(read[n] - expected));
    }
    // The interpolator's ripple and the rounding: a few LSB of 16000.
    EXPECT_LT(worst, 3.0);
    // Far along the stream the position keeps its fraction: hours at 105 MHz.
    for (uint64_t n : {uint64_t{1} << 33, uint64_t{1'000'000'000'003}, uint64_t{1} << 41}) {
      const double drift = static_cast<double>(n) * cases[i].ppm * 1e-6 +
                           cases[i].offset * (1 + cases[i].ppm * 1e-6);
      // The sine's phase at n from its 64-bit phase step (n * step wraps at
      // whole cycles, exactly), then the drift's part in a double.
      const auto step = static_cast<uint64_t>(std::round(kFrequency / kRate * 0x1p64));
      const double cycles = static_cast<double>(n * step) * 0x1p-64 + drift * actual / kRate;
      const double expected = amplitude * std::sin(2 * std::numbers::pi * (30.0 / 360 + cycles));
      EXPECT_NEAR(signalSample(static_cast<int>(i), n), expected, 3.0) << n;
    }
  }
}

// x(t) from its samples on the whole positions by a long windowed sinc of
// the test's own (Blackman, 801 taps), for a signal band-limited well below
// half the rate.
double reconstruct(const std::vector<int16_t>& x, double t) {
  constexpr int kHalf = 400;
  const auto whole = static_cast<int64_t>(std::floor(t));
  double sum = 0;
  for (int64_t k = whole - kHalf + 1; k <= whole + kHalf; ++k) {
    const double d = t - static_cast<double>(k);
    const double u = d / kHalf;  // -1 .. 1
    const double window =
        0.42 + 0.5 * std::cos(std::numbers::pi * u) + 0.08 * std::cos(2 * std::numbers::pi * u);
    const double sinc = d == 0 ? 1 : std::sin(std::numbers::pi * d) / (std::numbers::pi * d);
    sum += x[static_cast<size_t>(k)] * sinc * window;
  }
  return sum;
}

TEST_F(TimelineTest, NoiseSourceIsBandLimitedSoAnyOffsetReadsTheSameSignal) {
  // Board 0 at offset 0 gives the noise on the whole positions; a board at a
  // fractional offset must read that signal between them, as a long ideal
  // interpolation of board 0's samples finds it.
  const double offsets[] = {0.5, 0.1, 17.3, 2.95};
  std::string boards = boardOn(0, "noise", 0);
  for (size_t i = 0; i < std::size(offsets); ++i) {
    boards += ',';  // appended: GCC 12 warns falsely on "literal" + std::string
    boards += boardOn(static_cast<int>(i + 1), "noise", offsets[i]);
  }
  useRack(R"({"sources":{"noise":{"type":"noise","amplitude_dbfs":-20,"seed":7}},"boards":[)" +
          boards + "]}");
  constexpr size_t kCount = 6000;
  const auto reference = startAndRead(0, kCount + 100);
  double power = 0;
  for (int16_t s : reference) power += static_cast<double>(s) * s;
  // The configured rms: -20 dBFS, 3277 LSB.
  EXPECT_NEAR(std::sqrt(power / static_cast<double>(reference.size())), 3277, 200);
  for (size_t i = 0; i < std::size(offsets); ++i) {
    SCOPED_TRACE(offsets[i]);
    const auto read = startAndRead(static_cast<int>(i + 1), kCount);
    double error = 0;
    size_t compared = 0;
    for (size_t n = 450; n + 450 < kCount; ++n, ++compared) {
      const double e = read[n] - reconstruct(reference, static_cast<double>(n) + offsets[i]);
      error += e * e;
    }
    // The rounding of both boards' samples: well under 1 LSB rms of 3277.
    EXPECT_LT(std::sqrt(error / static_cast<double>(compared)), 1.0);
  }
}

TEST_F(TimelineTest, RackWithSourcesLeavesBoardsWithoutInputAsTheyWere) {
  const std::string board = R"({"device":0,"signal":{"type":"chirp","noise_lsb_rms":3}},
                               {"device":1,"realtime":true,"signal":{"type":"ramp"}})";
  useRack(R"({"boards":[)" + board + "]}");
  std::vector<int16_t> plain;
  for (uint64_t k = 0; k < 5000; ++k) plain.push_back(signalSample(0, k));
  EXPECT_EQ(trueTimelineOffset(0), 0.0);
  useRack(R"({"sources":{"ref":{"type":"noise"}},"boards":[)" + board + "]}");
  for (uint64_t k = 0; k < 5000; ++k) ASSERT_EQ(signalSample(0, k), plain[k]) << k;
  EXPECT_EQ(startAndRead(0, 5000), plain);
}

TEST_F(TimelineTest, RefusesWhatCannotBeWired) {
  const std::string dac = R"({"device":1,"board_id":"0x86"})";
  const std::string sources = R"("sources":{"ref":{"type":"noise"}})";
  struct Case {
    std::string rack, reason;
  };
  const Case cases[] = {
      {R"({"boards":[{"input":"ref"}]})", "unknown source \"ref\" (the rack has no \"sources\")"},
      {"{" + sources + R"(,"boards":[{"input":"reff"}]})",
       "unknown source \"reff\" (sources: ref)"},
      {"{" + sources + R"(,"boards":[{"input":5}]})", "expected a source's name or"},
      {R"({"sources":[1],"boards":[]})", "sources: expected an object"},
      {R"({"sources":{"ref":{"type":"hum"}}})", "sources[\"ref\"].type: expected"},
      {R"({"sources":{"ref":{"type":"noise","amplitude_dbfs":3}}})", "amplitude_dbfs"},
      {"{" + sources + R"(,"boards":[{"input":"ref","signal":{}}]})", "exclude each other"},
      {"{" + sources + R"(,"boards":[{"timeline_offset":3}]})", "give \"input\": a source's name"},
      {"{" + sources + R"(,"boards":[{"input":"ref","realtime":true,"clock_ppm":1}]})",
       "not for a real-time board"},
      {"{" + sources + R"(,"boards":[{"input":"ref","timeline_offset":"3"}]})",
       "expected a number"},
      {"{" + sources + R"(,"boards":[{"input":"ref","timeline_offset":1e13}]})",
       "expected a number"},
      {"{" + sources + R"(,"boards":[{"input":"ref","clock_ppm":2e4}]})", "expected a number"},
      {"{" + sources + R"(,"boards":[{"input":"ref"},{"input":"ref","fixed_clock":1}]})",
       "share its timeline at one rate"},
      {R"({"boards":[{"device":0,"input":{"dac":0}}]})", "its own output"},
      {R"({"boards":[{"device":0,"input":{"dac":2}}]})", "device 2 is not in the rack"},
      {R"({"boards":[{"device":0,"input":{"dac":1}},{"device":1}]})",
       "device 1 is not a DAC board"},
      {R"({"boards":[{"device":0,"board_id":"0x87","input":{"dac":1}},)" + dac + "]}",
       "only an ADC board"},
      {R"({"boards":[{"device":0,"realtime":true,"input":{"dac":1}},)" + dac + "]}",
       "both be real-time or both unpaced"},
      {R"({"boards":[{"device":0,"synthesizer_rate_hz":1e6,"input":{"dac":1}},)" + dac + "]}",
       "wired boards share one rate"},
      {R"({"boards":[{"device":0,"input":{"through":{}}},)" + dac + "]}", "\"dac\" is required"},
      {R"({"boards":[{"device":0,"input":{"dac":1,"through":{"gain":1}}},)" + dac + "]}",
       "unknown key \"gain\""},
      {R"({"boards":[{"device":0,"input":{"dac":1,"through":{"delay_samples":-1}}},)" + dac + "]}",
       "delay_samples: expected a number from 0"},
      {R"({"boards":[{"device":0,"input":{"dac":1,"through":{"sos":[[1,0,0,0,0,0]]}}},)" + dac +
           "]}",
       "a0 is 0"},
      {R"({"boards":[{"device":0,"input":{"dac":1,"through":{"sos":[[1,0,0,1,-2.5,1.5]]}}},)" +
           dac + "]}",
       "unstable"},
      {R"({"boards":[{"device":0,"input":{"dac":1,"through":{"sos":[[1,0,0,1,0]]}}},)" + dac + "]}",
       "expected [b0, b1, b2, a0, a1, a2]"},
      {R"({"boards":[{"device":0,"input":{"dac":1,"through":{"fir":[]}}},)" + dac + "]}",
       "fir: expected a list of 1 to 4096"},
      {R"({"boards":[{"device":0,"input":{"dac":1,"through":{"fir":[1,"x"]}}},)" + dac + "]}",
       "fir[1]: expected a number"},
      {R"({"boards":[{"device":0,"input":{"dac":1,"through":{"polynomial":[1,1e7]}}},)" + dac +
           "]}",
       "polynomial[1]"},
      {R"({"boards":[{"device":0,"input":{"dac":1,"through":{"noise_lsb_rms":1e5}}},)" + dac + "]}",
       "noise_lsb_rms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rack);
    const std::string reason = configure(c.rack);
    EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
  }
}

// ---- DAC output through a device model -------------------------------------

// The model as its difference equations, in direct form I (the rack uses
// the transposed second form), on the stimulus d.
std::vector<double> throughModel(const std::vector<int16_t>& d, double gainDb, int delay,
                                 const std::vector<std::array<double, 6>>& sos,
                                 const std::vector<double>& fir, const std::vector<double>& poly) {
  std::vector<double> x(d.size(), 0.0);
  const double gain = std::pow(10.0, gainDb / 20);
  for (size_t n = 0; n < d.size(); ++n)
    x[n] = n >= static_cast<size_t>(delay) ? gain * d[n - static_cast<size_t>(delay)] : 0;
  for (const auto& s : sos) {
    std::vector<double> y(x.size(), 0.0);
    for (size_t n = 0; n < x.size(); ++n) {
      double v = s[0] * x[n];
      if (n >= 1) v += s[1] * x[n - 1] - s[4] * y[n - 1];
      if (n >= 2) v += s[2] * x[n - 2] - s[5] * y[n - 2];
      y[n] = v / s[3];
    }
    x = y;
  }
  if (!fir.empty()) {
    std::vector<double> y(x.size(), 0.0);
    for (size_t n = 0; n < x.size(); ++n)
      for (size_t k = 0; k < fir.size() && k <= n; ++k) y[n] += fir[k] * x[n - k];
    x = y;
  }
  if (!poly.empty())
    for (double& v : x) {
      const double u = v / 32767;
      double p = 0, power = 1;
      for (double c : poly) p += c * (power *= u);
      v = p * 32767;
    }
  return x;
}

std::string jsonList(const std::vector<double>& values) {
  std::ostringstream text;
  text.precision(17);
  text << "[";
  for (size_t i = 0; i < values.size(); ++i) text << (i ? "," : "") << values[i];
  return text.str() + "]";
}

TEST_F(TimelineTest, DacOutputReachesTheAdcThroughTheModelSampleForSample) {
  // A seeded stimulus written to the DAC board, read back by the ADC board
  // through each model, against the model's equations.
  const std::vector<std::array<double, 6>> lowPass = {
      {0.0675, 0.1349, 0.0675, 1, -1.1430, 0.4128},
      {0.2, 0.4, 0.2, 2, -0.6, 0.35}};  // a0 of 2: normalised by the rack
  struct Case {
    const char* name;
    double gainDb;
    int delay;
    std::vector<std::array<double, 6>> sos;
    std::vector<double> fir, poly;
  };
  const Case cases[] = {
      {"gain", -6, 0, {}, {}, {}},
      {"delay", 0, 13, {}, {}, {}},
      {"fir", 0, 0, {}, {0.5, -0.25, 0.125, 0.1}, {}},
      {"sos", 0, 0, lowPass, {}, {}},
      {"polynomial", 0, 0, {}, {}, {0.9, 0.05, -0.1}},
      {"all", 3, 7, lowPass, {0.6, 0.3, 0.1}, {1, 0.01, 0.002}},
  };
  constexpr size_t kCount = 30000;
  std::mt19937 random(11);
  std::normal_distribution<double> normal(0, 4000);
  std::vector<int16_t> stimulus(kCount);
  for (auto& s : stimulus) s = static_cast<int16_t>(std::clamp(normal(random), -20000.0, 20000.0));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ostringstream through;
    through.precision(17);
    through << R"({"gain_db":)" << c.gainDb << R"(,"delay_samples":)" << c.delay;
    if (!c.sos.empty()) {
      through << R"(,"sos":[)";
      for (size_t i = 0; i < c.sos.size(); ++i)
        through << (i ? "," : "") << jsonList({c.sos[i].begin(), c.sos[i].end()});
      through << "]";
    }
    if (!c.fir.empty()) through << R"(,"fir":)" << jsonList(c.fir);
    if (!c.poly.empty()) through << R"(,"polynomial":)" << jsonList(c.poly);
    through << "}";
    useRack(R"({"boards":[{"device":0,"input":{"dac":1,"through":)" + through.str() +
            R"(}},{"device":1,"board_id":"0x86"}]})");
    const Handle adc = open(0), dac = open(1);
    startAdc(adc);
    // An odd split of the write: a sample across two writes.
    uint32_t moved = 0;
    ASSERT_EQ(writeDevice(dac, stimulus.data(), 1001, &moved), 0u);
    ASSERT_EQ(writeDevice(dac, reinterpret_cast<const uint8_t*>(stimulus.data()) + 1001,
                          kCount * 2 - 1001, &moved),
              0u);
    // Read in pieces, the model keeping its state between them.
    auto read = readSamples(adc, 7777);
    const auto rest = readSamples(adc, kCount - 7777);
    read.insert(read.end(), rest.begin(), rest.end());
    const auto expected = throughModel(stimulus, c.gainDb, c.delay, c.sos, c.fir, c.poly);
    for (size_t n = 0; n < kCount; ++n) {
      const double clipped = std::clamp(expected[n], -32768.0, 32767.0);
      ASSERT_NEAR(read[n], clipped, 0.51 + 1e-9 * std::abs(clipped)) << n;
    }
    // Beyond what the DAC has played: zeros (after the filters' tails die).
    EXPECT_EQ(signalSample(0, kCount + 5000), 0);
    closeDevice(adc);
    closeDevice(dac);
  }
}

TEST_F(TimelineTest, ThroughModelDelaysByFractionsClipsAndAddsItsNoise) {
  // A sine through a fractional delay and a gain that drives it into the
  // int16 limits, and the model's noise.
  constexpr double kCycles = 0.031;  // per sample
  struct Case {
    double delay, gainDb, noise;
  };
  const Case cases[] = {{2.5, 0, 0}, {40.3, 0, 0}, {0.75, 12, 0}, {5, 0, 8}};
  constexpr size_t kCount = 20000;
  // Played a little past what is read: a fractional delay reads 31 samples
  // ahead, and a read whose DAC samples never come fails.
  std::vector<int16_t> stimulus(kCount + 32);
  for (size_t n = 0; n < stimulus.size(); ++n)
    stimulus[n] = static_cast<int16_t>(
        std::lround(12000 * std::sin(2 * std::numbers::pi * kCycles * static_cast<double>(n))));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delay);
    std::ostringstream rack;
    rack << R"({"boards":[{"device":0,"input":{"dac":1,"through":{"delay_samples":)" << c.delay
         << R"(,"gain_db":)" << c.gainDb << R"(,"noise_lsb_rms":)" << c.noise
         << R"(}}},{"device":1,"board_id":"0x86"}]})";
    useRack(rack.str());
    const Handle adc = open(0), dac = open(1);
    startAdc(adc);
    uint32_t moved = 0;
    ASSERT_EQ(writeDevice(dac, stimulus.data(), static_cast<uint32_t>(stimulus.size() * 2), &moved),
              0u);
    const auto read = readSamples(adc, kCount);
    const double gain = std::pow(10.0, c.gainDb / 20);
    double worst = 0, power = 0;
    size_t clipped = 0;
    for (size_t n = 200; n + 200 < kCount; ++n) {
      const double expected = std::clamp(
          gain * 12000 *
              std::sin(2 * std::numbers::pi * kCycles * (static_cast<double>(n) - c.delay)),
          -32768.0, 32767.0);
      clipped += std::abs(expected) >= 32767;
      const double e = read[n] - expected;
      worst = std::max(worst, std::abs(e));
      power += e * e;
    }
    if (c.noise > 0) {
      EXPECT_NEAR(std::sqrt(power / (kCount - 400)), c.noise, 0.5);
    } else {
      // The rounding of the stimulus, amplified by the gain, and the result's.
      EXPECT_LT(worst, 0.5 + 1.5 * gain);
    }
    if (c.gainDb > 0) {
      EXPECT_GT(clipped, 1000u) << "the gain drives the sine into the limits";
    }
    closeDevice(adc);
    closeDevice(dac);
  }
}

TEST_F(TimelineTest, UnpacedAdcWaitsForTheDacItListensTo) {
  // The ADC's reader runs ahead of the DAC's writer, as a program that
  // streams both does: its read waits for the DAC's samples (up to
  // read_timeout_ms) instead of taking zeros for them.
  useRack(R"({"boards":[{"device":0,"read_timeout_ms":10000,
      "input":{"dac":1,"through":{"delay_samples":3.5}}},{"device":1,"board_id":"0x86"}]})");
  const Handle adc = open(0), dac = open(1);
  startAdc(adc);
  std::vector<int16_t> stimulus(5000);
  for (size_t n = 0; n < stimulus.size(); ++n)
    stimulus[n] = static_cast<int16_t>(
        std::lround(9000 * std::sin(2 * std::numbers::pi * 0.05 * static_cast<double>(n))));
  std::vector<int16_t> read;
  std::thread reader([&] { read = readSamples(adc, 4000); });
  for (size_t at = 0; at < stimulus.size(); at += 500) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    uint32_t moved = 0;
    ASSERT_EQ(writeDevice(dac, stimulus.data() + at, 1000, &moved), 0u);
  }
  reader.join();
  ASSERT_EQ(read.size(), 4000u);
  for (size_t n = 100; n < read.size(); ++n)
    ASSERT_NEAR(read[n],
                9000 * std::sin(2 * std::numbers::pi * 0.05 * (static_cast<double>(n) - 3.5)), 2.0)
        << n;
  closeDevice(adc);
  closeDevice(dac);
}

TEST_F(TimelineTest, UnpacedAdcReadFailsWhenItsDacIsLate) {
  // A read whose DAC samples do not come within read_timeout_ms fails with
  // 121 and moves nothing, and leaves the channel where it was: once the DAC
  // has played them, the same read gives them from sample 0. ADC sample n
  // needs DAC samples up to n - whole delay, and 31 further on for a
  // fractional delay. Never zeros passed off as data.
  constexpr uint32_t kRead = 2000;
  struct Case {
    double delay;
    uint32_t written;  // DAC samples played before the read
    bool fails;
  };
  const Case cases[] = {
      {0, 0, true},          {0, kRead - 1, true},    {0, kRead, false},       {7, kRead - 8, true},
      {7, kRead - 7, false}, {3.5, kRead + 27, true}, {3.5, kRead + 28, false}};
  std::vector<int16_t> stimulus(kRead + 100);
  for (size_t n = 0; n < stimulus.size(); ++n) stimulus[n] = static_cast<int16_t>(n % 5000 + 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "delay " << c.delay << ", written " << c.written);
    std::ostringstream rack;
    rack << R"({"boards":[{"device":0,"read_timeout_ms":30,"input":{"dac":1,"through":)"
         << R"({"delay_samples":)" << c.delay << R"(}}},{"device":1,"board_id":"0x86"}]})";
    useRack(rack.str());
    const Handle adc = open(0), dac = open(1);
    startAdc(adc);
    uint32_t moved = 0;
    if (c.written > 0) {
      ASSERT_EQ(writeDevice(dac, stimulus.data(), c.written * 2, &moved), 0u);
    }
    std::vector<uint8_t> bytes;
    moved = 0xDEAD;
    EXPECT_EQ(readBytes(adc, bytes, kRead * 2, &moved), c.fails ? 121u : 0u);
    EXPECT_EQ(moved, c.fails ? 0u : kRead * 2);
    if (c.fails) {
      const uint32_t rest = static_cast<uint32_t>(stimulus.size()) - c.written;
      ASSERT_EQ(writeDevice(dac, stimulus.data() + c.written, rest * 2, &moved), 0u);
      ASSERT_EQ(readBytes(adc, bytes, kRead * 2, &moved), 0u);
    }
    const auto read = samplesOf(bytes);
    ASSERT_EQ(read.size(), kRead);
    if (c.delay == std::floor(c.delay)) {
      const auto shift = static_cast<size_t>(c.delay);
      for (size_t n = 0; n < kRead; ++n)
        ASSERT_EQ(static_cast<int16_t>(read[n]), n < shift ? 0 : stimulus[n - shift]) << n;
    } else {
      EXPECT_NE(read[kRead - 1], 0) << "the last sample read the DAC's output";
    }
    closeDevice(adc);
    closeDevice(dac);
  }
}

// ---- Real-time boards ----------------------------------------------------------

TEST_F(TimelineTest, RealtimeBoardsArePlacedWhereTheirClocksStart) {
  // A ramp source shows each sample's timeline position (mod 65536). Boards
  // started some milliseconds apart read it from their true offsets, which
  // differ by the rate times the time between the starts.
  constexpr double kRate = 1e6;
  useRack(R"({"sources":{"ramp":{"type":"ramp"}},"boards":[
      {"device":0,"realtime":true,"synthesizer_rate_hz":1e6,"input":"ramp"},
      {"device":1,"realtime":true,"synthesizer_rate_hz":1e6,"input":"ramp"},
      {"device":2,"realtime":true,"synthesizer_rate_hz":1e6,"input":"ramp"}]})");
  using Clock = std::chrono::steady_clock;
  std::vector<Handle> handles;
  std::vector<Clock::time_point> before, after;
  for (int d = 0; d < 3; ++d) {
    EXPECT_TRUE(std::isnan(trueTimelineOffset(d))) << "not placed before its start";
    handles.push_back(open(d));
    before.push_back(Clock::now());
    startAdc(handles.back());
    after.push_back(Clock::now());
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  for (int d = 0; d < 3; ++d) {
    SCOPED_TRACE(d);
    const double offset = trueTimelineOffset(d);
    ASSERT_FALSE(std::isnan(offset));
    EXPECT_EQ(offset, std::floor(offset)) << "boards on one clock: whole samples";
    if (d > 0) {
      const double apart = offset - trueTimelineOffset(0);
      EXPECT_GE(apart, kRate * seconds(before[d] - after[0]) - 1);
      EXPECT_LE(apart, kRate * seconds(after[d] - before[0]) + 1);
      EXPECT_GE(apart, 3000 * d - 1) << "at least the sleeps between the starts";
    }
    const auto read = readSamples(handles[static_cast<size_t>(d)], 4000);
    for (size_t n = 0; n < read.size(); ++n)
      ASSERT_EQ(static_cast<uint16_t>(read[n]),
                static_cast<uint16_t>(static_cast<int64_t>(offset) + static_cast<int64_t>(n)))
          << n;
  }
  // A channel reset places the board again at the new start.
  const double first = trueTimelineOffset(0);
  ASSERT_EQ(request(handles[0], IOCTL_TALVO_RESET, {0, 0}), 0u);
  EXPECT_GT(trueTimelineOffset(0), first);
  for (Handle h : handles) closeDevice(h);
}

TEST_F(TimelineTest, RealtimeDacReachesTheAdcOnTheSharedTimeline) {
  // ADC sample n sees the DAC's sample at the same timeline instant: DAC
  // index n + adcOffset - dacOffset, zeros before the DAC started.
  useRack(R"({"boards":[
      {"device":0,"realtime":true,"synthesizer_rate_hz":1e6,"input":{"dac":1}},
      {"device":1,"board_id":"0x86","realtime":true,"synthesizer_rate_hz":1e6}]})");
  const Handle adc = open(0), dac = open(1);
  ASSERT_EQ(request(dac, IOCTL_TALVO_RESET, {0, 0}), 0u);
  startAdc(adc);
  std::vector<int16_t> ramp(200000);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<int16_t>(i % 30000 + 1);
  uint32_t moved = 0;
  ASSERT_EQ(writeDevice(dac, ramp.data(), static_cast<uint32_t>(ramp.size() * 2), &moved), 0u);
  const auto read = readSamples(adc, 20000);
  const double shift = trueTimelineOffset(0) - trueTimelineOffset(1);
  ASSERT_FALSE(std::isnan(shift));
  for (size_t n = 0; n < read.size(); ++n) {
    const double m = static_cast<double>(n) + shift;
    const int16_t expected = m < 0 ? 0 : ramp[static_cast<size_t>(m)];
    ASSERT_EQ(read[n], expected) << n;
  }
  closeDevice(adc);
  closeDevice(dac);
}

TEST_F(TimelineTest, RealtimeDacUnderrunReachesTheAdcAsItsIdleZeros) {
  // The DAC's time line: its first block at its start, then the idle zeros
  // of the underrun its counter reports (2 samples a word), then the second
  // block. However long the pause lasts, the ADC sees exactly that.
  useRack(R"({"boards":[
      {"device":0,"realtime":true,"synthesizer_rate_hz":1e6,"input":{"dac":1}},
      {"device":1,"board_id":"0x86","realtime":true,"synthesizer_rate_hz":1e6}]})");
  const Handle adc = open(0), dac = open(1);
  ASSERT_EQ(request(dac, IOCTL_TALVO_RESET, {0, 0}), 0u);
  startAdc(adc);
  constexpr size_t kBlock = 1000;
  std::vector<int16_t> first(kBlock), second(kBlock);
  for (size_t i = 0; i < kBlock; ++i) {
    first[i] = static_cast<int16_t>(i + 1);
    second[i] = static_cast<int16_t>(i + 5001);
  }
  uint32_t moved = 0;
  ASSERT_EQ(writeDevice(dac, first.data(), kBlock * 2, &moved), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(writeDevice(dac, second.data(), kBlock * 2, &moved), 0u);
  std::vector<uint8_t> counts(8);
  ASSERT_EQ(request(dac, IOCTL_GET_TALVO_ERROR, {}, counts), 0u);
  const int64_t idle = 2 * int64_t{word(counts, 1)};
  EXPECT_GE(idle, 15000) << "a 20 ms pause at 1 MHz after 1000 samples";
  const double shift = trueTimelineOffset(0) - trueTimelineOffset(1);
  ASSERT_FALSE(std::isnan(shift));
  const auto dacAt = [&](int64_t m) -> int16_t {
    const auto k = static_cast<int64_t>(kBlock);
    if (m < 0) return 0;
    if (m < k) return first[static_cast<size_t>(m)];
    if (m < k + idle) return 0;
    if (m < 2 * k + idle) return second[static_cast<size_t>(m - k - idle)];
    return 0;
  };
  const auto count =
      static_cast<size_t>(std::max(0.0, -shift)) + 2 * kBlock + static_cast<size_t>(idle) + 100;
  const auto read = readSamples(adc, count);
  for (size_t n = 0; n < read.size(); ++n)
    ASSERT_EQ(read[n], dacAt(static_cast<int64_t>(n) + static_cast<int64_t>(shift))) << n;
  closeDevice(adc);
  closeDevice(dac);
}

#ifndef _WIN32
TEST_F(TimelineTest, TraceReportsEachBoardsPlaceOnTheTimeline) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = ::testing::TempDir() + "kpxadac-timeline-trace.jsonl";
  std::remove(path.c_str());
  EXPECT_EXIT(
      {
        setenv("KPXADAC_TRACE", path.c_str(), 1);
        setenv("KPXADAC_SIM", R"({"sources":{"ref":{"type":"noise"}},"boards":[
            {"device":0,"input":"ref","timeline_offset":12.5,"clock_ppm":-3}]})",
               1);
        resetToEnvironment();
        const auto h = platform::openDevice("\\\\.\\KPXADAC_0", kGenericReadWrite, kShareReadWrite,
                                            nullptr, kOpenExisting, kNoFlags, nullptr);
        const uint8_t zero[2] = {};
        uint32_t returned = 0;
        platform::deviceControl(h, IOCTL_TALVO_RESET, zero, 2, nullptr, 0, &returned);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "");
  std::ifstream trace(path);
  std::string line, found;
  while (std::getline(trace, line))
    if (line.find(R"("op":"timeline")") != std::string::npos) found = line;
  EXPECT_EQ(
      found,
      R"({"op":"timeline","device":0,"ok":true,"error":0,"input":"ref","offset":12.5,"clock_ppm":-3})");
}
#endif

}  // namespace
}  // namespace kpx::sim::test
