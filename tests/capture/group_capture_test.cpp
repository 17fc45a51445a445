// kpxadac-capture with a group of boards (--index N,M,...): the refusals of
// bad --index and --align values, the collection and its recordings
// against the SigMF schemas, the boards' samples on one index, and the
// shared table of collections read back by the tools' collection reader.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "program_runner.h"
#include "sigmf_collection.h"

namespace fs = std::filesystem;
using nlohmann::json;
using test_support::readFile;
using test_support::runProgram;
using test_support::scratchFolder;

namespace {

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

// The complaints of the SigMF schema `schema` about `file`, one a line, each
// as "<path>: <validator>" ("" when valid).
std::string schemaComplaints(const std::string& schema, const fs::path& file) {
  const std::string script =
      "import json, sys, jsonschema; "
      "v = jsonschema.Draft202012Validator(json.load(open(sys.argv[1])), "
      "format_checker=jsonschema.Draft202012Validator.FORMAT_CHECKER); "
      "print(''.join('/'.join(map(str, e.absolute_path)) + ': ' + e.validator + '\\n' "
      "for e in v.iter_errors(json.load(open(sys.argv[2])))), end='')";
  return runProgram("/usr/bin/python3",
                    "-c \"" + script + "\" '" + schema + "' '" + file.string() + "'",
                    file.parent_path(), {})
      .output;
}

// Three boards sampling one shared noise source, each at its own place on
// the rack's timeline: board 1 is 40 samples behind board 0 (a negative
// offset), board 2 5000 ahead (more than a block).
const std::string kSharedNoise = R"({
  "sources": {"ref": {"type": "noise", "amplitude_dbfs": -12, "seed": 5}},
  "boards": [{"device": 0, "input": "ref", "timeline_offset": 40},
             {"device": 1, "input": "ref", "timeline_offset": 0},
             {"device": 2, "input": "ref", "timeline_offset": 5040}]})";
const double kTrueOffsets[] = {0, -40, 5000};
// What each board skips so that all start at one instant: the largest
// offset less its own.
const int kTrueSkips[] = {5000, 5040, 0};

std::vector<int16_t> samplesOf(const std::string& bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// ---- Refusals ---------------------------------------------------------------------

struct BadGroupOptions {
  const char* arguments;
  const char* message;
};

constexpr BadGroupOptions kBadGroupOptions[] = {
    {"--index 0,256 -o r.bin", "--index: board index 256 is out of range"},
    {"--index 0,,1 -o r.bin", "--index: board index '' is not a number"},
    {"--index 0,1.5 -o r.bin", "1.5 is not a whole number"},
    {"--index 0,-1 -o r.bin", "-1 is out of range"},
    {"--index 0,1 --align sideways -o r.bin", "--align sideways: give none, measure or offsets"},
    {"--index 0,1 --align offsets:0 -o r.bin", "1 offsets for 2 boards"},
    {"--index 0,1,2 --align offsets:0,1,2,3 -o r.bin", "4 offsets for 3 boards"},
    {"--index 0,1 --align offsets:0,nan -o r.bin", "nan is not a number"},
    {"--index 0,1 --align offsets:0,inf -o r.bin", "inf is not finite"},
    {"--index 0,1 --align offsets: -o r.bin", "--align offsets: '' is not a number"},
    {"--index 0 --align measure -o r.bin", "--align aligns the boards of a group"},
    {"--align offsets:0 -o r.bin", "--align aligns the boards of a group"},
    {"--index 0,1 --align-window 10 -o r.bin", "--align-window: 10 is out of range"},
    {"--index 0,1 -o -", "not to standard output"},
    {"--index 0,1 --trigger-level 5 -o r.bin", "triggered records are taken from one board"},
    // The library's own refusal of the group, in its words.
    {"--index 1,1 -o r.bin", "--index: a board is named twice"},
};

class GroupCaptureOptions : public testing::TestWithParam<int> {};

TEST_P(GroupCaptureOptions, AreRefusedWithStatusOneAndAReason) {
  const BadGroupOptions& bad = kBadGroupOptions[GetParam()];
  const auto folder = scratchFolder("capture-group-options-" + std::to_string(GetParam()));
  const auto run = runProgram(KPXADAC_CAPTURE, std::string("--samples 100 ") + bad.arguments,
                              folder, {{"KPXADAC_SIM", kSharedNoise}});
  EXPECT_EQ(run.status, 1) << bad.arguments << "\n" << run.output;
  EXPECT_NE(run.output.find(bad.message), std::string::npos) << run.output;
  EXPECT_TRUE(fs::is_empty(folder)) << "nothing was written";
}

INSTANTIATE_TEST_SUITE_P(Refused, GroupCaptureOptions,
                         testing::Range(0, static_cast<int>(std::size(kBadGroupOptions))));

// ---- A group's collection ------------------------------------------------------------

TEST(GroupCapture, CollectionAndRecordingsAreValidSigmfAndAligned) {
  const auto folder = scratchFolder("capture-group-collection");
  const auto run = runProgram(
      KPXADAC_CAPTURE,
      "--index 0,1,2 --align measure --samples 30000 --block-samples 4096 --format sigmf -o run",
      folder, {{"KPXADAC_SIM", kSharedNoise}});
  ASSERT_EQ(run.status, 0) << run.output;
  const json collection = json::parse(readFile(folder / "run.sigmf-collection"));
  const json& body = collection["collection"];
  EXPECT_EQ(body["kpxadac:alignment"], "measure");
  EXPECT_EQ(body["kpxadac:boards"], json::array({0, 1, 2}));
  ASSERT_EQ(body["core:streams"].size(), 3u);
  std::vector<std::vector<int16_t>> boards;
  for (int b = 0; b < 3; ++b) {
    const std::string base = "run-" + std::to_string(b);
    const json& stream = body["core:streams"][b];
    // The text's rule for SigMF Recording Objects: the base name and the
    // SHA-512 of its metadata file.
    EXPECT_EQ(stream["name"], base);
    const std::string metaText = readFile(folder / (base + ".sigmf-meta"));
    EXPECT_EQ(stream["hash"], sha512Hex(metaText));
    const json meta = json::parse(metaText);
    EXPECT_EQ(meta["global"]["core:collection"], "run");
    EXPECT_EQ(meta["global"]["kpxadac:board_index"], b);
    // Measured below a sample; applied to the nearest one.
    EXPECT_NEAR(meta["global"]["kpxadac:group_offset"].get<double>(), kTrueOffsets[b], 0.05)
        << base;
    EXPECT_NEAR(body["kpxadac:offsets"][b].get<double>(), kTrueOffsets[b], 0.05);
    EXPECT_EQ(meta["global"]["kpxadac:group_skip"], kTrueSkips[b]) << base;
    EXPECT_EQ(meta["global"]["kpxadac:sample_count"], 30000);
    const std::string data = readFile(folder / (base + ".sigmf-data"));
    EXPECT_EQ(meta["global"]["core:sha512"], sha512Hex(data));
    boards.push_back(samplesOf(data));
    if (jsonschemaAvailable()) {
      EXPECT_EQ(schemaComplaints(SIGMF_SCHEMA, folder / (base + ".sigmf-meta")), "");
    }
  }
  // Sample i of every recording is the same instant: one noise, sample for sample.
  ASSERT_EQ(boards[0].size(), 30000u);
  EXPECT_TRUE(boards[1] == boards[0]);
  EXPECT_TRUE(boards[2] == boards[0]);
  if (jsonschemaAvailable()) {
    // SigMF's collection schema still takes only [name, hash] tuples in
    // core:streams, where its text asks for objects (tests/capture/data/
    // README.md): that complaint, once per stream, and no other.
    EXPECT_EQ(schemaComplaints(SIGMF_COLLECTION_SCHEMA, folder / "run.sigmf-collection"),
              "collection/core:streams/0: anyOf\ncollection/core:streams/1: anyOf\n"
              "collection/core:streams/2: anyOf\n");
  }
}

TEST(GroupCapture, RawGivesOneFilePerBoardAndOffsetsGivenAlignThemToo) {
  const auto folder = scratchFolder("capture-group-raw");
  const auto run =
      runProgram(KPXADAC_CAPTURE, "--index 2,0 --align offsets:0,-5000 --samples 10000 -o cap.bin",
                 folder, {{"KPXADAC_SIM", kSharedNoise}});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(fs::file_size(folder / "cap-2.bin"), 20000u);
  EXPECT_TRUE(readFile(folder / "cap-2.bin") == readFile(folder / "cap-0.bin"));
  EXPECT_FALSE(fs::exists(folder / "cap.bin"));
}

// A group run that fails before the boards read leaves an earlier
// collection and its recordings as they were.
TEST(GroupCapture, FailingRunLeavesTheOldCollectionWhole) {
  const auto folder = scratchFolder("capture-group-existing");
  const std::vector<std::string> names = {"run.sigmf-collection", "run-0.sigmf-meta",
                                          "run-0.sigmf-data", "run-1.sigmf-meta",
                                          "run-1.sigmf-data"};
  for (const auto& name : names) std::ofstream(folder / name) << "old " << name;
  // A periodic reference: the measurement is ambiguous, the capture ends.
  const std::string tone = R"({"sources": {"ref": {"type": "tone", "frequency_hz": 1e6}},
      "boards": [{"device": 0, "input": "ref"}, {"device": 1, "input": "ref",
                  "timeline_offset": 3}]})";
  const auto run = runProgram(KPXADAC_CAPTURE,
                              "--index 0,1 --align measure --samples 1000 --format sigmf -o run",
                              folder, {{"KPXADAC_SIM", tone}});
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_NE(run.output.find("--align measure"), std::string::npos) << run.output;
  for (const auto& name : names) EXPECT_EQ(readFile(folder / name), "old " + name);
  for (const auto& entry : fs::directory_iterator(folder))
    EXPECT_NE(entry.path().extension(), ".new") << "left behind: " << entry.path();
}

// One board keeps today's recording: no collection, no group fields.
TEST(GroupCapture, OneBoardWritesNoCollectionAndNoGroupFields) {
  const auto folder = scratchFolder("capture-group-one");
  const auto run = runProgram(KPXADAC_CAPTURE, "--index 1 --samples 1000 --format sigmf -o one",
                              folder, {{"KPXADAC_SIM", kSharedNoise}});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_FALSE(fs::exists(folder / "one.sigmf-collection"));
  EXPECT_FALSE(fs::exists(folder / "one-1.sigmf-meta"));
  const json global = json::parse(readFile(folder / "one.sigmf-meta"))["global"];
  for (const auto& [key, value] : global.items())
    EXPECT_TRUE(key.starts_with("core:") || key == "kpxadac:sample_count" || key == "kpxadac:state")
        << key;
  EXPECT_FALSE(global.contains("core:collection"));
}

// ---- The collection reader -------------------------------------------------------------

TEST(SigmfCollection, SharedCasesReadAsBothReadersReadThem) {
  const json cases = json::parse(readFile(SIGMF_COLLECTIONS))["cases"];
  ASSERT_GE(cases.size(), 10u);
  for (const auto& [name, c] : cases.items()) {
    kpx::tools::SigmfCollection collection;
    const std::string reason = kpx::tools::readSigmfCollection(c["collection"].dump(), collection);
    if (c.contains("error")) {
      EXPECT_NE(reason.find(c["error"].get<std::string>()), std::string::npos)
          << name << ": " << reason;
      continue;
    }
    ASSERT_EQ(reason, "") << name;
    const json& expect = c["expect"];
    ASSERT_EQ(collection.streams.size(), expect["streams"].size()) << name;
    for (size_t i = 0; i < collection.streams.size(); ++i) {
      EXPECT_EQ(collection.streams[i].name, expect["streams"][i][0]) << name;
      EXPECT_EQ(collection.streams[i].hash, expect["streams"][i][1]) << name;
    }
    if (expect.contains("boards")) {
      EXPECT_EQ(json(collection.group.boards), expect["boards"]);
    }
    if (expect.contains("offsets")) {
      EXPECT_EQ(json(collection.group.offsets), expect["offsets"]);
    }
    if (expect.contains("drifts_ppm")) {
      EXPECT_EQ(json(collection.group.driftsPpm), expect["drifts_ppm"]);
    }
    if (expect.contains("alignment")) {
      EXPECT_EQ(collection.group.alignment, expect["alignment"]);
    }
    if (expect.contains("start_skew")) {
      EXPECT_EQ(collection.group.startSkew.value_or(-1), expect["start_skew"].get<double>());
    }
  }
}

// What collectionText() writes, collectionText's reader takes back whole.
TEST(SigmfCollection, WrittenTextReadsBack) {
  kpx::tools::SigmfCollection written;
  written.version = "1.2.6";
  written.description = "d\xff";  // not UTF-8: replaced, not thrown
  written.streams = {{"g-3", std::string(128, 'a')}, {"g-1", std::string(128, 'b')}};
  written.group = {{3, 1}, {0, 12.5}, {0, -0.25}, 7, "offsets"};
  kpx::tools::SigmfCollection read;
  ASSERT_EQ(kpx::tools::readSigmfCollection(kpx::tools::collectionText(written), read), "");
  EXPECT_EQ(read.streams.size(), 2u);
  EXPECT_EQ(read.streams[1].name, "g-1");
  EXPECT_EQ(read.group.boards, written.group.boards);
  EXPECT_EQ(read.group.offsets, written.group.offsets);
  EXPECT_EQ(read.group.driftsPpm, written.group.driftsPpm);
  EXPECT_EQ(read.group.startSkew, 7);
  EXPECT_EQ(read.group.alignment, "offsets");
  // Without the group's fields: still a collection its reader takes.
  written.group = {};
  ASSERT_EQ(kpx::tools::readSigmfCollection(kpx::tools::collectionText(written), read), "");
  EXPECT_TRUE(read.group.boards.empty());
  EXPECT_EQ(read.group.alignment, "");
}

}  // namespace
