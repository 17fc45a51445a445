// kpxadac-capture --trigger as a program on ramp boards: the records come
// back to back, each one the ramp at its board indexes, and the SigMF
// metadata places one capture segment and one trigger annotation per record.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "program_runner.h"

namespace fs = std::filesystem;
using nlohmann::json;
using test_support::readFile;
using test_support::runProgram;
using test_support::scratchFolder;

namespace {

struct Run {
  test_support::ProgramRun run;
  fs::path folder;
};

Run captureRecords(const std::string& name, const std::string& boardKeys,
                   const std::string& arguments) {
  Run r;
  r.folder = scratchFolder("records-" + name);
  const std::string rack =
      R"({"boards": [{"device": 0, "signal": {"type": "ramp"})" + boardKeys + "}]}";
  r.run = runProgram(KPXADAC_CAPTURE, arguments, r.folder, {{"KPXADAC_SIM", rack}});
  return r;
}

std::vector<uint16_t> samplesOf(const std::string& bytes) {
  std::vector<uint16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

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

// 10 samples lost before index 65536 (blocks of 4096 samples): the record
// at 65436 spans the gap and is lost; after it the ramp value v sits at
// board index v + 10.
TEST(CaptureRecords, SigmfHoldsOneSegmentAndOneTriggerPerRecordAndCountsTheLoss) {
  auto r = captureRecords(
      "sigmf", R"(, "faults": [{"op": "read", "skip": 16, "count": 1, "rx_overrun": 5}])",
      "--trigger rising:-100 --pre 200 --post 1000 --samples 300000 --chunk 8192 "
      "--format sigmf -o rec");
  EXPECT_EQ(r.run.status, 3) << r.run.output;  // a record was lost
  EXPECT_EQ(r.run.output.find("room kept"), std::string::npos)
      << "the room is for a failed rewrite only: " << r.run.output;
  EXPECT_NE(r.run.output.find("records lost: 1 (1 to gaps, 0 skipped, 0 cut at the end)"),
            std::string::npos)
      << r.run.output;
  const auto samples = samplesOf(readFile(r.folder / "rec.sigmf-data"));
  const json meta = json::parse(readFile(r.folder / "rec.sigmf-meta"));
  EXPECT_EQ(schemaComplaint(r.folder / "rec.sigmf-meta"), "");
  EXPECT_EQ(meta["global"]["core:extensions"][0]["name"], "kpxadac");
  EXPECT_EQ(meta["global"]["kpxadac:record_length"], 1200);
  EXPECT_EQ(meta["global"]["kpxadac:records_lost_to_gaps"], 1);
  EXPECT_EQ(meta["global"]["kpxadac:triggers_seen"], 4);
  const std::vector<uint64_t> expected = {130982, 196518, 262054};
  ASSERT_EQ(meta["captures"].size(), expected.size());
  ASSERT_EQ(meta["annotations"].size(), expected.size());
  ASSERT_EQ(samples.size(), expected.size() * 1200);
  for (size_t i = 0; i < expected.size(); ++i) {
    const json& segment = meta["captures"][i];
    const json& trigger = meta["annotations"][i];
    EXPECT_EQ(segment["core:sample_start"], i * 1200);
    EXPECT_EQ(segment["core:global_index"], expected[i] - 200);
    EXPECT_EQ(trigger["core:sample_start"], i * 1200 + 200);
    EXPECT_EQ(trigger["core:label"], "trigger");
    EXPECT_EQ(trigger["kpxadac:trigger_index"], expected[i]);
    for (size_t j = 0; j < 1200; ++j)
      ASSERT_EQ(samples[i * 1200 + j], static_cast<uint16_t>(expected[i] - 200 + j - 10));
  }
}

TEST(CaptureRecords, RawRecordsComeBackToBackUpToTheRecordCount) {
  auto r = captureRecords("raw", "",
                          "--trigger falling:0 --hysteresis 5 --pre 3 --post 5 --records 2 "
                          "-o rec.bin");
  EXPECT_EQ(r.run.status, 0) << r.run.output;
  const auto samples = samplesOf(readFile(r.folder / "rec.bin"));
  // The ramp falls only where it wraps, at 32768 + k * 65536.
  std::vector<uint16_t> expected;
  for (uint64_t trigger : {32768u, 32768u + 65536u})
    for (uint64_t k = trigger - 3; k < trigger + 5; ++k) expected.push_back(uint16_t(k));
  EXPECT_EQ(samples, expected);
  EXPECT_NE(r.run.output.find("2 records of 8 samples"), std::string::npos) << r.run.output;
}

// Option words are taken in any case, the edge of --trigger too.
TEST(CaptureRecords, TriggerEdgeInAnyCase) {
  auto r = captureRecords("edge-case", "", "--trigger FALLING:0 --records 1 -o rec.bin");
  EXPECT_EQ(r.run.status, 0) << r.run.output;
  EXPECT_NE(r.run.output.find("1 records of 1024 samples"), std::string::npos) << r.run.output;
}

TEST(CaptureRecords, RefusesBadTriggerOptions) {
  for (const char* arguments :
       {"--trigger up:10 -o x", "--trigger rising -o x", "--trigger rising:40000 -o x",
        "--trigger rising:1x -o x", "--pre 10 -o x", "--trigger rising:0 --pre -1 -o x",
        "--trigger rising:0 --pre 0 --post 0 -o x", "--trigger rising: -o x",
        "--trigger rising:0 --records -1 -o x", "--trigger rising:0 --holdoff -1 -o x",
        "--trigger rising:0 --hysteresis 99999999999 -o x"}) {
    SCOPED_TRACE(arguments);
    auto r = captureRecords("refused", "", arguments);
    EXPECT_EQ(r.run.status, 1) << r.run.output;
    EXPECT_FALSE(fs::exists(r.folder / "x"));
  }
}

}  // namespace
