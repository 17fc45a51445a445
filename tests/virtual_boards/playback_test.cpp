// What the virtual boards play and replay: a DAC board's output file, an ADC
// board's recording ("type": "file"), and the generator's waveforms as ADC
// signals.
#include <cstring>
#include <filesystem>
#include <fstream>

#include "kpxadac_waveform.h"
#include "program_runner.h"
#include "rack_test.h"

namespace kpx::sim::test {
namespace {

namespace fs = std::filesystem;

class PlaybackTest : public RackTest {
 protected:
  static void writeSamples(const fs::path& path, const std::vector<uint16_t>& samples) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(samples.data()),
              static_cast<std::streamsize>(samples.size() * 2));
  }
  static std::string fileRack(const fs::path& path, bool loop) {
    return R"({"boards":[{"device":0,"signal":{"type":"file","path":")" + path.generic_string() +
           R"(","loop":)" + (loop ? "true" : "false") + "}}]}";
  }
};

TEST_F(PlaybackTest, UnpacedDacBoardAppendsWhatItAcceptsToItsOutputFile) {
  const fs::path folder = test_support::scratchFolder("playback-output");
  const fs::path played = folder / "played.raw";
  const std::string rack = R"({"boards":[{"device":0,"board_id":"0x87","output_file":")" +
                           played.generic_string() + "\"}]}";
  std::vector<uint8_t> first{1, 2, 3, 4, 5, 6}, second{7, 8};
  for (int round = 0; round < 2; ++round) {  // a new rack appends
    useRack(rack);
    const Handle h = open(0);
    uint32_t moved = 0;
    ASSERT_EQ(writeDevice(h, first.data(), 6, &moved), 0u);
    ASSERT_EQ(writeDevice(h, second.data(), 2, &moved), 0u);
  }
  EXPECT_EQ(test_support::readFile(played),
            std::string("\1\2\3\4\5\6\7\x08\1\2\3\4\5\6\7\x08", 16));
  // Only DAC boards play.
  EXPECT_NE(configure(R"({"boards":[{"output_file":")" + played.generic_string() + "\"}]}"), "");
}

TEST_F(PlaybackTest, RecordingPlaysFromItsStartAtEachResetThenLoopsOrGivesZeros) {
  const fs::path folder = test_support::scratchFolder("playback-file");
  std::vector<uint16_t> recording(1001);
  for (size_t k = 0; k < recording.size(); ++k) recording[k] = static_cast<uint16_t>(7 * k + 3);
  writeSamples(folder / "take.raw", recording);

  for (bool loop : {false, true}) {
    SCOPED_TRACE(loop ? "loop" : "once");
    useRack(fileRack(folder / "take.raw", loop));
    const Handle h = open(0);
    startAdc(h);
    std::vector<uint8_t> data;
    ASSERT_EQ(readBytes(h, data, 1500), 0u);  // 750 samples
    ASSERT_EQ(readBytes(h, data, 1000), 0u);  // samples 750 to 1249: across the end
    const auto samples = samplesOf(data);
    for (size_t i = 0; i < samples.size(); ++i) {
      const size_t k = 750 + i;
      const uint16_t expected = k < 1001 ? recording[k] : (loop ? recording[k - 1001] : 0);
      ASSERT_EQ(samples[i], expected) << "sample " << k;
    }
    ASSERT_EQ(request(h, IOCTL_TALVO_RESET, {0, 0}), 0u);
    ASSERT_EQ(readBytes(h, data, 4), 0u);
    EXPECT_EQ(samplesOf(data), std::vector<uint16_t>(recording.begin(), recording.begin() + 2));
  }
}

TEST_F(PlaybackTest, SigmfRecordingIsReadAfterItsMetadataIsChecked) {
  const fs::path folder = test_support::scratchFolder("playback-sigmf");
  writeSamples(folder / "take.sigmf-data", {10, 20, 30, 40});
  const auto meta = [&](const std::string& datatype) {
    std::ofstream(folder / "take.sigmf-meta")
        << R"({"global": {"core:datatype": ")" << datatype
        << R"(", "core:version": "1.0.0"}, "captures": [], "annotations": []})";
  };
  meta("ri16_le");
  for (const std::string name : {"take.sigmf-meta", "take.sigmf-data", "take"}) {
    useRack(fileRack(folder / name, true));
    const Handle h = open(0);
    startAdc(h);
    std::vector<uint8_t> data;
    ASSERT_EQ(readBytes(h, data, 12), 0u);
    EXPECT_EQ(samplesOf(data), (std::vector<uint16_t>{10, 20, 30, 40, 10, 20})) << name;
  }
  meta("cf32_le");
  EXPECT_NE(configure(fileRack(folder / "take.sigmf-meta", true)).find("ri16_le"),
            std::string::npos);
  EXPECT_NE(configure(fileRack(folder / "missing.raw", false)), "");
}

TEST_F(PlaybackTest, EveryWaveformIsAnAdcSignalWithTheGeneratorsSamples) {
  // The chirp as a board's signal and straight from the generator, read in
  // pieces that do not follow one another.
  useRack(R"({"boards":[{"device":0,"synthesizer_rate_hz":1e6,"signal":{"type":"chirp",
             "start_hz":1e4,"stop_hz":3e5,"sweep_time_s":0.01,"amplitude_dbfs":-3,
             "noise_lsb_rms":1.5,"seed":9}}]})");
  KpxWaveSettings settings;
  KpxWave_DefaultSettings(&settings, KPXWAVE_CHIRP, 1e6);
  settings.startHz = 1e4;
  settings.stopHz = 3e5;
  settings.sweepTimeS = 0.01;
  settings.amplitudeDbfs = -3;
  settings.noiseLsbRms = 1.5;
  settings.seed = 9;
  KpxWave* wave = nullptr;
  ASSERT_EQ(KpxWave_Create(&settings, &wave), KPXWAVE_OK);
  std::vector<int16_t> expected(30000);
  KpxWave_Generate(wave, expected.data(), expected.size());
  KpxWave_Destroy(wave);
  for (uint64_t k : {20000, 5, 29999, 12345, 12346})
    ASSERT_EQ(signalSample(0, k), expected[k]) << "sample " << k;

  for (const char* signal :
       {R"({"type":"multitone","frequencies_hz":[1e6,3e6],"amplitude_dbfs":-2})",
        R"({"type":"square","frequency_hz":1e6,"duty":0.25})",
        R"({"type":"pulse","width":10,"period":[20,50],"baseline":-5})",
        R"({"type":"noise","amplitude_dbfs":-30,"seed":3})",
        R"({"type":"dc","amplitude_dbfs":-6})"})
    EXPECT_EQ(configure(std::string(R"({"boards":[{"signal":)") + signal + "}]}"), "") << signal;
  // The generator's refusals are the configuration's.
  for (const char* signal :
       {R"({"type":"chirp","stop_hz":1e9})", R"({"type":"multitone"})",
        R"({"type":"pulse","width":10,"period":5})", R"({"type":"square","harmonics_dbc":{}})",
        R"({"type":"tone","harmonics_dbc":{"2":0,"3":0}})"})
    EXPECT_NE(configure(std::string(R"({"boards":[{"signal":)") + signal + "}]}"), "") << signal;
}

}  // namespace
}  // namespace kpx::sim::test
