// KpxGroup_Align on windows whose true offsets the test knows exactly
// (reference_signals.h): integer and fractional offsets of band-limited
// noise and a chirp, drift, and the results that say "do not trust this".
#include "group/alignment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "kpxadac_group.h"
#include "reference_signals.h"

namespace {

using groupref::sample;

constexpr size_t kWindow = 1 << 16;
// The reference runs from t = kStart, so that negative shifts stay on it.
constexpr double kStart = 40000;

struct OffsetCase {
  const char* signal;  // "noise" or "chirp"
  double offset;       // board's sample n is the reference's n + offset
};

class AlignOffsets : public ::testing::TestWithParam<OffsetCase> {};

TEST_P(AlignOffsets, FindsTheTrueOffset) {
  const OffsetCase c = GetParam();
  const groupref::Noise noise(kWindow + 120000);
  const groupref::Chirp chirp{kWindow + 80000.0};
  auto make = [&](double shift) {
    return std::string(c.signal) == "noise" ? sample(noise, kWindow, kStart + shift, 4000)
                                            : sample(chirp, kWindow, kStart + shift, 12000);
  };
  const std::vector<int16_t> reference = make(0), other = make(c.offset);
  KpxGroupAlignment result{};
  ASSERT_EQ(KpxGroup_Align(reference.data(), other.data(), kWindow, &result), KPXGROUP_OK);
  EXPECT_EQ(result.result, KPXGROUP_ALIGN_OK) << KpxGroup_AlignText(result.result);
  if (c.offset == std::round(c.offset)) {
    EXPECT_EQ(std::llround(result.offset), std::llround(c.offset));
    EXPECT_NEAR(result.offset, c.offset, 0.01);
  } else {
    EXPECT_NEAR(result.offset, c.offset, 0.05);
  }
  EXPECT_NEAR(result.drift * 1e6, 0.0, 2.0);
  // The correlation coefficient at the peak, less the part of the window
  // that does not overlap.
  EXPECT_GT(result.peak, 0.95 * (1 - std::fabs(c.offset) / kWindow));
  EXPECT_LE(result.peak, 1.0 + 1e-9);
  EXPECT_LT(result.secondPeak, 0.5);
}

INSTANTIATE_TEST_SUITE_P(NoiseAndChirp, AlignOffsets,
                         ::testing::Values(OffsetCase{"noise", 0}, OffsetCase{"noise", 3},
                                           OffsetCase{"noise", -7}, OffsetCase{"noise", 9000},
                                           OffsetCase{"noise", -12345}, OffsetCase{"noise", 0.25},
                                           OffsetCase{"noise", -3.6}, OffsetCase{"noise", 1000.5},
                                           OffsetCase{"noise", 0.04}, OffsetCase{"chirp", 0},
                                           OffsetCase{"chirp", 5}, OffsetCase{"chirp", -1},
                                           OffsetCase{"chirp", 15000}, OffsetCase{"chirp", -9000},
                                           OffsetCase{"chirp", 0.5}, OffsetCase{"chirp", -0.3},
                                           OffsetCase{"chirp", 77.75}),
                         [](const auto& param) {
                           std::string name = std::string(param.param.signal) + "_" +
                                              std::to_string(static_cast<int64_t>(
                                                  std::llround(param.param.offset * 100)));
                           for (char& ch : name)
                             if (ch == '-') ch = 'm';
                           return name;
                         });

TEST(Align, DriftOfTheBoardsClockIsMeasured) {
  constexpr size_t window = 1 << 17;
  // Noise: a chirp's delay and its clock's error are coupled (a faster
  // clock also shifts the chirp's frequencies), so drift is measured on noise.
  const groupref::Noise noise(window + 20000);
  const std::vector<int16_t> reference = sample(noise, window, 1000, 4000);
  for (double ppm : {0.0, 3.0, -5.0, 10.0}) {
    const std::vector<int16_t> other = sample(noise, window, 1000 + 25, 4000, ppm);
    KpxGroupAlignment result{};
    ASSERT_EQ(KpxGroup_Align(reference.data(), other.data(), window, &result), KPXGROUP_OK);
    EXPECT_EQ(result.result, KPXGROUP_ALIGN_OK) << ppm;
    EXPECT_NEAR(result.drift * 1e6, ppm, 1.0) << ppm;
    // At the window's centre: (n + 1025)(1 + e) - (n + 1000) at n = window / 2.
    const double centre = (window / 2.0 + 1025) * (1 + ppm * 1e-6) - (window / 2.0 + 1000);
    EXPECT_NEAR(result.offset, centre, 0.1) << ppm;
  }
}

TEST(Align, UntrustworthyCorrelationsSaySo) {
  const size_t window = 1 << 15;
  std::vector<int16_t> sine(window + 500), periodicChirp(window + 500);
  const groupref::Chirp chirp{512};
  for (size_t n = 0; n < sine.size(); ++n) {
    sine[n] = static_cast<int16_t>(
        std::lround(8000 * std::sin(2 * groupref::kPi * static_cast<double>(n) / 100.0)));
    periodicChirp[n] =
        static_cast<int16_t>(std::lround(8000 * chirp(static_cast<double>(n % 512))));
  }
  const groupref::Noise noise(window + 200, 1), otherNoise(window + 200, 2);
  const std::vector<int16_t> a = sample(noise, window, 0, 3000);
  const std::vector<int16_t> b = sample(otherNoise, window, 0, 3000);
  const std::vector<int16_t> silent(window, 0);
  struct Case {
    const char* what;
    const int16_t* reference;
    const int16_t* other;
    size_t count;
    int32_t expected;
  } cases[] = {
      {"a sine", sine.data(), sine.data() + 37, window, KPXGROUP_ALIGN_AMBIGUOUS},
      {"a chirp repeated every 512 samples", periodicChirp.data(), periodicChirp.data() + 200,
       window, KPXGROUP_ALIGN_AMBIGUOUS},
      {"unrelated noise", a.data(), b.data(), window, KPXGROUP_ALIGN_WEAK},
      {"a silent board", a.data(), silent.data(), window, KPXGROUP_ALIGN_WEAK},
      {"a window one short", a.data(), a.data(), KPXGROUP_MIN_WINDOW - 1, KPXGROUP_ALIGN_TOO_SHORT},
      {"no window", a.data(), a.data(), 0, KPXGROUP_ALIGN_TOO_SHORT},
  };
  for (const Case& c : cases) {
    KpxGroupAlignment result{};
    ASSERT_EQ(KpxGroup_Align(c.reference, c.other, c.count, &result), KPXGROUP_OK) << c.what;
    EXPECT_EQ(result.result, c.expected)
        << c.what << ": " << KpxGroup_AlignText(result.result) << ", offset " << result.offset
        << ", second peak " << result.secondPeak << ", peak/noise " << result.peakToNoise;
  }
  // The shortest window still aligns.
  KpxGroupAlignment result{};
  ASSERT_EQ(KpxGroup_Align(a.data(), a.data() + 3, KPXGROUP_MIN_WINDOW, &result), KPXGROUP_OK);
  EXPECT_EQ(result.result, KPXGROUP_ALIGN_OK);
  EXPECT_NEAR(result.offset, 3.0, 0.05);
}

// A long window of loud noise: the correlation's sums run to 1e19 before
// normalising, beyond what a float's square holds.
TEST(Align, ALoudMillionSampleWindowAligns) {
  constexpr size_t window = 1 << 20, shift = 777;
  std::mt19937 generator(9);
  std::uniform_int_distribution<int> loud(-32768, 32767);
  std::vector<int16_t> source(window + shift);
  for (int16_t& v : source) v = static_cast<int16_t>(loud(generator));
  KpxGroupAlignment result{};
  ASSERT_EQ(KpxGroup_Align(source.data(), source.data() + shift, window, &result), KPXGROUP_OK);
  EXPECT_EQ(result.result, KPXGROUP_ALIGN_OK) << KpxGroup_AlignText(result.result);
  EXPECT_NEAR(result.offset, static_cast<double>(shift), 0.01);
  EXPECT_NEAR(result.drift, 0.0, 1e-7);
  EXPECT_GT(result.peakToNoise, 100.0);
}

// White noise and the same noise `shift` samples on (|shift| <= 1024), with
// noise of its own; one seed, one reference.
void shiftedNoise(size_t count, int64_t shift, uint32_t seed, std::vector<int16_t>& reference,
                  std::vector<int16_t>& other) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> loud(-3000, 3000), own(-300, 300);
  constexpr size_t margin = 1024;
  std::vector<int16_t> source(count + 2 * margin);
  for (int16_t& v : source) v = static_cast<int16_t>(loud(generator));
  reference.assign(source.begin() + static_cast<std::ptrdiff_t>(margin),
                   source.begin() + static_cast<std::ptrdiff_t>(margin + count));
  other.resize(count);
  for (size_t n = 0; n < count; ++n)
    other[n] = static_cast<int16_t>(
        source[static_cast<size_t>(static_cast<int64_t>(margin + n) + shift)] + own(generator));
}

// Window lengths odd and even, powers of two and not, against the
// correlation summed directly in double: the offset is its highest lag and
// the peak its coefficient there, for offsets of either sign, odd and even.
TEST(Align, EveryWindowLengthMatchesTheDirectCorrelation) {
  const size_t counts[] = {KPXGROUP_MIN_WINDOW, 257, 1000, 1023, 4097, 6001};
  const int64_t shifts[] = {0, 1, -2, 37, -61};
  for (const size_t count : counts) {
    for (const int64_t shift : shifts) {
      SCOPED_TRACE(std::to_string(count) + " samples, shift " + std::to_string(shift));
      std::vector<int16_t> reference, other;
      shiftedNoise(count, shift, static_cast<uint32_t>(count), reference, other);
      auto centred = [count](const std::vector<int16_t>& in) {
        double mean = 0;
        for (int16_t v : in) mean += v;
        mean /= static_cast<double>(count);
        std::vector<double> out(count);
        for (size_t n = 0; n < count; ++n) out[n] = in[n] - mean;
        return out;
      };
      const std::vector<double> x0 = centred(reference), x1 = centred(other);
      double e0 = 0, e1 = 0;
      for (size_t n = 0; n < count; ++n) {
        e0 += x0[n] * x0[n];
        e1 += x1[n] * x1[n];
      }
      // r[tau] = sum other[n] reference[n + tau]
      const int64_t last = static_cast<int64_t>(count) - 1;
      int64_t best = 0;
      double highest = -2;
      for (int64_t tau = -last; tau <= last; ++tau) {
        double sum = 0;
        for (int64_t n = std::max<int64_t>(0, -tau); n <= std::min(last, last - tau); ++n)
          sum += x1[static_cast<size_t>(n)] * x0[static_cast<size_t>(n + tau)];
        const double r = sum / std::sqrt(e0 * e1);
        if (r > highest) {
          highest = r;
          best = tau;
        }
      }
      ASSERT_EQ(best, shift);  // the test's own premise
      KpxGroupAlignment result{};
      ASSERT_EQ(KpxGroup_Align(reference.data(), other.data(), count, &result), KPXGROUP_OK);
      EXPECT_EQ(result.result, KPXGROUP_ALIGN_OK) << KpxGroup_AlignText(result.result);
      EXPECT_EQ(std::llround(result.offset), best);
      EXPECT_NEAR(result.offset, static_cast<double>(best), 0.05);
      EXPECT_NEAR(result.peak, highest, 2e-3);
    }
  }
}

// A measure transforms board 0's window once and aligns every board
// against it with the same buffers: each board's result is the one a fresh
// alignment gives, whatever came before (a weak board, a silent one, a
// window of another length).
TEST(Align, APreparedReferenceServesEveryBoardAlike) {
  kpxgroup::AlignWork work;
  const size_t counts[] = {size_t{1} << 14, 5001, 5001, size_t{1} << 14};
  for (uint32_t turn = 0; turn < 4; ++turn) {
    const size_t count = counts[turn];
    SCOPED_TRACE(count);
    // Another reference each turn (the same length as the last one's in turn 2).
    std::vector<int16_t> reference, near, far, another, unrelated;
    shiftedNoise(count, 3, 11 + turn, reference, near);
    shiftedNoise(count, -900, 11 + turn, reference, far);
    shiftedNoise(count, 0, 100 + turn, another, unrelated);
    const std::vector<int16_t> silent(count, 0);
    kpxgroup::prepareReference(reference.data(), count, work);
    const std::vector<int16_t>* const others[] = {&near, &unrelated, &silent, &far, &near};
    for (const std::vector<int16_t>* other : others) {
      KpxGroupAlignment prepared{}, fresh{};
      kpxgroup::alignPrepared(other->data(), prepared, work);
      ASSERT_EQ(KpxGroup_Align(reference.data(), other->data(), count, &fresh), KPXGROUP_OK);
      EXPECT_EQ(prepared.result, fresh.result);
      EXPECT_EQ(prepared.offset, fresh.offset);
      EXPECT_EQ(prepared.drift, fresh.drift);
      EXPECT_EQ(prepared.peak, fresh.peak);
      EXPECT_EQ(prepared.secondPeak, fresh.secondPeak);
      EXPECT_EQ(prepared.peakToNoise, fresh.peakToNoise);
    }
    KpxGroupAlignment result{};
    kpxgroup::alignPrepared(far.data(), result, work);
    EXPECT_EQ(result.result, KPXGROUP_ALIGN_OK);
    EXPECT_EQ(std::llround(result.offset), -900);
  }
}

TEST(Align, RefusesNullsAndOversizedWindows) {
  int16_t x[4] = {};
  KpxGroupAlignment result{};
  EXPECT_EQ(KpxGroup_Align(x, x, 4, nullptr), KPXGROUP_ERR_NULL);
  EXPECT_EQ(KpxGroup_Align(nullptr, x, 4, &result), KPXGROUP_ERR_NULL);
  EXPECT_EQ(KpxGroup_Align(x, nullptr, 4, &result), KPXGROUP_ERR_NULL);
  EXPECT_EQ(KpxGroup_Align(x, x, uint64_t{KPXGROUP_MAX_WINDOW} + 1, &result), KPXGROUP_ERR_WINDOW);
  EXPECT_EQ(KpxGroup_Align(nullptr, nullptr, 0, &result), KPXGROUP_OK);
  EXPECT_EQ(result.result, KPXGROUP_ALIGN_TOO_SHORT);
}

}  // namespace
