// The receive demo run as a program against configured virtual boards.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <numbers>
#include <vector>

#include "system_text.h"
#include "program_runner.h"

using test_support::runProgram;
using test_support::scratchFolder;

namespace {

const std::string kBanner =
    "=====================================================\n"
    "   KPX-ADAC Talvo RX Demo, version: 1.2              \n"
    "=====================================================\n\n";

const std::string kReportZero =
    "Talvo ERRORs REPORT:\n"
    "--------------------\n"
    "RX OVERRUN  COUNT = 0\n"
    "TX UNDERRUN COUNT = 0\n"
    "--------------------\n";

const std::string kEnding = "\n\nProgram terminated ...press Enter to exit\n";

constexpr size_t kCaptureBytes = 81920;

struct DemoRun {
  test_support::ProgramRun run;
  std::filesystem::path folder;
  bool fileExists() const { return std::filesystem::exists(folder / "talvo_rx_data.bin"); }
  std::string file() const { return test_support::readFile(folder / "talvo_rx_data.bin"); }
};

DemoRun runDemo(const std::string& name, const std::optional<std::string>& rack,
                const std::optional<std::string>& trace = std::nullopt) {
  DemoRun demo;
  demo.folder = scratchFolder("demo-" + name);
  demo.run = runProgram(TALVO_RX_DEMO, "", demo.folder,
                        {{"KPXADAC_SIM", rack}, {"KPXADAC_TRACE", trace}});
  return demo;
}

std::vector<int16_t> samplesOf(const std::string& bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// Power of `samples` at `frequency` (a fraction of the sample rate).
double powerAt(const std::vector<int16_t>& samples, double frequency) {
  double re = 0, im = 0;
  for (size_t k = 0; k < samples.size(); ++k) {
    double phase = 2 * std::numbers::pi * frequency * static_cast<double>(k);
    re += samples[k] * std::cos(phase);
    im -= samples[k] * std::sin(phase);
  }
  return re * re + im * im;
}

TEST(ReceiveDemo, SynthesizerBoardPrintsTheTranscriptAndCapturesTheTone) {
  DemoRun demo = runDemo("default", R"({"boards": [{"device": 0, "board_id": "0x8A"}]})");
  EXPECT_EQ(demo.run.status, 0);
  EXPECT_EQ(demo.run.output, kBanner +
                                 "\nProgramming clock of ADC to 105 MHz\n"
                                 "\nSetting ADC Run State\n"
                                 "Settings KPX Custom regs (writing 412977624 into cReg0)...\n"
                                 "\nUploading data from Talvo\n" +
                                 kReportZero + kEnding);
  std::string data = demo.file();
  ASSERT_EQ(data.size(), kCaptureBytes);
  // The default board plays a 10 MHz tone sampled at 105 MHz.
  auto samples = samplesOf(data);
  double tone = powerAt(samples, 10.0 / 105.0);
  for (double other : {1.0, 5.0, 9.0, 11.0, 20.0, 40.0})
    EXPECT_GT(tone, 1000 * powerAt(samples, other / 105.0)) << other << " MHz";
}

TEST(ReceiveDemo, NoBoardEndsEarlyWithoutCreatingTheFile) {
  DemoRun demo = runDemo("none", "none");
  EXPECT_EQ(demo.run.status, -1);
  EXPECT_EQ(demo.run.output, kBanner + "Board KPX-ADC [0] not found! \n");
  EXPECT_FALSE(demo.fileExists());

  // Only a DAC board is no ADC board either.
  demo = runDemo("dac-only", R"({"boards": [{"device": 0, "board_id": "0x86"}]})");
  EXPECT_EQ(demo.run.status, -1);
  EXPECT_FALSE(demo.fileExists());
}

TEST(ReceiveDemo, FixedClockBoardTakesTheFixedClockBranch) {
  DemoRun demo = runDemo("fixed", R"({"boards": [{"device": 0, "fixed_clock": 1}]})");
  EXPECT_EQ(demo.run.status, 0);
  EXPECT_NE(demo.run.output.find("\nUsing ADC V4 ONBOARD FIXED clock...\n\nSetting ADC Run State\n"),
            std::string::npos);
  EXPECT_EQ(demo.run.output.find("105 MHz"), std::string::npos);

  // A failing clock query counts as a fixed clock.
  demo = runDemo("fixed-query-fails",
                 R"({"boards": [{"device": 0, "faults": [{"op": "IOCTL_GET_FIXED_CLOCK"}]}]})");
  EXPECT_NE(demo.run.output.find("ONBOARD FIXED clock"), std::string::npos);
}

TEST(ReceiveDemo, FailingCounterRequestIsReportedAndTheFileStillWritten) {
  DemoRun demo = runDemo(
      "counters", R"({"boards": [{"device": 0, "faults": [{"op": "IOCTL_GET_TALVO_ERROR", "error": 31}]}]})");
  EXPECT_EQ(demo.run.status, 0);
  EXPECT_NE(demo.run.output.find("\nUploading data from Talvo\n"
                                 "IOCTL_GET_TALVO_ERROR failed:  31\n"
                                 "GET_TALVO_ERROR IOCTL ERROR!!!\n" +
                                 kEnding),
            std::string::npos);
  EXPECT_EQ(demo.file().size(), kCaptureBytes);
}

TEST(ReceiveDemo, FailingReadLeavesAFileOfZeros) {
  DemoRun demo =
      runDemo("read-fails", R"({"boards": [{"device": 0, "faults": [{"op": "read", "error": 31}]}]})");
  EXPECT_EQ(demo.run.status, 0);
  EXPECT_NE(demo.run.output.find("\nUploading data from Talvo\n"
                                 "[TalvoReadBuffer] ERROR! TalvoReadFile error! ErrNo: 31\n" +
                                 systemText(31) + "\n" +
                                 kReportZero),
            std::string::npos);
  EXPECT_EQ(demo.file(), std::string(kCaptureBytes, '\0'));
}

TEST(ReceiveDemo, RampBoardFileHoldsTheRampFromZero) {
  DemoRun demo = runDemo("ramp", R"({"boards": [{"device": 0, "signal": {"type": "ramp"}}]})");
  EXPECT_EQ(demo.run.status, 0);
  auto samples = samplesOf(demo.file());
  ASSERT_EQ(samples.size(), kCaptureBytes / 2);
  for (size_t k = 0; k < samples.size(); ++k)
    ASSERT_EQ(static_cast<uint16_t>(samples[k]), static_cast<uint16_t>(k)) << "sample " << k;
}

TEST(ReceiveDemo, TraceRecordsEveryRequestWithItsLayout) {
  auto traceFile = scratchFolder("trace") / "trace.jsonl";
  DemoRun demo =
      runDemo("trace", R"({"boards": [{"device": 0}]})", traceFile.string());
  ASSERT_EQ(demo.run.status, 0);
  std::ifstream in(traceFile);
  std::string line;
  std::vector<nlohmann::json> entries;
  while (std::getline(in, line)) entries.push_back(nlohmann::json::parse(line));
  // Device 0 opens and is asked for its ID; devices 1 to 64 do not exist.
  ASSERT_GT(entries.size(), 66u);
  EXPECT_EQ(entries[0]["op"], "open");
  EXPECT_EQ(entries[0]["device"], 0);
  EXPECT_EQ(entries[0]["ok"], true);
  EXPECT_EQ(entries[0]["access"], "0xC0000000");
  EXPECT_EQ(entries[0]["share"], 3);
  EXPECT_EQ(entries[0]["disposition"], 3);
  const auto& id = entries[1];
  EXPECT_EQ(id["op"], "control");
  EXPECT_EQ(id["code"], "0x80002004");
  EXPECT_EQ(id["name"], "IOCTL_GET_BOARD_ID");
  EXPECT_EQ(id["in_len"], 0);
  EXPECT_EQ(id["out_len"], 6);
  EXPECT_EQ(id["out"].get<std::string>().substr(10), "8a");
  for (int n = 1; n <= 64; ++n) {
    const auto& open = entries[1 + n];
    EXPECT_EQ(open["op"], "open");
    EXPECT_EQ(open["device"], n);
    EXPECT_EQ(open["ok"], false);
    EXPECT_EQ(open["error"], 2);
  }

  bool sawRead = false;
  for (const auto& e : entries) {
    if (e["op"] == "read") {
      sawRead = true;
      EXPECT_EQ(e["len"], 81920);
      EXPECT_EQ(e["returned"], 81920);
    }
    if (e["op"] == "control" && e["name"] == "IOCTL_WRITE_SET_HSREG" &&
        e["in"].get<std::string>().substr(0, 8) == "70000000") {
      EXPECT_EQ(e["in"], "70000000d8899d18");
    }
  }
  EXPECT_TRUE(sawRead);
  EXPECT_EQ(entries.back()["op"], "close");
}

#ifndef _WIN32
TEST(ReceiveDemo, FileThatCannotBeWrittenIsAFailure) {
  const auto folder = scratchFolder("demo-full");
  std::filesystem::create_symlink("/dev/full", folder / "talvo_rx_data.bin");
  const auto run = runProgram(TALVO_RX_DEMO, "", folder, {{"KPXADAC_SIM", "default"}});
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.output.find("ERROR WRITING RX FILE!!!"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("Program terminated"), std::string::npos) << run.output;
}
#endif

}  // namespace
