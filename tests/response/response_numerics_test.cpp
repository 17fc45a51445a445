// The response numerics (kpxadac/response.h) measuring devices whose
// response is known exactly: biquad sections, a fractional delay and a gain
// applied in the frequency domain (so the delay is exact), a memoryless
// polynomial applied sample by sample, a tilted through path.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <numbers>
#include <string>
#include <vector>

#include "kpxadac/response.h"
#include "real_fft.h"

namespace {

using Complex = std::complex<double>;
constexpr double kPi = std::numbers::pi;
constexpr double kRate = 105e6;

struct Device {
  std::vector<std::array<double, 6>> sos;  // b0 b1 b2 a0 a1 a2
  std::vector<double> fir;
  double gainDb = 0;
  double delay = 0;  // samples
};

// A Butterworth low-pass of `order` (even) at `cutoff` cycles per sample, as
// biquads of the bilinear transform (the audio cookbook's low-pass sections).
std::vector<std::array<double, 6>> butterworth(int order, double cutoff) {
  std::vector<std::array<double, 6>> sections;
  const double w0 = 2 * kPi * cutoff;
  for (int k = 0; k < order / 2; ++k) {
    const double q = 1.0 / (2 * std::sin((2 * k + 1) * kPi / (2 * order)));
    const double alpha = std::sin(w0) / (2 * q), c = std::cos(w0);
    sections.push_back({(1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha});
  }
  return sections;
}

Complex exactResponse(const Device& d, double cyclesPerSample) {
  const Complex z1 = std::polar(1.0, -2 * kPi * cyclesPerSample);
  Complex h = std::pow(10.0, d.gainDb / 20) * std::polar(1.0, -2 * kPi * cyclesPerSample * d.delay);
  for (const auto& s : d.sos)
    h *= (s[0] + s[1] * z1 + s[2] * z1 * z1) / (s[3] + s[4] * z1 + s[5] * z1 * z1);
  if (!d.fir.empty()) {
    Complex f = 0, zk = 1;
    for (double tap : d.fir) {
      f += tap * zk;
      zk *= z1;
    }
    h *= f;
  }
  return h;
}

// The device's output for `x`, `length` samples, by multiplying spectra in a
// transform long enough that nothing of interest wraps around.
std::vector<double> applyDevice(const Device& d, const std::vector<double>& x, size_t length) {
  const size_t n = std::bit_ceil(2 * length + 65536);
  kpx::analysis::detail::RealFft forward(n);
  std::fill(forward.input(), forward.input() + n, 0.0);
  std::copy(x.begin(), x.end(), forward.input());
  const Complex* bins = forward.transform();
  kpx::analysis::detail::RealInverseFft inverse(n);
  for (size_t k = 0; k <= n / 2; ++k) {
    Complex h = exactResponse(d, static_cast<double>(k) / static_cast<double>(n));
    if (k == n / 2) h = h.real();  // the Nyquist bin is real
    inverse.input()[k] = bins[k] * h;
  }
  const double* y = inverse.transform();
  return std::vector<double>(y, y + length);
}

struct PlanDeleter {
  void operator()(KpxResponsePlan* p) const { KpxResponse_FreePlan(p); }
};
struct ResultDeleter {
  void operator()(KpxResponseResult* r) const { KpxResponse_FreeResult(r); }
};
using Plan = std::unique_ptr<KpxResponsePlan, PlanDeleter>;
using Result = std::unique_ptr<KpxResponseResult, ResultDeleter>;

KpxResponseRequest request(int32_t method, double start, double stop, uint32_t points) {
  KpxResponseRequest r{};
  r.method = method;
  r.spacing = KPXRESPONSE_SPACING_LOG;
  r.sampleRateHz = kRate;
  r.startHz = start;
  r.stopHz = stop;
  r.points = points;
  r.amplitudeDbfs = -6;
  return r;
}

Plan makePlan(const KpxResponseRequest& r) {
  KpxResponsePlan* plan = nullptr;
  const int32_t code = KpxResponse_CreatePlan(&r, &plan);
  EXPECT_EQ(code, KPXRESPONSE_OK) << KpxResponse_ResultText(code);
  return Plan(plan);
}

std::vector<double> stimulusOf(const KpxResponsePlan* plan) {
  std::vector<double> x(KpxResponse_StimulusLength(plan));
  EXPECT_EQ(KpxResponse_StimulusDouble(plan, x.data(), x.size()), KPXRESPONSE_OK);
  return x;
}

constexpr size_t kMargin = 4096;  // response samples beyond the stimulus

// Measures `device` with the plan; the response holds kMargin samples more.
template <typename DeviceFunction>
Result measure(const KpxResponsePlan* plan, DeviceFunction&& device) {
  const std::vector<double> x = stimulusOf(plan);
  const std::vector<double> y = device(x, x.size() + kMargin);
  KpxResponseResult* result = nullptr;
  const int32_t code =
      KpxResponse_AnalyzeDouble(plan, x.data(), x.size(), y.data(), y.size(), &result);
  EXPECT_EQ(code, KPXRESPONSE_OK) << KpxResponse_ResultText(code);
  return Result(result);
}

std::vector<KpxResponsePoint> pointsOf(const KpxResponseResult* result) {
  KpxResponseSummary summary{};
  EXPECT_EQ(KpxResponse_GetSummary(result, &summary), KPXRESPONSE_OK);
  std::vector<KpxResponsePoint> points(summary.points);
  EXPECT_EQ(KpxResponse_GetPoints(result, points.data(), summary.points), KPXRESPONSE_OK);
  return points;
}

double latencyOf(const KpxResponseResult* result) {
  KpxResponseSummary summary{};
  EXPECT_EQ(KpxResponse_GetSummary(result, &summary), KPXRESPONSE_OK);
  return summary.latencySamples;
}

double wrapDegrees(double d) {
  return std::remainder(d, 360.0);
}

// Every point against the exact response with the measured latency taken
// out: 0.05 dB and 0.5 degrees above -40 dB, 0.5 dB down to -80 dB. Returns
// the points checked above -40 dB.
int expectExact(const KpxResponseResult* result, const Device& device, const std::string& what) {
  const double latency = latencyOf(result);
  int checked = 0;
  double previousPhase = 0;
  bool first = true;
  for (const KpxResponsePoint& p : pointsOf(result)) {
    const double f = p.frequencyHz / kRate;
    const Complex exact = exactResponse(device, f) * std::polar(1.0, 2 * kPi * f * latency);
    const double exactDb = 20 * std::log10(std::abs(exact));
    const double exactDeg = std::arg(exact) * 180 / kPi;
    if (exactDb > -40) {
      EXPECT_NEAR(p.magnitudeDb, exactDb, 0.05) << what << " at " << p.frequencyHz << " Hz";
      EXPECT_NEAR(wrapDegrees(p.phaseDeg - exactDeg), 0.0, 0.5) << what << " at " << p.frequencyHz;
      ++checked;
    } else if (exactDb > -80) {
      EXPECT_NEAR(p.magnitudeDb, exactDb, 0.5) << what << " at " << p.frequencyHz << " Hz";
    }
    // Unwrapped: no step of 180 degrees or more between neighbours.
    if (!first) {
      EXPECT_LT(std::abs(p.phaseDeg - previousPhase), 180.0) << what;
    }
    previousPhase = p.phaseDeg;
    first = false;
  }
  return checked;
}

auto through(const Device& device) {
  return [&device](const std::vector<double>& x, size_t length) {
    return applyDevice(device, x, length);
  };
}

Device lowPass() {
  Device d;
  d.sos = butterworth(6, 0.04);  // 4.2 MHz at 105 MHz, three biquads
  d.gainDb = -3.5;
  d.delay = 17.37;
  return d;
}

struct MethodCase {
  int32_t method;
  const char* name;
};
const MethodCase kMethods[] = {{KPXRESPONSE_METHOD_SINE, "sine"},
                               {KPXRESPONSE_METHOD_MULTITONE, "multitone"},
                               {KPXRESPONSE_METHOD_SWEEP, "sweep"}};

TEST(ResponseNumerics, EachMethodMeasuresALowPassWithFractionalDelayExactly) {
  const Device device = lowPass();
  for (const MethodCase& m : kMethods) {
    Plan plan = makePlan(request(m.method, 10e3, 50e6, 60));
    Result result = measure(plan.get(), through(device));
    ASSERT_TRUE(result) << m.name;
    EXPECT_GT(expectExact(result.get(), device, m.name), 20) << m.name;
    // The phase with the latency kept differs by exactly its slope.
    std::vector<KpxResponsePoint> removed = pointsOf(result.get());
    ASSERT_EQ(KpxResponse_SetKeepLatency(result.get(), 1), KPXRESPONSE_OK);
    std::vector<KpxResponsePoint> kept = pointsOf(result.get());
    for (size_t i = 0; i < kept.size(); ++i)
      EXPECT_NEAR(kept[i].phaseDeg - removed[i].phaseDeg,
                  -360 * kept[i].frequencyHz / kRate * latencyOf(result.get()), 1e-6)
          << m.name;
  }
}

// The device's exact impulse response, samples 0..n-1 (n large enough that
// its tail has died out, so the circular transform does not wrap).
std::vector<double> exactImpulse(const Device& d, size_t n) {
  kpx::analysis::detail::RealInverseFft inverse(n);
  for (size_t k = 0; k <= n / 2; ++k) {
    Complex h = exactResponse(d, static_cast<double>(k) / static_cast<double>(n));
    if (k == 0 || k == n / 2) h = h.real();
    inverse.input()[k] = h;
  }
  const double* v = inverse.transform();
  return std::vector<double>(v, v + n);
}

// Every method's impulse response against the exact one, from the start of
// the stimulus on: its peak at the exact one's (for a pure delay: at the
// latency), and the same shape over the first 400 samples. The measurement
// sees the band from 200 kHz to 50 MHz only; below it the response is held
// at the lowest point's (right for these devices, flat there), and above
// it the low-pass is below -100 dB. What remains is the interpolation
// between points (the multitone's and stepped sine's 80 log-spaced points
// are 8 % apart, so the corner of the 6th-order low-pass is drawn from a
// few of them): 1.0e-5 of the exact energy measured here, bound at ten
// times that. The sweep's needs no interpolation: 7e-7, bound at 1e-5.
TEST(ResponseNumerics, EachMethodGivesTheImpulseResponseOfTheDevice) {
  Device delayOnly;
  delayOnly.delay = 250.81;
  delayOnly.gainDb = -1;
  const struct {
    const char* name;
    Device device;
  } devices[] = {{"pure delay", delayOnly}, {"low-pass", lowPass()}};
  constexpr size_t kShape = 400;
  for (const MethodCase& m : kMethods) {
    Plan plan = makePlan(request(m.method, 200e3, 50e6, 80));
    for (const auto& d : devices) {
      SCOPED_TRACE(std::string(m.name) + ", " + d.name);
      Result result = measure(plan.get(), through(d.device));
      ASSERT_TRUE(result);
      KpxResponseSummary summary{};
      ASSERT_EQ(KpxResponse_GetSummary(result.get(), &summary), KPXRESPONSE_OK);
      ASSERT_GT(summary.impulseSamples, 0u);
      std::vector<double> impulse(summary.impulseSamples);
      ASSERT_EQ(KpxResponse_GetImpulse(result.get(), impulse.data(), impulse.size()),
                KPXRESPONSE_OK);
      EXPECT_EQ(KpxResponse_GetImpulse(result.get(), impulse.data(), impulse.size() + 1),
                KPXRESPONSE_ERR_LENGTH);
      if (m.method == KPXRESPONSE_METHOD_MULTITONE) {
        // The period's impulse response (the stimulus: 1 + 4 periods), the
        // sweep's window at most.
        const uint64_t period = KpxResponse_StimulusLength(plan.get()) / 5;
        EXPECT_EQ(summary.impulseSamples, std::min<uint64_t>(period, 16384 + 65536));
      }
      const std::vector<double> exact = exactImpulse(d.device, size_t{1} << 16);
      // The measured impulse at sample t of the stimulus (0 outside its window).
      auto measuredAt = [&](int64_t t) {
        const int64_t j = t - summary.impulseStart;
        return j >= 0 && j < static_cast<int64_t>(impulse.size()) ? impulse[static_cast<size_t>(j)]
                                                                  : 0.0;
      };
      size_t exactPeak = 0;
      for (size_t t = 0; t < kShape; ++t)
        if (std::abs(exact[t]) > std::abs(exact[exactPeak])) exactPeak = t;
      int64_t measuredPeak = summary.impulseStart;
      for (size_t j = 0; j < impulse.size(); ++j)
        if (std::abs(impulse[j]) > std::abs(measuredAt(measuredPeak)))
          measuredPeak = summary.impulseStart + static_cast<int64_t>(j);
      EXPECT_NEAR(static_cast<double>(measuredPeak), static_cast<double>(exactPeak), 1.0);
      if (d.device.sos.empty()) {
        EXPECT_NEAR(static_cast<double>(measuredPeak), summary.latencySamples, 1.0);
      }
      // A pure delay's exact impulse fills the whole band, of which the
      // measurement sees only up to the stop: its shape is the low-pass's check.
      if (d.device.sos.empty()) continue;
      double error = 0, energy = 0;
      for (size_t t = 0; t < kShape; ++t) {
        const double e = measuredAt(static_cast<int64_t>(t)) - exact[t];
        error += e * e;
        energy += exact[t] * exact[t];
      }
      EXPECT_LT(error / energy, m.method == KPXRESPONSE_METHOD_SWEEP ? 1e-5 : 1e-4)
          << "relative error energy " << error / energy;
    }
  }
}

TEST(ResponseNumerics, LatencyOfAPureDelayToAHundredthOfASample) {
  const double delays[] = {0.0, 0.37, 12.5, 250.81, 3000.09};
  for (const MethodCase& m : kMethods) {
    Plan plan = makePlan(request(m.method, 100e3, 40e6, 30));
    for (double delay : delays) {
      Device d;
      d.delay = delay;
      d.gainDb = -1;
      Result result = measure(plan.get(), through(d));
      ASSERT_TRUE(result);
      EXPECT_NEAR(latencyOf(result.get()), delay, 0.01) << m.name << " delay " << delay;
      // A pure delay's group delay is the delay.
      for (const KpxResponsePoint& p : pointsOf(result.get()))
        EXPECT_NEAR(p.groupDelayS * kRate, delay, 0.01) << m.name << " at " << p.frequencyHz;
    }
  }
}

TEST(ResponseNumerics, Int16SamplesAndAnInvertingDevice) {
  Device d;
  d.gainDb = -2;
  d.delay = 5.25;
  for (const MethodCase& m : kMethods) {
    Plan plan = makePlan(request(m.method, 50e3, 20e6, 20));
    const std::vector<double> x = stimulusOf(plan.get());
    std::vector<int16_t> xi(x.size());
    ASSERT_EQ(KpxResponse_StimulusInt16(plan.get(), xi.data(), xi.size()), KPXRESPONSE_OK);
    std::vector<double> played(xi.begin(), xi.end());
    std::vector<double> y = applyDevice(d, played, played.size() + kMargin);
    std::vector<int16_t> yi(y.size());
    for (size_t i = 0; i < y.size(); ++i) yi[i] = static_cast<int16_t>(-std::lround(y[i]));
    KpxResponseResult* raw = nullptr;
    ASSERT_EQ(
        KpxResponse_AnalyzeInt16(plan.get(), xi.data(), xi.size(), yi.data(), yi.size(), &raw),
        KPXRESPONSE_OK);
    Result result(raw);
    EXPECT_NEAR(latencyOf(raw), 5.25, 0.01) << m.name;
    for (const KpxResponsePoint& p : pointsOf(raw)) {
      EXPECT_NEAR(p.magnitudeDb, -2, 0.01) << m.name << " at " << p.frequencyHz;
      EXPECT_NEAR(std::abs(wrapDegrees(p.phaseDeg)), 180, 0.1) << m.name << " at " << p.frequencyHz;
      EXPECT_GT(p.qualityDb, 40) << m.name << " at " << p.frequencyHz;
    }
  }
}

// Harmonic h of a polynomial sum c_p x^p driven by a cos of amplitude a:
// cos^p = 2^(1-p) sum_k C(p,k) cos((p-2k) t), the constant term halved.
double harmonicAmplitude(const std::vector<double>& c, double a, int h) {
  double sum = 0;
  for (size_t i = 0; i < c.size(); ++i) {
    const int p = static_cast<int>(i) + 1;
    if (p < h || (p - h) % 2) continue;
    const int k = (p - h) / 2;
    double binomial = 1;
    for (int j = 1; j <= k; ++j) binomial = binomial * (p - k + j) / j;
    sum += c[i] * std::pow(a, p) * std::pow(2.0, 1 - p) * binomial;
  }
  return std::abs(sum);
}

TEST(ResponseNumerics, HarmonicsOfAMemorylessPolynomial) {
  struct Case {
    std::vector<double> coefficients;  // of x, x^2, x^3, ...
    double amplitudeDbfs;
  };
  const Case cases[] = {{{1.0, 0.05, 0.02}, -6},
                        {{0.8, 0.0, -0.1, 0.0, 0.03}, -3},
                        {{1.0, 0.1, 0.05, 0.02, 0.01}, -10}};
  for (const MethodCase& m : kMethods) {
    if (m.method == KPXRESPONSE_METHOD_MULTITONE) continue;  // gives no harmonics
    for (const Case& c : cases) {
      KpxResponseRequest r = request(m.method, 200e3, 5e6, 12);
      r.amplitudeDbfs = c.amplitudeDbfs;
      r.harmonics = 5;
      Plan plan = makePlan(r);
      auto polynomial = [&](const std::vector<double>& x, size_t length) {
        std::vector<double> y(length, 0.0);
        for (size_t n = 0; n < x.size(); ++n) {
          double power = 1;
          for (double coefficient : c.coefficients) {
            power *= x[n];
            y[n] += coefficient * power;
          }
        }
        return y;
      };
      Result result = measure(plan.get(), polynomial);
      ASSERT_TRUE(result);
      const double a = std::pow(10.0, c.amplitudeDbfs / 20);
      int compared = 0;
      for (const KpxResponsePoint& p : pointsOf(result.get())) {
        for (int h = 2; h <= 5; ++h) {
          const double level = harmonicAmplitude(c.coefficients, a, h);
          if (level < 1e-12) continue;  // absent: only noise to read
          // The sweep covers harmonics up to its stop only.
          if (m.method == KPXRESPONSE_METHOD_SWEEP && h * p.frequencyHz > 5e6) {
            EXPECT_TRUE(std::isnan(p.harmonicDbc[h - 2])) << h << " at " << p.frequencyHz;
            continue;
          }
          const double expected = 20 * std::log10(level / harmonicAmplitude(c.coefficients, a, 1));
          ASSERT_TRUE(std::isfinite(p.harmonicDbc[h - 2])) << m.name << " h" << h;
          EXPECT_NEAR(p.harmonicDbc[h - 2], expected, 0.5)
              << m.name << " h" << h << " at " << p.frequencyHz;
          ++compared;
        }
        EXPECT_TRUE(std::isnan(p.harmonicDbc[6])) << "order 8 was not asked for";
      }
      EXPECT_GT(compared, 12) << m.name;
    }
  }
}

TEST(ResponseNumerics, ThroughCalibrationRemovesATiltedPath) {
  Device path;  // the boards' own path: tilted, delayed, attenuated
  path.fir = {1.0, -0.35, 0.1};
  path.gainDb = -1.5;
  path.delay = 9.6;
  const Device dut = lowPass();
  Device both = dut;
  both.fir = path.fir;
  both.gainDb += path.gainDb;
  both.delay += path.delay;
  for (const MethodCase& m : kMethods) {
    Plan plan = makePlan(request(m.method, 20e3, 45e6, 50));
    Result reference = measure(plan.get(), through(path));
    Result result = measure(plan.get(), through(both));
    ASSERT_TRUE(reference && result);
    ASSERT_EQ(KpxResponse_ApplyReference(result.get(), reference.get()), KPXRESPONSE_OK);
    EXPECT_GT(expectExact(result.get(), dut, m.name), 15) << m.name;
    // Divided once only.
    EXPECT_EQ(KpxResponse_ApplyReference(result.get(), reference.get()), KPXRESPONSE_ERR_ARGUMENT);
    // A reference read back from its points divides the same way.
    std::vector<KpxResponsePoint> stored = pointsOf(reference.get());
    KpxResponseResult* loaded = nullptr;
    ASSERT_EQ(KpxResponse_ResultFromPoints(stored.data(), static_cast<uint32_t>(stored.size()),
                                           kRate, latencyOf(reference.get()), &loaded),
              KPXRESPONSE_OK);
    Result fromFile(loaded);
    Result again = measure(plan.get(), through(both));
    ASSERT_EQ(KpxResponse_ApplyReference(again.get(), loaded), KPXRESPONSE_OK);
    EXPECT_GT(expectExact(again.get(), dut, m.name), 15) << m.name << " (stored reference)";
  }
}

TEST(ResponseNumerics, EveryBadRequestIsRefusedWithItsCode) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* what;
    void (*change)(KpxResponseRequest&);
    int32_t code;
  };
  static double badValue;
  const Case cases[] = {
      {"method", [](KpxResponseRequest& r) { r.method = 3; }, KPXRESPONSE_ERR_METHOD},
      {"negative method", [](KpxResponseRequest& r) { r.method = -1; }, KPXRESPONSE_ERR_METHOD},
      {"spacing", [](KpxResponseRequest& r) { r.spacing = 2; }, KPXRESPONSE_ERR_SPACING},
      {"rate 0", [](KpxResponseRequest& r) { r.sampleRateHz = 0; }, KPXRESPONSE_ERR_RATE},
      {"rate NaN", [](KpxResponseRequest& r) { r.sampleRateHz = badValue; }, KPXRESPONSE_ERR_RATE},
      {"start 0", [](KpxResponseRequest& r) { r.startHz = 0; }, KPXRESPONSE_ERR_START},
      {"start negative", [](KpxResponseRequest& r) { r.startHz = -5; }, KPXRESPONSE_ERR_START},
      {"start too low", [](KpxResponseRequest& r) { r.startHz = 50; }, KPXRESPONSE_ERR_START},
      {"start NaN", [](KpxResponseRequest& r) { r.startHz = badValue; }, KPXRESPONSE_ERR_START},
      {"stop at half the rate", [](KpxResponseRequest& r) { r.stopHz = 52.5e6; },
       KPXRESPONSE_ERR_STOP},
      {"stop above half the rate", [](KpxResponseRequest& r) { r.stopHz = 60e6; },
       KPXRESPONSE_ERR_STOP},
      {"stop NaN", [](KpxResponseRequest& r) { r.stopHz = badValue; }, KPXRESPONSE_ERR_STOP},
      {"stop below start", [](KpxResponseRequest& r) { r.stopHz = 5e3; }, KPXRESPONSE_ERR_ORDER},
      {"stop equal to start", [](KpxResponseRequest& r) { r.stopHz = r.startHz; },
       KPXRESPONSE_ERR_ORDER},
      {"points 0", [](KpxResponseRequest& r) { r.points = 0; }, KPXRESPONSE_ERR_POINTS},
      {"points 10001", [](KpxResponseRequest& r) { r.points = 10001; }, KPXRESPONSE_ERR_POINTS},
      {"amplitude above 0", [](KpxResponseRequest& r) { r.amplitudeDbfs = 0.5; },
       KPXRESPONSE_ERR_AMPLITUDE},
      {"amplitude below -100", [](KpxResponseRequest& r) { r.amplitudeDbfs = -101; },
       KPXRESPONSE_ERR_AMPLITUDE},
      {"amplitude NaN", [](KpxResponseRequest& r) { r.amplitudeDbfs = badValue; },
       KPXRESPONSE_ERR_AMPLITUDE},
      {"harmonic 1", [](KpxResponseRequest& r) { r.harmonics = 1; }, KPXRESPONSE_ERR_HARMONICS},
      {"harmonic 11", [](KpxResponseRequest& r) { r.harmonics = 11; }, KPXRESPONSE_ERR_HARMONICS},
      {"averages", [](KpxResponseRequest& r) { r.averages = 1025; }, KPXRESPONSE_ERR_AVERAGES},
      {"multitone too dense",
       [](KpxResponseRequest& r) {
         r.method = KPXRESPONSE_METHOD_MULTITONE;
         r.spacing = KPXRESPONSE_SPACING_LINEAR;
         r.startHz = 1e6;
         r.stopHz = 1e6 + 100;
         r.points = 10;
       },
       KPXRESPONSE_ERR_RESOLUTION},
  };
  for (double bad : {nan, inf, -inf}) {
    badValue = bad;
    for (const Case& c : cases) {
      KpxResponseRequest r = request(KPXRESPONSE_METHOD_SINE, 10e3, 50e6, 20);
      c.change(r);
      KpxResponsePlan* plan = reinterpret_cast<KpxResponsePlan*>(&r);  // must be reset to null
      EXPECT_EQ(KpxResponse_CreatePlan(&r, &plan), c.code) << c.what << " (" << bad << ")";
      EXPECT_EQ(plan, nullptr) << c.what;
      EXPECT_STRNE(KpxResponse_ResultText(c.code), "unknown result code") << c.what;
    }
  }
  KpxResponsePlan* plan = nullptr;
  EXPECT_EQ(KpxResponse_CreatePlan(nullptr, &plan), KPXRESPONSE_ERR_NULL);
}

TEST(ResponseNumerics, BadArraysAndReferencesAreRefused) {
  Plan plan = makePlan(request(KPXRESPONSE_METHOD_MULTITONE, 100e3, 10e6, 10));
  const std::vector<double> x = stimulusOf(plan.get());
  std::vector<double> y = applyDevice(Device{}, x, x.size() + 16);
  KpxResponseResult* result = nullptr;
  // Lengths: a stimulus of another length, a response shorter than it.
  EXPECT_EQ(
      KpxResponse_AnalyzeDouble(plan.get(), x.data(), x.size() - 1, y.data(), y.size(), &result),
      KPXRESPONSE_ERR_LENGTH);
  EXPECT_EQ(
      KpxResponse_AnalyzeDouble(plan.get(), x.data(), x.size(), y.data(), x.size() - 1, &result),
      KPXRESPONSE_ERR_LENGTH);
  EXPECT_EQ(KpxResponse_AnalyzeDouble(plan.get(), nullptr, x.size(), y.data(), y.size(), &result),
            KPXRESPONSE_ERR_NULL);
  std::vector<double> d(x.size());
  EXPECT_EQ(KpxResponse_StimulusDouble(plan.get(), d.data(), d.size() + 1), KPXRESPONSE_ERR_LENGTH);
  // Samples that are not numbers, in either array.
  for (double bad :
       {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    std::vector<double> yb = y;
    yb[yb.size() / 2] = bad;
    EXPECT_EQ(
        KpxResponse_AnalyzeDouble(plan.get(), x.data(), x.size(), yb.data(), yb.size(), &result),
        KPXRESPONSE_ERR_NOT_FINITE);
    std::vector<double> xb = x;
    xb[7] = bad;
    EXPECT_EQ(
        KpxResponse_AnalyzeDouble(plan.get(), xb.data(), xb.size(), y.data(), y.size(), &result),
        KPXRESPONSE_ERR_NOT_FINITE);
  }
  // Nothing connected: silence, and noise that does not follow the stimulus.
  std::vector<double> silence(y.size(), 0.0);
  EXPECT_EQ(KpxResponse_AnalyzeDouble(plan.get(), x.data(), x.size(), silence.data(),
                                      silence.size(), &result),
            KPXRESPONSE_ERR_NO_SIGNAL);
  std::vector<double> noise(y.size());
  uint64_t state = 88172645463325252ull;
  for (double& v : noise) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    v = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
  }
  EXPECT_EQ(KpxResponse_AnalyzeDouble(plan.get(), x.data(), x.size(), noise.data(), noise.size(),
                                      &result),
            KPXRESPONSE_ERR_NO_SIGNAL);
  EXPECT_EQ(result, nullptr);
  // A reference at other frequencies, or at another rate.
  ASSERT_EQ(KpxResponse_AnalyzeDouble(plan.get(), x.data(), x.size(), y.data(), y.size(), &result),
            KPXRESPONSE_OK);
  Result measured(result);
  Plan other = makePlan(request(KPXRESPONSE_METHOD_MULTITONE, 100e3, 12e6, 10));
  Result otherResult = measure(other.get(), through(Device{}));
  EXPECT_EQ(KpxResponse_ApplyReference(measured.get(), otherResult.get()),
            KPXRESPONSE_ERR_MISMATCH);
  std::vector<KpxResponsePoint> points = pointsOf(measured.get());
  KpxResponseResult* stored = nullptr;
  ASSERT_EQ(KpxResponse_ResultFromPoints(points.data(), 10, kRate * 2, 0, &stored), KPXRESPONSE_OK);
  Result otherRate(stored);
  EXPECT_EQ(KpxResponse_ApplyReference(measured.get(), otherRate.get()), KPXRESPONSE_ERR_MISMATCH);
  // Stored points that are not in rising order, or not numbers.
  std::swap(points[2], points[3]);
  EXPECT_EQ(KpxResponse_ResultFromPoints(points.data(), 10, kRate, 0, &stored),
            KPXRESPONSE_ERR_ARGUMENT);
  std::swap(points[2], points[3]);
  points[4].real = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(KpxResponse_ResultFromPoints(points.data(), 10, kRate, 0, &stored),
            KPXRESPONSE_ERR_ARGUMENT);
  EXPECT_EQ(KpxResponse_ResultFromPoints(points.data(), 0, kRate, 0, &stored),
            KPXRESPONSE_ERR_POINTS);
  EXPECT_EQ(KpxResponse_ResultFromPoints(points.data(), 10, std::nan(""), 0, &stored),
            KPXRESPONSE_ERR_RATE);
}

TEST(ResponseNumerics, MethodNamesAndFrequencyGrids) {
  for (const MethodCase& m : kMethods) {
    EXPECT_STREQ(KpxResponse_MethodName(m.method), m.name);
    EXPECT_EQ(KpxResponse_MethodFromName(m.name), m.method);
  }
  EXPECT_EQ(KpxResponse_MethodFromName("Sine"), -1);
  EXPECT_EQ(KpxResponse_MethodFromName(nullptr), -1);
  EXPECT_EQ(KpxResponse_MethodName(7), nullptr);
  // The frequencies measured stay within 0.5 % of the asked ones, rising.
  for (int32_t spacing : {KPXRESPONSE_SPACING_LOG, KPXRESPONSE_SPACING_LINEAR}) {
    for (const MethodCase& m : kMethods) {
      KpxResponseRequest r = request(m.method, 10e3, 50e6, 200);
      r.spacing = spacing;
      Plan plan = makePlan(r);
      std::vector<double> f(KpxResponse_PlanPoints(plan.get()));
      ASSERT_EQ(f.size(), 200u);
      ASSERT_EQ(KpxResponse_PlanFrequencies(plan.get(), f.data(), 200), KPXRESPONSE_OK);
      for (size_t i = 0; i < f.size(); ++i) {
        const double t = static_cast<double>(i) / 199;
        const double asked = spacing == KPXRESPONSE_SPACING_LOG ? 10e3 * std::pow(5000.0, t)
                                                                : 10e3 + (50e6 - 10e3) * t;
        EXPECT_NEAR(f[i] / asked, 1.0, 0.005) << m.name << " point " << i;
        if (i) {
          EXPECT_GT(f[i], f[i - 1]);
        }
      }
    }
  }
}

}  // namespace

namespace {

// A result's text from the library, its size asked first.
std::string formatted(const KpxResponseResult* result,
                      int32_t (*render)(const KpxResponseResult*, char*, size_t, size_t*)) {
  size_t needed = 0;
  EXPECT_EQ(render(result, nullptr, 0, &needed), KPXRESPONSE_ERR_LENGTH);
  EXPECT_GT(needed, 1u);
  // One byte short: refused, the buffer left alone, the size said again.
  std::string shorter(needed - 1, '#');
  size_t again = 0;
  EXPECT_EQ(render(result, shorter.data(), shorter.size(), &again), KPXRESPONSE_ERR_LENGTH);
  EXPECT_EQ(again, needed);
  EXPECT_EQ(shorter, std::string(needed - 1, '#'));
  std::string text(needed, '#');
  EXPECT_EQ(render(result, text.data(), text.size(), &again), KPXRESPONSE_OK);
  EXPECT_EQ(text.back(), '\0');
  text.pop_back();
  EXPECT_EQ(text.find('\0'), std::string::npos);
  return text;
}

// The same value, to the bit; "nan" (CSV) or null (JSON) where not measured.
void expectSame(const std::string& field, double expected, const char* where) {
  SCOPED_TRACE(where);
  if (!std::isfinite(expected)) {
    EXPECT_EQ(field, "nan");
    return;
  }
  char* end = nullptr;
  const double read = std::strtod(field.c_str(), &end);
  EXPECT_EQ(*end, '\0') << field;
  EXPECT_EQ(read, expected) << field;
}

}  // namespace

// The CSV and JSON texts hold every point's figures exactly, with one
// harmonic column per order the result has and none for a method without.
TEST(ResponseNumerics, CsvAndJsonTextsHoldTheResultExactly) {
  const std::vector<double> coefficients{1.0, 0.05, 0.02};
  for (const MethodCase& m : kMethods) {
    SCOPED_TRACE(m.name);
    KpxResponseRequest r = request(m.method, 200e3, 5e6, 9);
    r.harmonics = 4;
    Plan plan = makePlan(r);
    Result result = measure(plan.get(), [&](const std::vector<double>& x, size_t length) {
      std::vector<double> y(length, 0.0);
      for (size_t n = 0; n < x.size(); ++n)
        y[n] = x[n] + 0.05 * x[n] * x[n] + 0.02 * x[n] * x[n] * x[n];
      return y;
    });
    ASSERT_TRUE(result);
    KpxResponseSummary summary{};
    ASSERT_EQ(KpxResponse_GetSummary(result.get(), &summary), KPXRESPONSE_OK);
    std::vector<KpxResponsePoint> points(summary.points);
    ASSERT_EQ(KpxResponse_GetPoints(result.get(), points.data(), summary.points), KPXRESPONSE_OK);

    const std::string csv = formatted(result.get(), KpxResponse_FormatCsv);
    std::vector<std::vector<std::string>> rows;
    size_t at = 0;
    while (at < csv.size()) {
      const size_t end = csv.find('\n', at);
      ASSERT_NE(end, std::string::npos) << "the last line ends with a line break";
      std::vector<std::string> fields;
      std::string line = csv.substr(at, end - at);
      for (size_t from = 0;;) {
        const size_t comma = line.find(',', from);
        fields.push_back(line.substr(from, comma - from));
        if (comma == std::string::npos) break;
        from = comma + 1;
      }
      rows.push_back(fields);
      at = end + 1;
    }
    std::vector<std::string> header{"frequency_hz", "magnitude_db", "phase_deg", "group_delay_s",
                                    "quality_db"};
    const int harmonics = m.method == KPXRESPONSE_METHOD_MULTITONE ? 0 : 4;
    EXPECT_EQ(summary.harmonics, harmonics);
    for (int h = 2; h <= harmonics; ++h) {
      // Appended piece by piece: "h" + std::string trips GCC 12's false -Wrestrict.
      std::string name(1, 'h');
      name.append(std::to_string(h)).append("_dbc");
      header.push_back(name);
    }
    ASSERT_EQ(rows.size(), points.size() + 1);
    EXPECT_EQ(rows[0], header);
    for (size_t i = 0; i < points.size(); ++i) {
      const auto& row = rows[i + 1];
      const KpxResponsePoint& p = points[i];
      ASSERT_EQ(row.size(), header.size());
      expectSame(row[0], p.frequencyHz, "frequency");
      expectSame(row[1], p.magnitudeDb, "magnitude");
      expectSame(row[2], p.phaseDeg, "phase");
      expectSame(row[3], p.groupDelayS, "group delay");
      expectSame(row[4], p.qualityDb, "quality");
      for (int h = 2; h <= harmonics; ++h) expectSame(row[3 + h], p.harmonicDbc[h - 2], "harmonic");
    }

    const auto json = nlohmann::json::parse(formatted(result.get(), KpxResponse_FormatJson));
    EXPECT_EQ(json["method"], m.name);
    EXPECT_EQ(json["sample_rate_hz"].get<double>(), kRate);
    EXPECT_EQ(json["latency_samples"].get<double>(), summary.latencySamples);
    ASSERT_EQ(json["magnitude_db"].size(), points.size());
    EXPECT_EQ(json["harmonics_dbc"].size(), static_cast<size_t>(harmonics > 0 ? harmonics - 1 : 0));
    EXPECT_EQ(json["impulse"].size(), summary.impulseSamples);
    for (size_t i = 0; i < points.size(); ++i) {
      EXPECT_EQ(json["frequency_hz"][i].get<double>(), points[i].frequencyHz);
      EXPECT_EQ(json["phase_deg"][i].get<double>(), points[i].phaseDeg);
      if (harmonics > 0) {
        const auto& h2 = json["harmonics_dbc"]["2"][i];
        if (std::isfinite(points[i].harmonicDbc[0]))
          EXPECT_EQ(h2.get<double>(), points[i].harmonicDbc[0]);
        else
          EXPECT_TRUE(h2.is_null());
      }
    }
  }
}

TEST(ResponseNumerics, FormattingRefusesMissingPointers) {
  KpxResponsePoint point{};
  point.frequencyHz = 1e6;
  point.real = 1;
  point.qualityDb = std::nan("");
  KpxResponseResult* made = nullptr;
  ASSERT_EQ(KpxResponse_ResultFromPoints(&point, 1, kRate, 0, &made), KPXRESPONSE_OK);
  Result result(made);
  char buffer[1024];
  size_t needed = 99;
  for (auto render : {KpxResponse_FormatCsv, KpxResponse_FormatJson}) {
    EXPECT_EQ(render(nullptr, buffer, sizeof buffer, &needed), KPXRESPONSE_ERR_NULL);
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(render(result.get(), buffer, sizeof buffer, nullptr), KPXRESPONSE_ERR_NULL);
    EXPECT_EQ(render(result.get(), nullptr, 10, &needed), KPXRESPONSE_ERR_NULL);
    EXPECT_EQ(render(result.get(), buffer, sizeof buffer, &needed), KPXRESPONSE_OK);
    EXPECT_EQ(std::strlen(buffer) + 1, needed);
    // The stored point: 0 dB at 1 MHz, its quality not measured.
    const std::string text = buffer;
    if (render == KpxResponse_FormatCsv) {
      EXPECT_EQ(text.substr(text.find('\n') + 1, 8), "1000000,") << text;
    }
    EXPECT_NE(text.find(render == KpxResponse_FormatCsv ? ",nan\n" : "\"quality_db\":[null]"),
              std::string::npos)
        << text;
  }
}
