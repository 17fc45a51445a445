// The tools' shared range checks (tools/common/number_options.h) on their
// own: what they take, the plain text they hand on to CLI11, and what they
// say about what they refuse.
#include "number_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board_options.h"

namespace {

using kpx::tools::PositiveReal;
using kpx::tools::RealRange;
using kpx::tools::WholeRange;

struct Case {
  std::string given;
  std::string handedOn;  // the text CLI11 gets, when taken
  std::string refusal;   // words of the message, when refused
};

void check(CLI::Validator validator, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    std::string text = c.given;
    const std::string message = validator(text);
    if (c.refusal.empty()) {
      EXPECT_EQ(message, "");
      EXPECT_EQ(text, c.handedOn);
    } else {
      EXPECT_NE(message.find(c.refusal), std::string::npos) << message;
      EXPECT_LT(message.size(), 120u) << message;
    }
  }
}

TEST(NumberOptions, RealsAreFiniteAndWithinTheirBounds) {
  check(RealRange(1, 2e9), {{"105e6", "105000000", ""},
                            {"+1", "1", ""},
                            {"2e9", "2000000000", ""},
                            {"0.5", "", "0.5 is out of range: give a number from 1 to 2e+09"},
                            {"nan", "", "nan is not a number"},
                            {"-nan", "", "not a number"},
                            {"NaN", "", "not a number"},
                            {"inf", "", "inf is not finite"},
                            {"-Infinity", "", "not finite"},
                            {"1e400", "", "1e400 is out of range"},
                            {"2e9x", "", "not a number"},
                            {"0x10", "", "not a number"},
                            {" 5", "", "not a number"},
                            {"", "", "not a number"}});
  check(PositiveReal(1.79769e308), {{"1e-300", "1e-300", ""},
                                    {"0", "", "above 0, at most 1.79769e+308"},
                                    {"-0", "", "out of range"}});
  check(RealRange(-300, 0), {{"-0", "-0", ""}, {"-300", "-300", ""}, {"1e-9", "", "out of range"}});
}

TEST(NumberOptions, WholeNumbersNeverWrapAndAreReadInDecimal) {
  check(WholeRange<uint64_t>(0, 255), {{"010", "10", ""},
                                       {"+7", "7", ""},
                                       {"2e2", "200", ""},
                                       {"-0", "0", ""},
                                       {"-1", "", "-1 is out of range: give a whole number from 0"},
                                       {"256", "", "out of range"},
                                       {"0.5", "", "not a whole number"},
                                       {"1e-3", "", "not a whole number"},
                                       {"nan", "", "not a number"},
                                       {"inf", "", "not finite"},
                                       {"0x10", "", "not a number"},
                                       {"99999999999999999999", "", "out of range"}});
  check(WholeRange<uint64_t>(0, UINT64_MAX), {{"18446744073709551615", "18446744073709551615", ""},
                                              {"18446744073709551616", "", "out of range"},
                                              {"1.8446744073709552e19", "", "out of range"},
                                              {"-1", "", "out of range"}});
  check(WholeRange<int64_t>(-32768, 32767), {{"-32768", "-32768", ""},
                                             {"-3.2768e4", "-32768", ""},
                                             {"-32769", "", "out of range"},
                                             {"-9223372036854775809", "", "out of range"}});
}

TEST(NumberOptions, ADurationCountsSamplesOrSaysItCannot) {
  using kpx::tools::samplesInDuration;
  EXPECT_EQ(samplesInDuration(1, 105e6), 105000000u);
  EXPECT_EQ(samplesInDuration(1e-12, 105e6), 1u);  // at least one
  EXPECT_EQ(samplesInDuration(0.25, 1e6), 250000u);
  EXPECT_EQ(samplesInDuration(kpx::tools::kMaxDurationSeconds, kpx::tools::kMaxSampleRateHz),
            uint64_t{1} << 61);
  EXPECT_EQ(samplesInDuration(2e11, 1e9), 0u);
  EXPECT_EQ(samplesInDuration(1e300, 105e6), 0u);
  EXPECT_EQ(samplesInDuration(NAN, 105e6), 0u);
  EXPECT_EQ(samplesInDuration(-1, 105e6), 0u);
  EXPECT_EQ(samplesInDuration(1, 0), 0u);
}

}  // namespace
