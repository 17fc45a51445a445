// KpxResponse_Measure on virtual boards: a DAC board wired to an ADC board
// through the rack's device model, whose exact response is known.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kpxadac/response_run.h"
#include "sim_fixture.h"

namespace {

using Complex = std::complex<double>;
constexpr double kPi = std::numbers::pi;

struct ResultDeleter {
  void operator()(KpxResponseResult* r) const { KpxResponse_FreeResult(r); }
};
using Result = std::unique_ptr<KpxResponseResult, ResultDeleter>;

// Two Butterworth sections (the cookbook's low-pass) at 0.06 of the rate.
std::vector<std::array<double, 6>> lowPassSections() {
  std::vector<std::array<double, 6>> sections;
  const double w0 = 2 * kPi * 0.06;
  for (double q : {0.5411961, 1.3065630}) {
    const double alpha = std::sin(w0) / (2 * q), c = std::cos(w0);
    sections.push_back({(1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha});
  }
  return sections;
}

std::string sosJson(const std::vector<std::array<double, 6>>& sections) {
  std::ostringstream out;
  out.precision(17);
  out << "[";
  for (size_t i = 0; i < sections.size(); ++i) {
    out << (i ? ",[" : "[");
    for (size_t j = 0; j < 6; ++j) out << (j ? "," : "") << sections[i][j];
    out << "]";
  }
  out << "]";
  return out.str();
}

Complex exactResponse(double gainDb, double delay, const std::vector<std::array<double, 6>>& sos,
                      double cyclesPerSample) {
  const Complex z1 = std::polar(1.0, -2 * kPi * cyclesPerSample);
  Complex h = std::pow(10.0, gainDb / 20) * std::polar(1.0, -2 * kPi * cyclesPerSample * delay);
  for (const auto& s : sos)
    h *= (s[0] + s[1] * z1 + s[2] * z1 * z1) / (s[3] + s[4] * z1 + s[5] * z1 * z1);
  return h;
}

class ResponseBoardsTest : public SimTest {
 protected:
  // ADC at device 0 wired from the DAC at device 1 through `through`;
  // `extraAdc`/`extraDac`: more keys of each board.
  void wire(const std::string& through, const std::string& extraAdc = "",
            const std::string& extraDac = "") {
    // The unpaced ADC waits up to read_timeout_ms for the DAC samples it
    // needs (then reads zeros): generous, for a loaded machine.
    useRack(R"({"boards":[{"device":0,"read_timeout_ms":10000,"input":{"dac":1,"through":)" +
            through + "}" + extraAdc + R"(},{"device":1,"board_id":"0x86")" + extraDac + "}]}");
    Kpxadac16_Open();
    adc = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
    dac = Kpxadac16_GetHandle(BOARD_TYPE_DAC, 0);
    ASSERT_NE(adc, KPXADAC_INVALID_HANDLE);
    ASSERT_NE(dac, KPXADAC_INVALID_HANDLE);
  }

  int32_t measure(int32_t method, double start, double stop, uint32_t points, Result& result,
                  int harmonics = 0, uint32_t flags = 0, uint32_t maxLatency = 4096) {
    KpxResponseRun run{};
    run.dac = dac;
    run.adc = adc;
    run.maxLatency = maxLatency;
    captured.clear();
    shown.clear();
    run.user = this;
    run.pointCaptured = [](void* user, uint32_t index, double hz) {
      static_cast<ResponseBoardsTest*>(user)->captured.emplace_back(index, hz);
    };
    run.pointMeasured = [](void* user, uint32_t index, const KpxResponsePoint* point) {
      static_cast<ResponseBoardsTest*>(user)->shown.emplace_back(index, *point);
    };
    KpxResponseRequest request{};
    request.method = method;
    request.startHz = start;
    request.stopHz = stop;
    request.points = points;
    request.amplitudeDbfs = -1;
    request.harmonics = harmonics;
    request.flags = flags;
    KpxResponseResult* raw = nullptr;
    const int32_t code = KpxResponse_Measure(&run, &request, &raw, nullptr);
    result.reset(raw);
    return code;
  }

  static std::vector<KpxResponsePoint> points(const KpxResponseResult* r, KpxResponseSummary& s) {
    EXPECT_EQ(KpxResponse_GetSummary(r, &s), KPXRESPONSE_OK);
    std::vector<KpxResponsePoint> p(s.points);
    EXPECT_EQ(KpxResponse_GetPoints(r, p.data(), s.points), KPXRESPONSE_OK);
    return p;
  }

  BoardHandle adc = KPXADAC_INVALID_HANDLE, dac = KPXADAC_INVALID_HANDLE;
  std::vector<std::pair<uint32_t, double>> captured;  // the stepped sine's points, as captured
  std::vector<std::pair<uint32_t, KpxResponsePoint>> shown;  // and their figures, as measured
};

// Same bits, NaN equal to NaN.
bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

TEST_F(ResponseBoardsTest, SteppedSineFiguresAsItGoesAreTheResultsPoints) {
  const auto sos = lowPassSections();
  const struct {
    const char* what;
    std::string through;
    int harmonics;
    uint32_t flags;
    uint32_t maxLatency;
  } cases[] = {
      {"low-pass", R"({"gain_db":-2,"delay_samples":40.6,"sos":)" + sosJson(sos) + "}", 0, 0, 4096},
      {"latency kept", R"({"gain_db":-2,"delay_samples":40.6,"sos":)" + sosJson(sos) + "}", 0,
       KPXRESPONSE_FLAG_KEEP_LATENCY, 4096},
      // The default allowance: the latency is known only after 2^20 + 2^20 samples.
      {"distorting, default latency allowance", R"({"polynomial":[1, 0.03, -0.02]})", 4, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    wire(c.through);
    Result result;
    ASSERT_EQ(measure(KPXRESPONSE_METHOD_SINE, 30e3, 45e6, 40, result, c.harmonics, c.flags,
                      c.maxLatency),
              KPXRESPONSE_OK);
    KpxResponseSummary summary{};
    const auto measured = points(result.get(), summary);
    ASSERT_EQ(shown.size(), measured.size());
    for (size_t i = 0; i < shown.size(); ++i) {
      const auto& [index, p] = shown[i];
      const KpxResponsePoint& q = measured[i];
      EXPECT_EQ(index, i);
      EXPECT_TRUE(same(p.frequencyHz, q.frequencyHz) && same(p.magnitudeDb, q.magnitudeDb) &&
                  same(p.phaseDeg, q.phaseDeg) && same(p.qualityDb, q.qualityDb) &&
                  same(p.real, q.real) && same(p.imag, q.imag))
          << "point " << i << ": " << p.magnitudeDb << " dB " << p.phaseDeg << " deg against "
          << q.magnitudeDb << " dB " << q.phaseDeg << " deg";
      for (int h = 0; h < KPXRESPONSE_MAX_HARMONIC - 1; ++h)
        EXPECT_TRUE(same(p.harmonicDbc[h], q.harmonicDbc[h])) << "point " << i << " h" << h + 2;
      EXPECT_TRUE(std::isnan(p.groupDelayS));
    }
    Kpxadac16_CloseAll();
  }
  // The other methods have no points as they go. Measured one after the
  // other on the same boards: the second must not see the first's samples.
  wire(R"({"gain_db":-1})");
  for (int32_t method : {KPXRESPONSE_METHOD_MULTITONE, KPXRESPONSE_METHOD_SWEEP,
                         KPXRESPONSE_METHOD_MULTITONE, KPXRESPONSE_METHOD_SWEEP}) {
    Result result;
    ASSERT_EQ(measure(method, 100e3, 40e6, 20, result), KPXRESPONSE_OK);
    EXPECT_TRUE(shown.empty());
    KpxResponseSummary summary{};
    for (const KpxResponsePoint& p : points(result.get(), summary))
      EXPECT_NEAR(p.magnitudeDb, -1, 0.05) << p.frequencyHz;
    EXPECT_NEAR(summary.latencySamples, 0, 0.01);
  }
}

TEST_F(ResponseBoardsTest, EachMethodMeasuresTheWiredLowPassAgainstItsExactResponse) {
  const auto sos = lowPassSections();
  const double gainDb = -2.5, delay = 6.3;
  std::ostringstream through;
  through << R"({"gain_db":)" << gainDb << R"(,"delay_samples":)" << delay << R"(,"sos":)"
          << sosJson(sos) << "}";
  for (int32_t method :
       {KPXRESPONSE_METHOD_SINE, KPXRESPONSE_METHOD_MULTITONE, KPXRESPONSE_METHOD_SWEEP}) {
    SCOPED_TRACE(KpxResponse_MethodName(method));
    wire(through.str());
    Result result;
    ASSERT_EQ(measure(method, 100e3, 40e6, 24, result), KPXRESPONSE_OK);
    KpxResponseSummary summary{};
    const auto measured = points(result.get(), summary);
    ASSERT_GT(summary.sampleRateHz, 0);
    int checked = 0;
    for (const KpxResponsePoint& p : measured) {
      const double f = p.frequencyHz / summary.sampleRateHz;
      const Complex exact = exactResponse(gainDb, delay, sos, f) *
                            std::polar(1.0, 2 * kPi * f * summary.latencySamples);
      const double exactDb = 20 * std::log10(std::abs(exact));
      if (exactDb > -40) {
        EXPECT_NEAR(p.magnitudeDb, exactDb, 0.05) << p.frequencyHz;
        EXPECT_NEAR(std::remainder(p.phaseDeg - std::arg(exact) * 180 / kPi, 360.0), 0, 0.5)
            << p.frequencyHz;
        ++checked;
      } else if (exactDb > -80) {
        EXPECT_NEAR(p.magnitudeDb, exactDb, 0.5) << p.frequencyHz;
      }
    }
    EXPECT_GT(checked, 10);
    Kpxadac16_CloseAll();
  }
}

TEST_F(ResponseBoardsTest, LatencyOfTheWiredDelayAndHarmonicsOfItsPolynomial) {
  // Unpaced boards pass the DAC's samples sample for sample: the latency is
  // the model's delay.
  for (double delay : {0.0, 3.25, 100.6}) {
    std::ostringstream through;
    through << R"({"gain_db":-1,"delay_samples":)" << delay << "}";
    wire(through.str());
    Result result;
    ASSERT_EQ(measure(KPXRESPONSE_METHOD_MULTITONE, 200e3, 30e6, 16, result), KPXRESPONSE_OK);
    KpxResponseSummary summary{};
    points(result.get(), summary);
    EXPECT_NEAR(summary.latencySamples, delay, 0.01);
    Kpxadac16_CloseAll();
  }
  // y = u + 0.03 u^2 - 0.02 u^3 on a sine of amplitude a = -1 dBFS.
  wire(R"({"polynomial":[1, 0.03, -0.02]})");
  Result result;
  ASSERT_EQ(measure(KPXRESPONSE_METHOD_SINE, 1e6, 8e6, 5, result, 3), KPXRESPONSE_OK);
  const double a = std::pow(10.0, -1.0 / 20);
  const double fundamental = a - 0.02 * 0.75 * a * a * a;
  const double second = 20 * std::log10(0.03 * a * a / 2 / fundamental);
  const double third = 20 * std::log10(0.02 * a * a * a / 4 / fundamental);
  KpxResponseSummary summary{};
  const auto measured = points(result.get(), summary);
  for (const KpxResponsePoint& p : measured) {
    EXPECT_NEAR(p.harmonicDbc[0], second, 0.5) << p.frequencyHz;
    EXPECT_NEAR(p.harmonicDbc[1], third, 0.5) << p.frequencyHz;
  }
  // Each tone was announced once, in order, as it was captured.
  ASSERT_EQ(captured.size(), measured.size());
  for (size_t i = 0; i < captured.size(); ++i) {
    EXPECT_EQ(captured[i].first, i);
    EXPECT_EQ(captured[i].second, measured[i].frequencyHz);
  }
}

// Measurements one after another on the same boards: each sees its own
// stimulus, never what the DAC played in the one before (a wrong latency and
// magnitude, reported as a result).
TEST_F(ResponseBoardsTest, AMeasurementAfterAnotherSeesOnlyItsOwnStimulus) {
  const double gainDb = -3, delay = 5;
  wire(R"({"gain_db":-3,"delay_samples":5})");
  const int32_t order[] = {KPXRESPONSE_METHOD_MULTITONE, KPXRESPONSE_METHOD_SWEEP,
                           KPXRESPONSE_METHOD_SINE, KPXRESPONSE_METHOD_SWEEP};
  for (size_t run = 0; run < std::size(order); ++run) {
    SCOPED_TRACE(run);
    Result result;
    ASSERT_EQ(measure(order[run], 100e3, 10e6, 6, result), KPXRESPONSE_OK);
    KpxResponseSummary summary{};
    const auto measured = points(result.get(), summary);
    EXPECT_NEAR(summary.latencySamples, delay, 0.01);
    for (const auto& p : measured) EXPECT_NEAR(p.magnitudeDb, gainDb, 0.05) << p.frequencyHz;
  }
}

// A response that comes later than the latency allowance (on real-time
// boards: a DAC started late on a loaded host) is still found, up to twice
// the allowance (before, the search found a wrong lag within the
// allowance: the tones correlate with themselves there). The capture runs
// maxLatency samples longer and leaves out the silence ahead of a response
// later than the allowance, down to half the allowance before it; one
// within it is left as it was.
TEST_F(ResponseBoardsTest, AResponseLaterThanTheAllowanceIsFoundInTheLongerCapture) {
  for (int32_t method : {KPXRESPONSE_METHOD_MULTITONE, KPXRESPONSE_METHOD_SINE}) {
    for (double delay : {6000.25, 3900.25}) {
      SCOPED_TRACE(std::string(KpxResponse_MethodName(method)) + " delay " + std::to_string(delay));
      std::ostringstream through;
      through << R"({"gain_db":-1,"delay_samples":)" << delay << "}";
      wire(through.str());
      Result result;
      ASSERT_EQ(measure(method, 200e3, 30e6, 12, result, 0, 0, 4096), KPXRESPONSE_OK);
      KpxResponseSummary summary{};
      const auto measured = points(result.get(), summary);
      // What was left out is whole samples: the fraction stays, and the
      // latency is within the allowance.
      EXPECT_NEAR(summary.latencySamples - std::floor(summary.latencySamples), 0.25, 0.01);
      EXPECT_LE(summary.latencySamples, 4096);
      if (delay < 4096) {
        EXPECT_NEAR(summary.latencySamples, delay, 0.01);  // nothing left out
      }
      for (const KpxResponsePoint& p : measured) {
        EXPECT_NEAR(p.magnitudeDb, -1, 0.05) << p.frequencyHz;
        EXPECT_NEAR(p.phaseDeg, 0, 0.5) << p.frequencyHz;
      }
      if (method == KPXRESPONSE_METHOD_SINE) {
        EXPECT_EQ(shown.size(), measured.size());
      }
      Kpxadac16_CloseAll();
    }
  }
}

TEST_F(ResponseBoardsTest, RefusesWhatIsNoMeasurement) {
  wire(R"({"gain_db":0})");
  KpxResponseRequest request{};
  request.method = KPXRESPONSE_METHOD_MULTITONE;
  request.startHz = 1e6;
  request.stopHz = 10e6;
  request.points = 8;
  request.amplitudeDbfs = -1;
  struct Case {
    const char* what;
    BoardHandle dacBoard, adcBoard;
    int32_t code;
  };
  const Case cases[] = {
      {"ADC as the DAC", adc, adc, KPXRESPONSE_ERR_NOT_PAIR},
      {"swapped", adc, dac, KPXRESPONSE_ERR_NOT_PAIR},
      {"two DAC boards", dac, dac, KPXRESPONSE_ERR_NOT_PAIR},
      {"no such board", 12345, adc, KPXRESPONSE_ERR_NO_BOARD},
  };
  for (const Case& c : cases) {
    KpxResponseRun run{};
    run.dac = c.dacBoard;
    run.adc = c.adcBoard;
    KpxResponseResult* result = nullptr;
    EXPECT_EQ(KpxResponse_Measure(&run, &request, &result, nullptr), c.code) << c.what;
    EXPECT_EQ(result, nullptr);
  }
  KpxResponseRun run{};
  run.dac = dac;
  run.adc = adc;
  KpxResponseResult* result = nullptr;
  // A rate that is not the boards', a stop above half of theirs.
  request.sampleRateHz = 1e6;
  EXPECT_EQ(KpxResponse_Measure(&run, &request, &result, nullptr), KPXRESPONSE_ERR_RATES_DIFFER);
  request.sampleRateHz = 0;
  request.stopHz = 60e6;
  EXPECT_EQ(KpxResponse_Measure(&run, &request, &result, nullptr), KPXRESPONSE_ERR_STOP);
  request.stopHz = 10e6;
  run.maxLatency = KPXRESPONSE_MAX_LATENCY_SAMPLES + 1;
  EXPECT_EQ(KpxResponse_Measure(&run, &request, &result, nullptr), KPXRESPONSE_ERR_LATENCY);
  EXPECT_EQ(KpxResponse_Measure(nullptr, &request, &result, nullptr), KPXRESPONSE_ERR_NULL);
  Kpxadac16_CloseAll();

  // Boards at different rates: the ADC on its fixed clock, the DAC on the
  // synthesizer (the rack cannot wire them together).
  useRack(R"({"boards":[{"device":0,"fixed_clock":1},
                        {"device":1,"board_id":"0x86","fixed_clock":0}]})");
  Kpxadac16_Open();
  adc = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  dac = Kpxadac16_GetHandle(BOARD_TYPE_DAC, 0);
  run = KpxResponseRun{};
  run.dac = dac;
  run.adc = adc;
  EXPECT_EQ(KpxResponse_Measure(&run, &request, &result, nullptr), KPXRESPONSE_ERR_RATES_DIFFER);
  Kpxadac16_CloseAll();

  // Lost samples on either side: no result.
  struct Loss {
    const char* adcKeys;
    const char* dacKeys;
    int32_t code;
  };
  const Loss losses[] = {
      {R"(,"faults":[{"op":"IOCTL_GET_TALVO_ERROR","skip":3,"count":1,"rx_overrun":8}])", "",
       KPXRESPONSE_ERR_OVERRUN},
      {"", R"(,"faults":[{"op":"IOCTL_GET_TALVO_ERROR","skip":3,"count":1,"tx_underrun":8}])",
       KPXRESPONSE_ERR_UNDERRUN},
  };
  for (const Loss& loss : losses) {
    wire(R"({"gain_db":0})", loss.adcKeys, loss.dacKeys);
    run = KpxResponseRun{};
    run.dac = dac;
    run.adc = adc;
    run.blockSamples = 4096;
    EXPECT_EQ(KpxResponse_Measure(&run, &request, &result, nullptr), loss.code);
    EXPECT_EQ(result, nullptr);
    Kpxadac16_CloseAll();
  }

  // Nothing comes through: a gain of -200 dB leaves the ADC at zero.
  wire(R"({"gain_db":-200})");
  run = KpxResponseRun{};
  run.dac = dac;
  run.adc = adc;
  EXPECT_EQ(KpxResponse_Measure(&run, &request, &result, nullptr), KPXRESPONSE_ERR_NO_SIGNAL);
}

}  // namespace
