// kpxadac-generate on virtual DAC boards whose "output_file" records what the
// DAC plays: the tone's spectrum, the chirp's sweep, the ramp replayed through
// an ADC board into kpxadac-capture, and underruns from a slow standard input
// against the idle stretches in the recording.
#include <gtest/gtest.h>
#include <kpxadac/analysis.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <regex>
#include <vector>

#include "kpxadac_waveform.h"
#include "program_runner.h"

namespace fs = std::filesystem;
using test_support::readFile;
using test_support::runProgram;
using test_support::scratchFolder;

namespace {

constexpr double kRate = 105e6;

std::string dacRack(const fs::path& output, const std::string& extra = "") {
  return R"({"boards": [{"device": 0, "board_id": "0x86", "output_file": ")" + output.string() +
         "\"" + extra + "}]}";
}

std::vector<int16_t> samplesOf(const fs::path& path) {
  const std::string bytes = readFile(path);
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

TEST(GenerateTest, ToneHasItsFrequencyAmplitudeAndNoBlockEdgeSpur) {
  const fs::path folder = scratchFolder("generate-tone");
  constexpr size_t kFft = 65536, kAverages = 8;
  // Blocks of 9998 samples: the tone's 350-sample period divides none of
  // them, so a repeated or restarted block would leave spurs.
  const auto run =
      runProgram(KPXADAC_GENERATE,
                 "--wave tone --frequency 5.1e6 --amplitude -6 --block 9998 --samples " +
                     std::to_string(kFft * kAverages),
                 folder, {{"KPXADAC_SIM", dacRack(folder / "played.raw")}});
  ASSERT_EQ(run.status, 0) << run.output;
  const auto samples = samplesOf(folder / "played.raw");
  ASSERT_EQ(samples.size(), kFft * kAverages);

  using namespace kpx::analysis;
  SpectrumAverager averager(kFft, Window::kBlackmanHarris4);
  for (size_t i = 0; i < kAverages; ++i) averager.add(samples.data() + i * kFft);
  const Measurements m = measure(averager.powerLinear(), kFft, Window::kBlackmanHarris4, kRate);
  EXPECT_NEAR(m.fundamentalHz, 5.1e6, kRate / kFft);
  // The analysis counts full scale as 32768, the generator as 32767.
  const double expected = 20 * std::log10(32767 * std::pow(10.0, -6.0 / 20) / 32768);
  EXPECT_NEAR(m.fundamentalDbfs, expected, 0.05);
  EXPECT_GE(m.sfdrDbc, 90.0);
}

TEST(GenerateTest, ChirpFollowsItsSweepAndTurnsWithoutAPhaseJump) {
  const fs::path folder = scratchFolder("generate-chirp");
  constexpr double kStart = 2e6, kStop = 20e6, kSweep = 1e-3;
  const auto run = runProgram(KPXADAC_GENERATE,
                              "--wave chirp --start 2e6 --stop 20e6 --sweep-time 1e-3 "
                              "--amplitude -3 --block 10002 --samples 262500",
                              folder, {{"KPXADAC_SIM", dacRack(folder / "played.raw")}});
  ASSERT_EQ(run.status, 0) << run.output;
  const auto x = samplesOf(folder / "played.raw");
  ASSERT_EQ(x.size(), 262500u);  // two and a half sweeps

  // The instantaneous frequency from 16 cycles between rising zero
  // crossings, against the sweep at the middle of them (where a linear
  // sweep's mean frequency is).
  const double sweepSamples = kSweep * kRate;
  std::vector<double> crossings;
  for (size_t k = 1; k < x.size(); ++k)
    if (x[k - 1] < 0 && x[k] >= 0)
      crossings.push_back(static_cast<double>(k - 1) + x[k - 1] / double(x[k - 1] - x[k]));
  size_t checked = 0;
  for (size_t i = 16; i < crossings.size(); ++i) {
    const double first = crossings[i - 16], last = crossings[i];
    // Spans across a turn hold the end of one sweep and the start of the
    // next: the phase test below covers them.
    if (std::floor(first / sweepSamples) != std::floor(last / sweepSamples)) continue;
    const double middle = (first + last) / 2;
    const double expected =
        kStart + (kStop - kStart) * std::fmod(middle, sweepSamples) / sweepSamples;
    const double measured = 16 * kRate / (last - first);
    ASSERT_NEAR(measured, expected, 0.001 * expected) << "at sample " << middle;
    ++checked;
  }
  EXPECT_GT(checked, 4000u);

  // Phase continuity at each turn: the samples around it follow one sine
  // whose frequency drops from the stop to the start, so no step between
  // consecutive samples exceeds what the stop frequency allows.
  const double amplitude = 32767 * std::pow(10.0, -3.0 / 20);
  const double largestStep = amplitude * 2 * std::numbers::pi * kStop / kRate + 2;
  for (size_t turn : {105000u, 210000u})
    for (size_t k = turn - 50; k < turn + 50; ++k)
      ASSERT_LE(std::abs(x[k + 1] - x[k]), largestStep) << "at sample " << k;
}

TEST(GenerateTest, RampPlayedAndReplayedThroughAnAdcBoardComesBackExactly) {
  const fs::path folder = scratchFolder("generate-chain");
  const fs::path played = folder / "played.raw";
  constexpr size_t kSamples = 300000;
  auto run = runProgram(KPXADAC_GENERATE, "--wave ramp --samples " + std::to_string(kSamples),
                        folder, {{"KPXADAC_SIM", dacRack(played)}});
  ASSERT_EQ(run.status, 0) << run.output;

  // An ADC board replays the recording, without loop: zeros after its end.
  const std::string adc = R"({"boards": [{"device": 0, "signal": {"type": "file", "path": ")" +
                          played.string() + R"("}}]})";
  run = runProgram(KPXADAC_CAPTURE,
                   "--samples " + std::to_string(kSamples + 5000) + " -o captured.raw", folder,
                   {{"KPXADAC_SIM", adc}});
  ASSERT_EQ(run.status, 0) << run.output;
  const auto captured = samplesOf(folder / "captured.raw");
  ASSERT_EQ(captured.size(), kSamples + 5000);
  for (size_t k = 0; k < kSamples; ++k)
    ASSERT_EQ(static_cast<uint16_t>(captured[k]), k % 65536) << "sample " << k;
  for (size_t k = kSamples; k < captured.size(); ++k) ASSERT_EQ(captured[k], 0) << "sample " << k;
}

TEST(GenerateTest, UnderrunsFromASlowInputMatchTheIdleStretchesOfTheRecording) {
  const fs::path folder = scratchFolder("generate-underruns");
  const fs::path played = folder / "played.raw";
  // A real-time DAC at 1 MHz with a 0.1 s FIFO, fed a ramp in bursts of
  // 20000 samples (20 ms of signal) with 0.2 s pauses: the board runs dry in
  // each pause.
  const std::string rack =
      dacRack(played, R"(, "realtime": true, "synthesizer_rate_hz": 1e6, "fifo_depth": 100000)");
  const std::string feeder =
      "/usr/bin/python3 -c 'import sys, time\n"
      "for burst in range(4):\n"
      "    sys.stdout.buffer.write(b\"\".join(((burst * 20000 + k) % 65536).to_bytes(2, \"little\")"
      " for k in range(20000)))\n"
      "    sys.stdout.flush()\n"
      "    time.sleep(0.2)\n'";
  const std::string command = "cd '" + folder.string() + "' && " + feeder + " | KPXADAC_SIM='" +
                              rack + "' '" + KPXADAC_GENERATE +
                              "' --wave file --input - --sample-rate 1e6 --block 4096"
                              " > output.txt 2> errors.txt";
  const int raw = std::system(command.c_str());
  const std::string errors = readFile(folder / "errors.txt");
  ASSERT_TRUE(WIFEXITED(raw)) << errors;
  EXPECT_EQ(WEXITSTATUS(raw), 3) << errors;  // the board missed samples

  // Each reported underrun is an idle stretch of zeros at its place; without
  // them the recording is the ramp, unbroken.
  const auto samples = samplesOf(played);
  const std::regex line(R"(underrun: (\d+) samples missed at sample (\d+))");
  std::vector<bool> idle(samples.size(), false);
  uint64_t missed = 0, stretches = 0;
  for (std::sregex_iterator it(errors.begin(), errors.end(), line), end; it != end; ++it) {
    const uint64_t count = std::stoull((*it)[1]), at = std::stoull((*it)[2]);
    ASSERT_LE(at + count, samples.size()) << errors;
    for (uint64_t k = at; k < at + count; ++k) {
      ASSERT_EQ(samples[k], 0) << "sample " << k << " of the stretch at " << at;
      idle[k] = true;
    }
    missed += count;
    ++stretches;
  }
  // How many pauses the board meets depends on how fast this machine starts
  // the programs (bursts waiting in the pipe join up); that it meets one
  // does not: 80000 samples are 80 ms of signal fed over at least 0.6 s.
  EXPECT_GE(stretches, 1u) << errors;
  EXPECT_NE(errors.find("underruns: " + std::to_string(stretches) + " (" + std::to_string(missed) +
                        " samples missed)"),
            std::string::npos)
      << errors;
  uint64_t next = 0;
  for (size_t k = 0; k < samples.size(); ++k) {
    if (idle[k]) continue;
    ASSERT_EQ(static_cast<uint16_t>(samples[k]), next % 65536) << "sample " << k;
    ++next;
  }
  EXPECT_EQ(next, 80000u);
}

TEST(GenerateTest, SettingsBeyondFullScaleOrAnAdcBoardPlayNothing) {
  const fs::path folder = scratchFolder("generate-refusals");
  const fs::path played = folder / "played.raw";
  for (const std::string arguments :
       {"--amplitude 0.5", "--wave multitone --frequency 1e6,60e6", "--type adc", "--wave file",
        "--wave pulse --width 100 --period 50"}) {
    const auto run = runProgram(KPXADAC_GENERATE, arguments + " --samples 1000", folder,
                                {{"KPXADAC_SIM", dacRack(played)}});
    EXPECT_EQ(run.status, 1) << arguments << ": " << run.output;
    EXPECT_NE(run.output.find("kpxadac-generate: "), std::string::npos) << run.output;
  }
  EXPECT_EQ(fs::file_size(played), 0u);
}

// The frequency limit is the library's: half the rate is played, above it
// the library's refusal is reported with the limit it gives.
TEST(GenerateTest, FrequenciesStopAtTheLibrarysLimit) {
  const fs::path folder = scratchFolder("generate-frequency-limit");
  const fs::path played = folder / "played.raw";
  char limit[32];
  std::snprintf(limit, sizeof limit, "%g", KpxWave_MaxFrequencyHz(1e6));
  const struct {
    std::string arguments;
    int status;
  } cases[] = {
      {"--frequency 5e5", 0},         {"--wave square --frequency 5e5", 0},
      {"--frequency 6e5", 1},         {"--wave multitone --frequency 1e3,7e5", 1},
      {"--wave chirp --stop 6e5", 1},
  };
  for (const auto& c : cases) {
    const auto run = runProgram(KPXADAC_GENERATE, c.arguments + " --sample-rate 1e6 --samples 1000",
                                folder, {{"KPXADAC_SIM", dacRack(played)}});
    EXPECT_EQ(run.status, c.status) << c.arguments << ": " << run.output;
    if (c.status == 0) continue;
    EXPECT_NE(run.output.find(KpxWave_ResultText(KPXWAVE_ERR_FREQUENCY)), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(std::string(" to ") + limit + " Hz)"), std::string::npos)
        << run.output;
  }
}

}  // namespace
