// kpxadac-generate on a transmit group (--index N,M,...): every board plays
// the waveform with its own --phase, --delay holds boards back by whole
// samples, and the per-board lists are refused when they do not fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "kpxadac_waveform.h"
#include "program_runner.h"

namespace fs = std::filesystem;
using test_support::readFile;
using test_support::runProgram;
using test_support::scratchFolder;

namespace {

// Three DAC boards, each recording what it plays.
std::string dacGroupRack(const fs::path& folder) {
  std::string boards;
  for (int device = 0; device < 3; ++device)
    boards += std::string(device ? ", " : "") + R"({"device": )" + std::to_string(device) +
              R"(, "board_id": "0x86", "output_file": ")" +
              (folder / ("dac" + std::to_string(device) + ".raw")).string() + "\"}";
  return R"({"boards": [)" + boards + "]}";
}

std::vector<int16_t> samplesOf(const fs::path& path) {
  const std::string bytes = readFile(path);
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// What the library's generator gives for a ramp of `count` samples.
std::vector<int16_t> ramp(size_t count) {
  KpxWaveSettings settings;
  KpxWave_DefaultSettings(&settings, KPXWAVE_RAMP, 1e6);
  KpxWave* wave = nullptr;
  EXPECT_EQ(KpxWave_Create(&settings, &wave), KPXWAVE_OK);
  std::vector<int16_t> samples(count);
  KpxWave_Generate(wave, samples.data(), count);
  KpxWave_Destroy(wave);
  return samples;
}

TEST(GenerateGroup, DelaysHoldBoardsBackByWholeSamples) {
  const fs::path folder = scratchFolder("generate-group-delay");
  const auto run =
      runProgram(KPXADAC_GENERATE, "--index 0,1,2 --wave ramp --delay 7,0,300 --samples 20000",
                 folder, {{"KPXADAC_SIM", dacGroupRack(folder)}});
  ASSERT_EQ(run.status, 0) << run.output;
  const std::vector<int16_t> expected = ramp(20000);
  const int delays[] = {7, 0, 300};
  for (int b = 0; b < 3; ++b) {
    const auto played = samplesOf(folder / ("dac" + std::to_string(b) + ".raw"));
    ASSERT_GE(played.size(), 20000u + delays[b]) << b;
    // Zeros first, as many as the board is held back, then the ramp.
    EXPECT_TRUE(std::all_of(played.begin(), played.begin() + delays[b], [](int16_t v) {
      return v == 0;
    })) << b;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin() + delays[b])) << b;
  }
}

TEST(GenerateGroup, EachBoardPlaysItsOwnPhase) {
  const fs::path folder = scratchFolder("generate-group-phase");
  const auto run = runProgram(KPXADAC_GENERATE,
                              "--index 0,2 --frequency 1e6 --amplitude -6 --phase 0,90 "
                              "--sample-rate 1e8 --samples 10000",
                              folder, {{"KPXADAC_SIM", dacGroupRack(folder)}});
  ASSERT_EQ(run.status, 0) << run.output;
  const auto first = samplesOf(folder / "dac0.raw");
  const auto second = samplesOf(folder / "dac2.raw");
  ASSERT_GE(first.size(), 10000u);
  ASSERT_GE(second.size(), 10000u);
  EXPECT_EQ(fs::file_size(folder / "dac1.raw"), 0u) << "board 1 is not in the group";
  // A sine and its quarter-turn later: sample 0 is 0 and the peak.
  const double peak = 32767 * std::pow(10.0, -6 / 20.0);
  EXPECT_NEAR(first[0], 0, 1);
  EXPECT_NEAR(second[0], peak, 2);
  // 100 samples a period: board 2 leads board 0 by 25.
  for (size_t n = 0; n + 25 < 10000; n += 997) EXPECT_NEAR(first[n + 25], second[n], 2) << n;
}

TEST(GenerateGroup, ListsThatDoNotFitTheBoardsAreRefused) {
  const fs::path folder = scratchFolder("generate-group-refusals");
  const struct {
    const char* arguments;
    const char* message;
  } cases[] = {
      {"--index 0,1 --phase 0,90,180", "3 values for 2 boards"},
      {"--phase 0,90", "2 values for 1 boards"},
      {"--delay 5", "--delay delays boards of a group"},
      {"--index 0,1 --delay 0,-3", "-3 is out of range"},
      {"--index 0,1 --delay 0,2.5", "2.5 is not a whole number"},
      {"--index 0,1 --phase 0,nan", "nan is not a number"},
      {"--index 0,1 --wave file --input -", "standard input is read once"},
      {"--index 0,0", "a board is named twice"},
  };
  for (const auto& c : cases) {
    const auto run = runProgram(KPXADAC_GENERATE, std::string(c.arguments) + " --samples 1000",
                                folder, {{"KPXADAC_SIM", dacGroupRack(folder)}});
    EXPECT_EQ(run.status, 1) << c.arguments << ": " << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << c.arguments << ": " << run.output;
  }
  for (int b = 0; b < 3; ++b)
    EXPECT_EQ(fs::file_size(folder / ("dac" + std::to_string(b) + ".raw")), 0u);
}

}  // namespace
