// kpxadac-capture run as a program against configured virtual boards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>
#include <vector>

#include "bit_file.h"
#include "program_runner.h"
#include "virtual_boards/virtual_rack.h"

namespace fs = std::filesystem;
using nlohmann::json;
using test_support::readFile;
using test_support::runProgram;
using test_support::scratchFolder;

namespace {

const std::string kRamp = R"({"boards": [{"device": 0, "signal": {"type": "ramp"}}]})";
const std::string kFixedClockRamp =
    R"({"boards": [{"device": 0, "fixed_clock": 1, "signal": {"type": "ramp"}}]})";

// A ramp board with extra board keys, e.g. R"("faults": [...])".
std::string rampWith(const std::string& keys) {
  return R"({"boards": [{"device": 0, "signal": {"type": "ramp"}, )" + keys + "}]}";
}

struct Capture {
  test_support::ProgramRun run;
  fs::path folder;
  std::string file(const std::string& name) const { return readFile(folder / name); }
};

Capture capture(const std::string& name, const std::optional<std::string>& rack,
                const std::string& arguments) {
  Capture c;
  c.folder = scratchFolder("capture-" + name);
  c.run = runProgram(KPXADAC_CAPTURE, arguments, c.folder, {{"KPXADAC_SIM", rack}});
  return c;
}

std::vector<uint16_t> samplesOf(const std::string& bytes) {
  std::vector<uint16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// Whether samples [begin, end) continue a ramp whose sample `begin` has
// board index `boardIndex` (a ramp's sample k is k mod 65536).
testing::AssertionResult continuesRamp(const std::vector<uint16_t>& samples, size_t begin,
                                       size_t end, uint64_t boardIndex) {
  for (size_t k = begin; k < end; ++k) {
    const auto expected = static_cast<uint16_t>(boardIndex + (k - begin));
    if (samples[k] != expected)
      return testing::AssertionFailure()
             << "sample " << k << " is " << samples[k] << ", the ramp expects " << expected;
  }
  return testing::AssertionSuccess();
}

std::string sha512Hex(const std::string& bytes) {
  unsigned char digest[SHA512_DIGEST_LENGTH];
  SHA512(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  char hex[2 * SHA512_DIGEST_LENGTH + 1];
  for (int i = 0; i < SHA512_DIGEST_LENGTH; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

bool jsonschemaAvailable() {
  return std::system("/usr/bin/python3 -c 'import jsonschema' > /dev/null 2>&1") == 0;
}

// Validates `meta` against the stored SigMF schema; "" when it is valid,
// otherwise the validator's complaint.
std::string schemaComplaint(const fs::path& meta) {
  const std::string script =
      "import json, sys, jsonschema; "
      "schema = json.load(open(sys.argv[1])); "
      "v = jsonschema.Draft202012Validator(schema, "
      "format_checker=jsonschema.Draft202012Validator.FORMAT_CHECKER); "
      "errors = [e.message for e in v.iter_errors(json.load(open(sys.argv[2])))]; "
      "print('\\n'.join(errors) if errors else 'valid')";
  auto run = runProgram("/usr/bin/python3",
                        "-c \"" + script + "\" '" SIGMF_SCHEMA "' '" + meta.string() + "'",
                        meta.parent_path(), {});
  return run.output == "valid\n" ? "" : run.output;
}

// The SigMF version the stored schema is for, from its $id.
std::string schemaVersion() {
  const json schema = json::parse(readFile(SIGMF_SCHEMA));
  std::smatch match;
  const std::string id = schema["$id"];
  EXPECT_TRUE(std::regex_search(id, match, std::regex(R"(/v(\d+\.\d+\.\d+)/)"))) << id;
  return match[1];
}

// Checks what every recording must hold; returns the metadata.
json checkRecording(const Capture& c, const std::string& base) {
  const std::string data = c.file(base + ".sigmf-data");
  json meta = json::parse(c.file(base + ".sigmf-meta"));
  EXPECT_EQ(meta["global"]["core:sha512"], sha512Hex(data));
  EXPECT_EQ(meta["global"]["core:datatype"], "ri16_le");
  EXPECT_EQ(meta["global"]["core:num_channels"], 1);
  EXPECT_EQ(meta["global"]["core:recorder"], "kpxadac-capture");
  EXPECT_EQ(meta["global"]["core:version"], schemaVersion());
  EXPECT_EQ(meta["captures"][0]["core:sample_start"], 0);
  EXPECT_TRUE(std::regex_match(meta["captures"][0]["core:datetime"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  if (jsonschemaAvailable()) {
    EXPECT_EQ(schemaComplaint(c.folder / (base + ".sigmf-meta")), "");
  }
  return meta;
}

// ---- Raw captures ----------------------------------------------------------

TEST(CaptureRaw, RampComesOutWholeFromZeroWithTheExactSampleCount) {
  // An odd count and small blocks: many reads, and a last half word.
  auto c = capture("raw", kRamp, "--samples 100001 --chunk 4096 --ring 2 -o ramp.bin");
  EXPECT_EQ(c.run.status, 0) << c.run.output;
  const auto samples = samplesOf(c.file("ramp.bin"));
  ASSERT_EQ(samples.size(), 100001u);
  EXPECT_TRUE(continuesRamp(samples, 0, samples.size(), 0));
  EXPECT_NE(c.run.output.find("100001 samples (200002 bytes)"), std::string::npos) << c.run.output;
  EXPECT_NE(c.run.output.find("overruns: 0 (0 samples lost)"), std::string::npos);
  // 0 .. 65535 then 0 .. 34464 as signed 16-bit values.
  EXPECT_NE(c.run.output.find("samples: min -32768, max 32767"), std::string::npos);
}

TEST(CaptureRaw, UnbufferedBufferedAndUnalignedWritesGiveTheSameFile) {
  // The default writes past the page cache; --buffered through it; blocks
  // of 6004 bytes cannot go past it and fall back to it from the first.
  for (const char* how : {"", "--buffered", "--direct --chunk 6004"}) {
    auto c = capture("write-paths", kRamp, std::string("--samples 300001 -o r.bin ") + how);
    EXPECT_EQ(c.run.status, 0) << how << "\n" << c.run.output;
    const auto samples = samplesOf(c.file("r.bin"));
    ASSERT_EQ(samples.size(), 300001u) << how;
    EXPECT_TRUE(continuesRamp(samples, 0, samples.size(), 0)) << how;
  }
}

TEST(CaptureRaw, StandardOutputCarriesOnlyTheSamples) {
  auto folder = scratchFolder("capture-stdout");
  auto run = runProgram("/bin/sh", "-c '\"" KPXADAC_CAPTURE "\" --samples 5000 -o - > out.bin'",
                        folder, {{"KPXADAC_SIM", kRamp}});
  EXPECT_EQ(run.status, 0) << run.output;
  const auto samples = samplesOf(readFile(folder / "out.bin"));
  ASSERT_EQ(samples.size(), 5000u);
  EXPECT_TRUE(continuesRamp(samples, 0, samples.size(), 0));
  EXPECT_NE(run.output.find("5000 samples"), std::string::npos) << run.output;
}

TEST(CaptureRaw, DurationCountsSamplesAtTheClockRate) {
  // Synthesizer clock: 105e6 samples per second.
  auto synth = capture("duration-synth", kRamp, "--duration 0.001 -o d.bin");
  EXPECT_EQ(synth.run.status, 0) << synth.run.output;
  EXPECT_EQ(synth.file("d.bin").size(), 2u * 105000);
  // Fixed clock: 100e6 by default, or the rate given.
  auto fixed = capture("duration-fixed", kFixedClockRamp, "--duration 0.001 -o d.bin");
  EXPECT_EQ(fixed.file("d.bin").size(), 2u * 100000);
  auto given =
      capture("duration-given", kFixedClockRamp, "--duration 0.25 --sample-rate 1e6 -o d.bin");
  EXPECT_EQ(given.file("d.bin").size(), 2u * 250000);
}

// ---- SigMF recordings --------------------------------------------------------

TEST(CaptureSigmf, RecordingHoldsTheRampAndValidMetadata) {
  auto c = capture("sigmf", kFixedClockRamp, "--samples 70000 --format sigmf -o rec");
  EXPECT_EQ(c.run.status, 0) << c.run.output;
  const auto samples = samplesOf(c.file("rec.sigmf-data"));
  ASSERT_EQ(samples.size(), 70000u);
  EXPECT_TRUE(continuesRamp(samples, 0, samples.size(), 0));
  json meta = checkRecording(c, "rec");
  EXPECT_EQ(meta["global"]["core:sample_rate"], 100e6);
  const std::string hw = meta["global"]["core:hw"];
  for (const char* part : {"ADC board 0", "0x8A", "4vlx40"})
    EXPECT_NE(hw.find(part), std::string::npos) << hw;
  EXPECT_EQ(meta["captures"].size(), 1u);
  EXPECT_EQ(meta["captures"][0]["core:global_index"], 0);
  EXPECT_TRUE(meta["annotations"].empty());
}

TEST(CaptureSigmf, SampleRateFollowsTheClockOrTheOption) {
  auto synth = capture("rate-synth", kRamp, "--samples 10 --format sigmf -o rec.sigmf-data");
  EXPECT_EQ(checkRecording(synth, "rec")["global"]["core:sample_rate"], 105e6);
  auto given =
      capture("rate-given", kRamp, "--samples 10 --sample-rate 2.5e6 --format sigmf -o rec");
  EXPECT_EQ(checkRecording(given, "rec")["global"]["core:sample_rate"], 2.5e6);
  // --clock fixed on a synthesizer board: the fixed clock's default rate.
  auto fixed = capture("rate-fixed", kRamp, "--samples 10 --clock fixed --format sigmf -o rec");
  EXPECT_EQ(checkRecording(fixed, "rec")["global"]["core:sample_rate"], 100e6);
}

// ---- Overruns -------------------------------------------------------------------

TEST(CaptureOverrun, CounterGrowthAfterABlockPlacesTheGapAtThatBlocksStart) {
  // The fifth read (blocks of 2048 samples) raises the counter by 3 words.
  auto c =
      capture("overrun-fault",
              rampWith(R"("faults": [{"op": "read", "skip": 4, "count": 1, "rx_overrun": 3}])"),
              "--samples 20000 --chunk 4096 --format sigmf -o rec");
  EXPECT_EQ(c.run.status, 3) << c.run.output;
  EXPECT_NE(c.run.output.find("overrun: 6 samples lost before sample 8192 (board sample 8198)"),
            std::string::npos)
      << c.run.output;
  EXPECT_NE(c.run.output.find("overruns: 1 (6 samples lost)"), std::string::npos);
  json meta = checkRecording(c, "rec");
  ASSERT_EQ(meta["captures"].size(), 2u);
  EXPECT_EQ(meta["captures"][1]["core:sample_start"], 8192);
  EXPECT_EQ(meta["captures"][1]["core:global_index"], 8198);
  ASSERT_EQ(meta["annotations"].size(), 1u);
  EXPECT_EQ(meta["annotations"][0]["core:sample_start"], 8192);
  EXPECT_EQ(meta["annotations"][0]["core:label"], "overrun");
  EXPECT_EQ(meta["annotations"][0]["core:comment"], "6 samples lost");
}

TEST(CaptureOverrun, LossBeforeTheFirstBlockMovesTheFirstSegmentsGlobalIndex) {
  auto c = capture("overrun-first",
                   rampWith(R"("faults": [{"op": "read", "count": 1, "rx_overrun": 5}])"),
                   "--samples 4000 --chunk 4096 --format sigmf -o rec");
  EXPECT_EQ(c.run.status, 3) << c.run.output;
  json meta = checkRecording(c, "rec");
  ASSERT_EQ(meta["captures"].size(), 1u);
  EXPECT_EQ(meta["captures"][0]["core:global_index"], 10);
  ASSERT_EQ(meta["annotations"].size(), 1u);
  EXPECT_EQ(meta["annotations"][0]["core:sample_start"], 0);
}

TEST(CaptureOverrun, UnreadableCountersAreReportedOnceAndTheCaptureGoesOn) {
  auto c =
      capture("counters", rampWith(R"("faults": [{"op": "IOCTL_GET_TALVO_ERROR", "skip": 2}])"),
              "--samples 20000 --chunk 4096 -o r.bin");
  EXPECT_EQ(c.run.status, 0) << c.run.output;
  EXPECT_EQ(c.file("r.bin").size(), 40000u);
  const std::string warning = "error counters cannot be read";
  const auto first = c.run.output.find(warning);
  EXPECT_NE(first, std::string::npos) << c.run.output;
  EXPECT_EQ(c.run.output.find(warning, first + 1), std::string::npos) << c.run.output;
}

// A real-time board whose FIFO overflows while a slowed writer holds the
// ring full. Every gap must sit where the ramp jumps, with the jump as the
// board's count.
TEST(CaptureOverrun, RealTimeBoardGapsMatchTheRamp) {
  const std::string rack =
      R"({"boards": [{"device": 0, "fixed_clock": 1, "fixed_clock_rate_hz": 1e6, "realtime": true,
          "fifo_depth": 4096, "signal": {"type": "ramp"}}]})";
  const std::string refusal = kpx::sim::configure(rack);
  kpx::sim::configure("none");
  if (!refusal.empty()) GTEST_SKIP() << "no real-time virtual boards yet: " << refusal;

  auto c = capture("realtime", rack,
                   "--samples 200000 --sample-rate 1e6 --chunk 4096 --ring 2 --writer-delay-ms 20 "
                   "--format sigmf -o rec");
  EXPECT_EQ(c.run.status, 3) << c.run.output;
  EXPECT_NE(c.run.output.find("overrun: "), std::string::npos) << c.run.output;
  json meta = checkRecording(c, "rec");
  const auto samples = samplesOf(c.file("rec.sigmf-data"));
  ASSERT_EQ(samples.size(), 200000u);
  const auto& captures = meta["captures"];
  ASSERT_GE(captures.size(), 2u);
  // Every segment but a first one that starts with no loss carries an
  // "overrun" annotation, in the same order (the FIFO may also overflow
  // before the first read).
  const bool lossBeforeFirstBlock = captures[0]["core:global_index"] != 0;
  ASSERT_EQ(meta["annotations"].size(), captures.size() - (lossBeforeFirstBlock ? 0 : 1));
  size_t note = 0;
  uint64_t previousStart = 0, previousGlobal = 0;
  for (size_t i = 0; i < captures.size(); ++i) {
    const uint64_t start = captures[i]["core:sample_start"];
    const uint64_t global = captures[i]["core:global_index"];
    const uint64_t end = i + 1 < captures.size()
                             ? captures[i + 1]["core:sample_start"].get<uint64_t>()
                             : samples.size();
    EXPECT_TRUE(continuesRamp(samples, start, end, global)) << "segment " << i;
    const uint64_t lost = global - previousGlobal - (start - previousStart);
    if (i > 0 || lossBeforeFirstBlock) {
      EXPECT_GT(lost, 0u) << "segment " << i;
      const auto& annotation = meta["annotations"][note++];
      EXPECT_EQ(annotation["core:sample_start"], start);
      EXPECT_EQ(annotation["core:label"], "overrun");
      EXPECT_EQ(annotation["core:comment"], std::to_string(lost) + " samples lost");
    }
    previousStart = start;
    previousGlobal = global;
  }
}

// ---- Failures -------------------------------------------------------------------

TEST(CaptureFailure, FailingReadIsReportedAndKeepsWhatCameBefore) {
  auto c = capture("read-fails", rampWith(R"("faults": [{"op": "read", "skip": 3, "error": 31}])"),
                   "--samples 100000 --chunk 4096 --format sigmf -o rec");
  EXPECT_EQ(c.run.status, 2) << c.run.output;
  EXPECT_NE(c.run.output.find("[TalvoReadBuffer] ERROR! TalvoReadFile error! ErrNo: 31"),
            std::string::npos)
      << c.run.output;
  EXPECT_NE(c.run.output.find("read from the board failed after 6144 samples"), std::string::npos)
      << c.run.output;
  const auto samples = samplesOf(c.file("rec.sigmf-data"));
  ASSERT_EQ(samples.size(), 6144u);
  EXPECT_TRUE(continuesRamp(samples, 0, samples.size(), 0));
  checkRecording(c, "rec");
}

TEST(CaptureFailure, MissingBoardEndsWithoutAFile) {
  auto none = capture("no-board", "none", "--samples 10 -o r.bin");
  EXPECT_EQ(none.run.status, 2);
  EXPECT_NE(none.run.output.find("no ADC board with index 0"), std::string::npos)
      << none.run.output;
  EXPECT_FALSE(fs::exists(none.folder / "r.bin"));
  auto second = capture("no-second", kRamp, "--index 1 --samples 10 -o r.bin");
  EXPECT_EQ(second.run.status, 2);
  EXPECT_NE(second.run.output.find("no ADC board with index 1"), std::string::npos)
      << second.run.output;
  EXPECT_FALSE(fs::exists(second.folder / "r.bin"));
  // A DAC board is refused with the options, before any board is looked for.
  auto dac = capture("no-dac", kRamp, "--type dac --index 1 --samples 10 -o r.bin");
  EXPECT_EQ(dac.run.status, 1);
  EXPECT_NE(dac.run.output.find("--type: this program reads ADC boards only"), std::string::npos)
      << dac.run.output;
  EXPECT_FALSE(fs::exists(dac.folder / "r.bin"));
}

TEST(CaptureFailure, ClockThatNeverComesIsAnError) {
  auto c = capture("no-clock", rampWith(R"("clock_ready": false)"), "--samples 10 -o r.bin");
  EXPECT_EQ(c.run.status, 2);
  EXPECT_NE(c.run.output.find("did not become ready"), std::string::npos) << c.run.output;
}

TEST(CaptureBitstream, MatchingFileIsLoadedBeforeTheCapture) {
  const std::string bit = writeTempFile("good.bit", bitImageForPart("xc4vlx40ff668"));
  auto c = capture("bit-good", kRamp, "--bitstream '" + bit + "' --samples 100 -o r.bin");
  EXPECT_EQ(c.run.status, 0) << c.run.output;
  EXPECT_NE(c.run.output.find("bitstream " + bit + " loaded"), std::string::npos) << c.run.output;
  EXPECT_EQ(c.file("r.bin").size(), 200u);
}

TEST(CaptureBitstream, RefusedFileStopsBeforeAnythingIsCaptured) {
  const std::string wrongPart = writeTempFile("wrong.bit", bitImageForPart("xc2v3000"));
  auto mismatch =
      capture("bit-wrong", kRamp, "--bitstream '" + wrongPart + "' --samples 100 -o r.bin");
  EXPECT_EQ(mismatch.run.status, 2);
  EXPECT_NE(mismatch.run.output.find("not loaded: result 7 (the file's FPGA part does not match"),
            std::string::npos)
      << mismatch.run.output;
  EXPECT_FALSE(fs::exists(mismatch.folder / "r.bin"));

  const std::string notBit = writeTempFile("text.bit", {'h', 'e', 'l', 'l', 'o'});
  auto garbage =
      capture("bit-garbage", kRamp, "--bitstream '" + notBit + "' --samples 100 -o r.bin");
  EXPECT_EQ(garbage.run.status, 2);
  EXPECT_NE(garbage.run.output.find("result 8 (not a .bit file)"), std::string::npos);

  // The driver's own refusal: any result word but 0.
  const std::string good = writeTempFile("good.bit", bitImageForPart("xc4vlx40ff668"));
  auto driver = capture("bit-driver", rampWith(R"("bitstream_result": 5)"),
                        "--bitstream '" + good + "' --samples 100 -o r.bin");
  EXPECT_EQ(driver.run.status, 2);
  EXPECT_NE(driver.run.output.find("result 5 (the driver refused the image)"), std::string::npos)
      << driver.run.output;
}

// ---- Options --------------------------------------------------------------------

struct BadOptions {
  const char* arguments;
  const char* message;
};

constexpr BadOptions kBadOptions[] = {
    {"--samples 10", "--output is required"},
    {"--chunk 4098 -o r.bin", "--chunk: 4098 bytes is not a multiple of 4"},
    {"--chunk 0 -o r.bin", "--chunk"},
    {"--samples 0 -o r.bin", "--samples"},
    {"--samples 5 --duration 1 -o r.bin", "excludes"},
    {"--duration -1 -o r.bin", "--duration"},
    {"--type scope -o r.bin", "--type"},
    {"--format wav -o r.bin", "--format"},
    {"--clock pll -o r.bin", "--clock"},
    {"--ring 1 -o r.bin", "--ring"},
    {"--format sigmf -o -", "needs a file base name"},
    {"--frobnicate -o r.bin", "frobnicate"},
    // Numbers that are not numbers, or counts that cannot be kept: the
    // tools' shared range checks (tools/common/number_options.h).
    {"--duration nan -o r.bin", "--duration: nan is not a number: give a number above 0"},
    {"--duration inf -o r.bin", "--duration: inf is not finite: give a number above 0"},
    {"--duration -inf -o r.bin", "-inf is not finite"},
    {"--duration 2e11 -o r.bin",
     "--duration: 2e11 is out of range: give a number above 0, at "
     "most 1.15292e+09"},
    {"--sample-rate 2e9 --duration 1.2e9 -o r.bin", "--duration: 1.2e9 is out of range"},
    {"--sample-rate 1e308 --duration 1 -o r.bin",
     "--sample-rate: 1e308 is out of range: give a number from 1 to 2e+09"},
    {"--ring-seconds nan -o r.bin",
     "--ring-seconds: nan is not a number: give a number from 0.001 to 3600"},
    {"--ring-seconds 1e308 -o r.bin", "1e308 is out of range: give a number from 0.001 to 3600"},
    {"--ring 4096 --chunk 66060288 -o r.bin", "the ring holds at most 1073741824 bytes (1 GiB)"},
    {"--writer-delay-ms 99999999999 -o r.bin",
     "--writer-delay-ms: 99999999999 is out of range: give a whole number from 0 to 60000"},
    {"--direct --buffered -o r.bin", "--direct and --buffered exclude each other"},
    // Names that cannot be a recording's.
    {"--samples 10 -o sub/", "--output sub/ names a folder, not a file"},
    {"--samples 10 --format sigmf -o sub/", "--output sub/ names a folder"},
    {"--samples 10 --format sigmf -o sub/.sigmf-meta", "names a folder"},
    {"--samples 10 -o .", "--output . is a folder"},
    {"--samples 10 --format sigmf -o ..", "is a folder"},
};

// The parameter is an index into kBadOptions, which keeps the registered
// test names plain and stable from build to build.
class CaptureOptions : public testing::TestWithParam<int> {};

TEST_P(CaptureOptions, AreRefusedWithStatusOneAndAReason) {
  const BadOptions& bad = kBadOptions[GetParam()];
  auto c = capture("options-" + std::to_string(GetParam()), kRamp, bad.arguments);
  EXPECT_EQ(c.run.status, 1) << bad.arguments << "\n" << c.run.output;
  EXPECT_NE(c.run.output.find(bad.message), std::string::npos) << c.run.output;
  EXPECT_TRUE(fs::is_empty(c.folder)) << "nothing was written";
  // Numbers in the messages are short: not DBL_MAX with all its digits.
  EXPECT_FALSE(std::regex_search(c.run.output, std::regex(R"(\d{25})"))) << c.run.output;
}

INSTANTIATE_TEST_SUITE_P(Refused, CaptureOptions,
                         testing::Range(0, static_cast<int>(std::size(kBadOptions))));

// The help names every option that it says one needs or excludes, and the
// hidden former spellings stay accepted.
TEST(CaptureHelp, NamesWhatItRefersToAndTheOldSpellingsStillWork) {
  auto help = capture("help", kRamp, "--help");
  EXPECT_EQ(help.run.status, 0);
  EXPECT_NE(help.run.output.find("--ring-seconds"), std::string::npos) << help.run.output;
  std::smatch unnamed;
  EXPECT_FALSE(
      std::regex_search(help.run.output, unnamed, std::regex(R"((Excludes|Needs):(?! -))")))
      << "at: " << unnamed.position() << "\n"
      << help.run.output;
  for (const char* old : {"--direct", "--board 0", "--rate 1e6"}) {
    auto c = capture("old-spelling", kRamp, std::string(old) + " --samples 100 -o r.bin");
    EXPECT_EQ(c.run.status, 0) << old << "\n" << c.run.output;
    EXPECT_EQ(c.file("r.bin").size(), 200u) << old;
  }
}

// ---- An existing output -----------------------------------------------------------

// A run that fails before the board reads leaves the files of an earlier
// recording as they were and no temporary file.
struct FailedOverExisting {
  const char* name;
  const char* rack;  // nullptr: the ramp
  const char* arguments;
  int status;
  const char* message;
};

const std::string kLongBase(243, 'b');

const FailedOverExisting kFailedOverExisting[] = {
    {"metadata-name-is-a-folder", nullptr, "--format sigmf -o old", 1,
     "old.sigmf-meta is a folder"},
    {"counters-unreadable-sigmf", R"("faults": [{"op": "IOCTL_GET_TALVO_ERROR"}])",
     "--format sigmf -o old", 2, "error counters cannot be read"},
    {"counters-unreadable-raw", R"("faults": [{"op": "IOCTL_GET_TALVO_ERROR"}])",
     "-o old.sigmf-data", 2, "error counters cannot be read"},
    {"no-board", "none", "--format sigmf -o old", 2, "no ADC board"},
    {"temporary-name-too-long", nullptr, "--format sigmf -o LONG", 1, "is too long"},
    {"temporary-data-in-the-way", nullptr, "--format sigmf -o old", 1, "is in the way"},
};

class CaptureOverExisting : public testing::TestWithParam<int> {};

TEST_P(CaptureOverExisting, FailingRunLeavesTheOldRecordingWhole) {
  const FailedOverExisting& c = kFailedOverExisting[GetParam()];
  const auto folder = scratchFolder(std::string("capture-existing-") + c.name);
  const std::string base =
      std::string(c.arguments).find("LONG") != std::string::npos ? kLongBase : "old";
  std::string arguments = std::regex_replace(c.arguments, std::regex("LONG"), kLongBase);
  const auto put = [&](const std::string& name, const std::string& text) {
    std::ofstream(folder / name, std::ios::binary) << text;
  };
  put(base + ".sigmf-data", "old data");
  if (std::string(c.name) == "metadata-name-is-a-folder")
    fs::create_directory(folder / (base + ".sigmf-meta"));
  else
    put(base + ".sigmf-meta", "old meta");
  if (std::string(c.name) == "temporary-data-in-the-way") put(base + ".sigmf-data.new", "mine");
  const std::string rack = c.rack == nullptr               ? kRamp
                           : std::string(c.rack) == "none" ? std::string("none")
                                                           : rampWith(c.rack);

  auto run =
      runProgram(KPXADAC_CAPTURE, "--samples 1000 " + arguments, folder, {{"KPXADAC_SIM", rack}});
  EXPECT_EQ(run.status, c.status) << run.output;
  EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
  EXPECT_EQ(readFile(folder / (base + ".sigmf-data")), "old data");
  if (fs::is_regular_file(folder / (base + ".sigmf-meta")))
    EXPECT_EQ(readFile(folder / (base + ".sigmf-meta")), "old meta");
  else
    EXPECT_TRUE(fs::is_directory(folder / (base + ".sigmf-meta")));
  // Names too long to exist do not exist.
  std::error_code error;
  if (std::string(c.name) == "temporary-data-in-the-way")
    EXPECT_EQ(readFile(folder / (base + ".sigmf-data.new")), "mine");
  else
    EXPECT_FALSE(fs::exists(folder / (base + ".sigmf-data.new"), error));
  EXPECT_FALSE(fs::exists(folder / (base + ".sigmf-meta.new"), error));
}

INSTANTIATE_TEST_SUITE_P(Cases, CaptureOverExisting,
                         testing::Range(0, static_cast<int>(std::size(kFailedOverExisting))));

// A capture that starts replaces an earlier recording of its name, raw or
// SigMF, writes through a symbolic link to the file it names, and follows
// no link to empty a file that is not its own.
TEST(CaptureOverExisting, StartedCaptureReplacesTheOldFiles) {
  const auto folder = scratchFolder("capture-existing-replaced");
  for (const char* name : {"r.bin", "rec.sigmf-data", "rec.sigmf-meta", "target.bin"})
    std::ofstream(folder / name, std::ios::binary) << std::string(100000, 'o');
  fs::create_symlink("target.bin", folder / "link.bin");
  // A link where the metadata's scratch file goes is not followed.
  std::ofstream(folder / "precious.txt") << "precious";
  fs::create_symlink("precious.txt", folder / "rec.sigmf-meta.new");
  for (const char* arguments : {"-o r.bin", "--format sigmf -o rec", "-o link.bin"}) {
    auto run = runProgram(KPXADAC_CAPTURE, std::string("--samples 3000 ") + arguments, folder,
                          {{"KPXADAC_SIM", kRamp}});
    EXPECT_EQ(run.status, 0) << arguments << "\n" << run.output;
  }
  for (const char* name : {"r.bin", "rec.sigmf-data", "target.bin"}) {
    const auto samples = samplesOf(readFile(folder / name));
    ASSERT_EQ(samples.size(), 3000u) << name;
    EXPECT_TRUE(continuesRamp(samples, 0, samples.size(), 0)) << name;
  }
  EXPECT_TRUE(fs::is_symlink(folder / "link.bin"));
  EXPECT_EQ(readFile(folder / "precious.txt"), "precious");
  EXPECT_FALSE(fs::is_symlink(folder / "rec.sigmf-meta"));
  Capture c{{}, folder};
  EXPECT_EQ(checkRecording(c, "rec")["global"]["kpxadac:sample_count"], 3000);
  for (const auto& entry : fs::directory_iterator(folder))
    EXPECT_NE(entry.path().extension(), ".new") << entry.path();
}

// ---- Write failures ----------------------------------------------------------------

// Every way a write can fail ends with status 4: a full device, standard
// output on one, and a file past the size limit (SIGXFSZ would end the
// program instead). `ulimit -f` counts 512-byte blocks in sh.
struct WriteFailure {
  const char* name;
  const char* command;  // run by sh in the scratch folder; CAPTURE is the program
  const char* message;
};

const WriteFailure kWriteFailures[] = {
    {"full-device", "CAPTURE --samples 100000 -o /dev/full", "cannot write /dev/full"},
    {"full-standard-output", "CAPTURE --samples 100000 -o - > /dev/full",
     "cannot write standard output"},
    {"file-size-limit-raw", "ulimit -f 2048; CAPTURE --samples 10000000 --chunk 65536 -o r.bin",
     "File too large"},
    {"file-size-limit-sigmf",
     "ulimit -f 2048; CAPTURE --samples 10000000 --chunk 65536 --format sigmf -o rec",
     "File too large"},
};

class CaptureWriteFailure : public testing::TestWithParam<int> {};

TEST_P(CaptureWriteFailure, EndsWithStatusFourAndSaysWhy) {
  const WriteFailure& w = kWriteFailures[GetParam()];
  const auto folder = scratchFolder(std::string("capture-write-") + w.name);
  const std::string command =
      std::regex_replace(w.command, std::regex("CAPTURE"), "'" KPXADAC_CAPTURE "'");
  auto run = runProgram("/bin/sh", "-c \"" + command + "\"", folder, {{"KPXADAC_SIM", kRamp}});
  EXPECT_EQ(run.status, 4) << run.output;
  EXPECT_NE(run.output.find(w.message), std::string::npos) << run.output;
  if (fs::exists(folder / "rec.sigmf-meta")) {
    const json meta = json::parse(readFile(folder / "rec.sigmf-meta"));
    EXPECT_EQ(meta["global"]["kpxadac:state"], "write failed");
    const auto bytes = fs::file_size(folder / "rec.sigmf-data");
    EXPECT_GT(bytes, 0u);
    EXPECT_EQ(meta["global"]["kpxadac:sample_count"], bytes / 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CaptureWriteFailure,
                         testing::Range(0, static_cast<int>(std::size(kWriteFailures))));

// ---- Signals --------------------------------------------------------------------

// Starts the tool with `arguments` and the rack in its environment; its
// output goes to `log`.
pid_t startCapture(const std::vector<std::string>& arguments, const std::string& rack,
                   const fs::path& log) {
  std::vector<std::string> words{KPXADAC_CAPTURE};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::string simulation = "KPXADAC_SIM=" + rack;
  char* envp[] = {simulation.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 2, 1);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, KPXADAC_CAPTURE, &actions, nullptr, argv.data(), envp), 0);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

class CaptureSignal : public testing::TestWithParam<int> {};

TEST_P(CaptureSignal, StopsCleanlyWithAValidRecording) {
  auto folder = scratchFolder("capture-signal-" + std::to_string(GetParam()));
  const fs::path data = folder / "rec.sigmf-data";
  // No sample limit; a slowed writer keeps the file small.
  pid_t pid = startCapture({"--format", "sigmf", "--chunk", "65536", "--ring", "2",
                            "--writer-delay-ms", "5", "-o", (folder / "rec").string()},
                           kRamp, folder / "log.txt");
  ASSERT_GT(pid, 0);
  // Wait (without a time limit of our own: the test's time-out bounds it)
  // until the capture has written something.
  std::error_code error;
  int status = 0;
  while (fs::file_size(data, error) < 256 * 1024 || error) {
    ASSERT_EQ(waitpid(pid, &status, WNOHANG), 0) << "ended early: " << readFile(folder / "log.txt");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, GetParam());
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  const std::string log = readFile(folder / "log.txt");
  ASSERT_TRUE(WIFEXITED(status)) << log;
  EXPECT_EQ(WEXITSTATUS(status), 0) << log;
  EXPECT_NE(log.find("stopped by signal"), std::string::npos) << log;

  Capture c{{}, folder};
  checkRecording(c, "rec");
  const auto samples = samplesOf(c.file("rec.sigmf-data"));
  EXPECT_GE(samples.size(), 128u * 1024);
  EXPECT_EQ(samples.size() % (65536 / 2), 0u) << "whole blocks only";
  EXPECT_TRUE(continuesRamp(samples, 0, samples.size(), 0));
}

INSTANTIATE_TEST_SUITE_P(IntAndTerm, CaptureSignal, testing::Values(SIGINT, SIGTERM));
// The terminal that started the capture went away.
INSTANTIATE_TEST_SUITE_P(Hangup, CaptureSignal, testing::Values(SIGHUP));

}  // namespace

// ---- Crashes and a full disk ---------------------------------------------------

namespace crash {

// The metadata file as it is now, or null while it is missing or
// unreadable (it is replaced by renaming, so never half-written).
json metadataNow(const fs::path& meta) {
  std::error_code error;
  if (!fs::exists(meta, error)) return nullptr;
  json parsed = json::parse(readFile(meta), nullptr, false);
  return parsed.is_discarded() ? json(nullptr) : parsed;
}

// What any metadata on the disk must say of the data beside it: the samples
// it describes are there, and between its gaps they continue the ramp at
// the board index the segments give.
void checkDescribedPrefix(const fs::path& folder, const json& meta) {
  const auto samples = samplesOf(readFile(folder / "rec.sigmf-data"));
  const uint64_t described = meta["global"]["kpxadac:sample_count"];
  ASSERT_LE(described, samples.size());
  const auto& captures = meta["captures"];
  for (size_t i = 0; i < captures.size(); ++i) {
    const uint64_t start = captures[i]["core:sample_start"];
    const uint64_t end =
        i + 1 < captures.size() ? captures[i + 1]["core:sample_start"].get<uint64_t>() : described;
    ASSERT_LE(start, end);
    EXPECT_TRUE(continuesRamp(samples, start, end, captures[i]["core:global_index"]))
        << "segment " << i;
  }
  if (jsonschemaAvailable()) {
    EXPECT_EQ(schemaComplaint(folder / "rec.sigmf-meta"), "");
  }
}

}  // namespace crash

// When the capture is killed: 0 as soon as samples reach the file (before
// any rewrite of the metadata), 1 once a rewrite covers samples, 2 once a
// rewrite holds a gap.
class CaptureKilled : public testing::TestWithParam<int> {};

TEST_P(CaptureKilled, LeavesMetadataThatDescribesAPrefixOfTheData) {
  const int moment = GetParam();
  auto folder = scratchFolder("capture-killed-" + std::to_string(moment));
  // A real-time board at 20 MHz; the third case slows the writer so that
  // its small FIFO overflows.
  const std::string rack =
      R"({"boards": [{"device": 0, "fixed_clock": 1, "fixed_clock_rate_hz": 2e7, "realtime": true,
          "fifo_depth": )" +
      std::string(moment == 2 ? "16384" : "4194304") + R"(, "signal": {"type": "ramp"}}]})";
  std::vector<std::string> arguments{
      "--format", "sigmf", "--sample-rate",          "2e7", "--chunk", "65536", "--ring",
      "4",        "-o",    (folder / "rec").string()};
  if (moment == 2) arguments.insert(arguments.end(), {"--writer-delay-ms", "10"});
  pid_t pid = startCapture(arguments, rack, folder / "log.txt");
  ASSERT_GT(pid, 0);
  const fs::path meta = folder / "rec.sigmf-meta";
  // Waits (the test's time-out bounds it) for the moment, watching the files.
  int status = 0;
  for (;;) {
    ASSERT_EQ(waitpid(pid, &status, WNOHANG), 0) << "ended early: " << readFile(folder / "log.txt");
    const json now = crash::metadataNow(meta);
    std::error_code error;
    const auto bytes = fs::file_size(folder / "rec.sigmf-data", error);
    if (!now.is_null() && !error) {
      if (moment == 0 && bytes > 0) break;
      if (moment == 1 && now["global"]["kpxadac:sample_count"] > 0) break;
      if (moment == 2 && now["captures"].size() + now["annotations"].size() >= 2) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));

  const json left = json::parse(readFile(meta));
  EXPECT_EQ(left["global"]["kpxadac:state"], "recording");
  EXPECT_FALSE(left["global"].contains("core:sha512")) << "only a finished recording has one";
  EXPECT_EQ(left["global"]["core:sample_rate"], 2e7);
  crash::checkDescribedPrefix(folder, left);
  if (moment == 2) {
    EXPECT_GE(left["annotations"].size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(AtSeveralMoments, CaptureKilled, testing::Values(0, 1, 2));

// A records capture killed once its metadata lists records: each record
// described is in the data file, at the board index its segment gives.
TEST(CaptureKilled, WithTriggeredRecordsLeavesMetadataOfTheRecordsOnDisk) {
  auto folder = scratchFolder("capture-killed-records");
  const std::string rack =
      R"({"boards": [{"device": 0, "fixed_clock": 1, "fixed_clock_rate_hz": 2e7, "realtime": true,
          "signal": {"type": "ramp"}}]})";
  pid_t pid = startCapture({"--format", "sigmf", "--sample-rate", "2e7", "--trigger", "rising:-100",
                            "--pre", "100", "--post", "900", "-o", (folder / "rec").string()},
                           rack, folder / "log.txt");
  ASSERT_GT(pid, 0);
  int status = 0;
  json left;
  for (;;) {
    ASSERT_EQ(waitpid(pid, &status, WNOHANG), 0) << "ended early: " << readFile(folder / "log.txt");
    left = crash::metadataNow(folder / "rec.sigmf-meta");
    if (!left.is_null() && left["global"]["kpxadac:records"] > 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  left = json::parse(readFile(folder / "rec.sigmf-meta"));
  EXPECT_EQ(left["global"]["kpxadac:state"], "recording");
  EXPECT_FALSE(left["global"].contains("core:sha512"));
  EXPECT_EQ(left["global"]["kpxadac:sample_count"],
            left["global"]["kpxadac:records"].get<uint64_t>() * 1000);
  EXPECT_EQ(left["captures"].size(), left["global"]["kpxadac:records"]);
  crash::checkDescribedPrefix(folder, left);
}

// Captures with `options` onto a file system of 8 MiB that fills, and copies
// the recording out to the folder. Needs a private mount namespace (root).
test_support::ProgramRun captureOntoFullDisk(const fs::path& folder, const std::string& options) {
  // Inside the namespace: mount, capture, copy the recording out. The mount
  // goes when the namespace does.
  const std::string script =
      "mkdir -p disk && mount -t tmpfs -o size=8m kpxadac-test disk && "
      "'" KPXADAC_CAPTURE "' " +
      options +
      " --format sigmf -o disk/rec; "
      "status=\\$?; cp disk/rec.sigmf-data disk/rec.sigmf-meta . ; ls disk > left.txt; "
      "exit \\$status";
  return runProgram("unshare", "-m sh -c \"" + script + "\"", folder, {{"KPXADAC_SIM", kRamp}});
}

bool canMountTmpfs() {
  return std::system("unshare -m true > /dev/null 2>&1") == 0;
}

// A capture that fills the disk: status 4, whole samples kept, and the final
// metadata written into the room kept for it.
TEST(CaptureFullDisk, StopsWithItsOwnStatusAndDescribesWhatWasWritten) {
  if (!canMountTmpfs())
    GTEST_SKIP() << "cannot mount a small tmpfs here: unshare -m needs root (or CAP_SYS_ADMIN)";
  auto folder = scratchFolder("capture-full-disk");
  auto run = captureOntoFullDisk(folder, "--samples 20000000 --chunk 65536");
  EXPECT_EQ(run.status, 4) << run.output;
  EXPECT_NE(run.output.find("No space left on device"), std::string::npos) << run.output;
  const std::string data = readFile(folder / "rec.sigmf-data");
  EXPECT_GT(data.size(), 4u << 20);
  EXPECT_EQ(data.size() % 2, 0u) << "whole samples only";
  const json meta = json::parse(readFile(folder / "rec.sigmf-meta"));
  EXPECT_EQ(meta["global"]["kpxadac:state"], "write failed");
  EXPECT_EQ(meta["global"]["kpxadac:sample_count"], data.size() / 2);
  EXPECT_FALSE(meta["global"].contains("core:sha512"));
  crash::checkDescribedPrefix(folder, meta);
  EXPECT_EQ(readFile(folder / "left.txt"), "rec.sigmf-data\nrec.sigmf-meta\n")
      << "no temporary file left behind";
}

// The same with triggered records: the metadata lists the records written
// whole, each at its board index.
TEST(CaptureFullDisk, WithTriggeredRecordsListsTheRecordsWrittenWhole) {
  if (!canMountTmpfs())
    GTEST_SKIP() << "cannot mount a small tmpfs here: unshare -m needs root (or CAP_SYS_ADMIN)";
  auto folder = scratchFolder("capture-full-disk-records");
  // One record per period of the ramp, 128 KiB each.
  auto run = captureOntoFullDisk(folder,
                                 "--samples 20000000 --trigger rising:-100 --pre 100 --post 65436");
  EXPECT_EQ(run.status, 4) << run.output;
  const std::string data = readFile(folder / "rec.sigmf-data");
  const json meta = json::parse(readFile(folder / "rec.sigmf-meta"));
  EXPECT_EQ(meta["global"]["kpxadac:state"], "write failed");
  const uint64_t records = meta["global"]["kpxadac:records"];
  EXPECT_GT(records, 20u);
  EXPECT_EQ(records, data.size() / (65536 * 2)) << "every record written whole, and only those";
  crash::checkDescribedPrefix(folder, meta);
}

// A disk with no room left for the new recording's first metadata: the run
// fails at the start (status 2) and the old recording stays whole.
TEST(CaptureFullDisk, NoRoomAtTheStartLeavesTheOldRecordingWhole) {
  if (!canMountTmpfs())
    GTEST_SKIP() << "cannot mount a small tmpfs here: unshare -m needs root (or CAP_SYS_ADMIN)";
  auto folder = scratchFolder("capture-full-disk-at-start");
  const std::string script =
      "mkdir -p disk && mount -t tmpfs -o size=8m kpxadac-test disk && "
      "printf 'old data' > disk/rec.sigmf-data && printf 'old meta' > disk/rec.sigmf-meta && "
      "(dd if=/dev/zero of=disk/filler bs=4096 2> /dev/null; true) && "
      "'" KPXADAC_CAPTURE
      "' --samples 1000 --format sigmf -o disk/rec; "
      "status=\\$?; cp disk/rec.sigmf-data disk/rec.sigmf-meta . ; ls disk > left.txt; "
      "exit \\$status";
  auto run = runProgram("unshare", "-m sh -c \"" + script + "\"", folder, {{"KPXADAC_SIM", kRamp}});
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_NE(run.output.find("No space left on device"), std::string::npos) << run.output;
  EXPECT_EQ(readFile(folder / "rec.sigmf-data"), "old data");
  EXPECT_EQ(readFile(folder / "rec.sigmf-meta"), "old meta");
  EXPECT_EQ(readFile(folder / "left.txt"), "filler\nrec.sigmf-data\nrec.sigmf-meta\n")
      << "no temporary file left behind";
}
