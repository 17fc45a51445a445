// kpxadac-generate's inputs and the board's output as files: every path
// that is not a regular file is refused with what it is, a recording is
// played as far as its metadata describes it, an odd byte is an error, and
// a DAC whose output file cannot be written fails the run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "bad_files.h"
#include "program_runner.h"

namespace fs = std::filesystem;
using test_support::readFile;
using test_support::runProgram;
using test_support::scratchFolder;

#ifndef _WIN32
namespace {

std::string dacRack(const std::string& output) {
  return R"({"boards": [{"device": 0, "board_id": "0x86", "output_file": ")" + output + "\"}]}";
}

void writeBytes(const fs::path& path, size_t count) {
  std::ofstream out(path, std::ios::binary);
  for (size_t k = 0; k < count; ++k) out.put(static_cast<char>(k));
}

const nlohmann::json kMeta = {{"global", {{"core:datatype", "ri16_le"}, {"core:sample_rate", 1e6}}},
                              {"captures", {{{"core:sample_start", 0}}}}};

TEST(GenerateInput, FilesThatAreNotWhatTheReaderReadsAreRefusedWithWhatTheyAre) {
  const struct {
    std::string name;
    std::optional<uint64_t> limit;
    std::string link;  // the name that links to the bad file, or "" to name it
  } readers[] = {
      {"metadata", uint64_t{1} << 30, "rec.sigmf-meta"},
      {"data", std::nullopt, "rec.sigmf-data"},
      {"raw", std::nullopt, ""},
  };
  for (const auto& reader : readers) {
    const fs::path folder = scratchFolder("generate-bad-" + reader.name);
    std::ofstream(folder / "rec.sigmf-meta") << kMeta.dump();
    writeBytes(folder / "rec.sigmf-data", 4096);
    for (const auto& bad : test_support::badInputFiles(folder, reader.limit)) {
      SCOPED_TRACE(reader.name + ", " + bad.what);
      std::string named = bad.path;
      if (!reader.link.empty()) {
        fs::remove(folder / reader.link);
        fs::create_symlink(bad.path, folder / reader.link);
        named = reader.link;
      }
      const std::string input = reader.link.empty() ? bad.path : "rec";
      // A reader that waits on the FIFO is ended after 20 s (status 124).
      const auto run = runProgram("timeout",
                                  "20 " + std::string(KPXADAC_GENERATE) + " --wave file --input '" +
                                      input + "' --sample-rate 1e6",
                                  folder, {{"KPXADAC_SIM", dacRack("played.raw")}}, true);
      EXPECT_EQ(run.status, 2) << run.errors;
      EXPECT_NE(run.errors.find(bad.words), std::string::npos) << run.errors;
      EXPECT_NE(run.errors.find(named), std::string::npos) << run.errors;
    }
  }
}

TEST(GenerateInput, RecordingPlaysWhatItsMetadataDescribesAndAnOddByteIsAnError) {
  const fs::path folder = scratchFolder("generate-odd");
  const auto generate = [&](const std::string& input) {
    fs::remove(folder / "played.raw");
    return runProgram(KPXADAC_GENERATE, "--wave file --input " + input + " --sample-rate 1e6",
                      folder, {{"KPXADAC_SIM", dacRack("played.raw")}}, true);
  };
  // A raw file of an odd length is refused before anything plays.
  writeBytes(folder / "odd.raw", 4097);
  auto run = generate("odd.raw");
  EXPECT_EQ(run.status, 2) << run.errors;
  EXPECT_NE(run.errors.find("4097 bytes, an odd count"), std::string::npos) << run.errors;
  EXPECT_FALSE(fs::exists(folder / "played.raw") && fs::file_size(folder / "played.raw") > 0);

  // Standard input that ends with an odd byte fails the run.
  run = runProgram("/bin/sh",
                   "-c \"head -c 4097 /dev/zero | '" + std::string(KPXADAC_GENERATE) +
                       "' --wave file --input - --sample-rate 1e6\"",
                   folder, {{"KPXADAC_SIM", dacRack("played.raw")}}, true);
  EXPECT_NE(run.status, 0) << run.errors;
  EXPECT_NE(run.errors.find("standard input ended with an odd byte"), std::string::npos)
      << run.errors;

  // SigMF: the samples the metadata describes, the bytes after them ignored
  // with a warning.
  nlohmann::json meta = kMeta;
  meta["global"]["kpxadac:sample_count"] = 1000;
  std::ofstream(folder / "rec.sigmf-meta") << meta.dump();
  writeBytes(folder / "rec.sigmf-data", 4097);
  run = generate("rec");
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(readFile(folder / "played.raw").size(), 2000u);
  EXPECT_NE(run.errors.find("2097 trailing bytes ignored"), std::string::npos) << run.errors;
}

TEST(GenerateInput, DacOutputFileThatCannotBeWrittenFailsTheRun) {
  const fs::path folder = scratchFolder("generate-full");
  const auto run = runProgram(KPXADAC_GENERATE, "--wave ramp --samples 100000", folder,
                              {{"KPXADAC_SIM", dacRack("/dev/full")}}, true);
  EXPECT_NE(run.status, 0) << run.errors;
  EXPECT_NE(run.errors.find("output_file \"/dev/full\""), std::string::npos) << run.errors;
  EXPECT_NE(run.errors.find("write failed"), std::string::npos) << run.errors;
}

}  // namespace
#endif
