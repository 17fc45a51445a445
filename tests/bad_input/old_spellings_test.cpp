// The options' former spellings, kept as hidden aliases for scripts: each
// old spelling runs against the new one, and both must end the same way
// (status, the file written, the words of the message), with the old unit
// converted where it had one (--chunk in bytes). Giving both spellings of
// one option is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program_runner.h"

#if defined(KPXADAC_CAPTURE) && defined(KPXADAC_GENERATE) && defined(KPXADAC_SCOPE)

namespace fs = std::filesystem;
using test_support::readFile;
using test_support::runProgram;
using test_support::scratchFolder;

namespace {

struct Spelling {
  const char* program;  // capture, generate or scope
  std::string oldArguments;
  std::string newArguments;
  int status;                      // both end with it
  const char* file;                // both write it alike ("" for none)
  std::vector<std::string> words;  // both messages hold them
};

const std::string kRampRack = R"({"boards": [{"device": 0, "signal": {"type": "ramp"}}]})";

std::string dacRack(const fs::path& played) {
  return R"({"boards": [{"device": 0, "board_id": "0x86", "output_file": ")" + played.string() +
         "\"}]}";
}

std::string programPath(const std::string& program) {
  if (program == "capture") return KPXADAC_CAPTURE;
  if (program == "generate") return KPXADAC_GENERATE;
  return KPXADAC_SCOPE;
}

const std::vector<Spelling>& spellings() {
  static const std::vector<Spelling> rows = {
      // Block size: capture's --chunk BYTES and generate's --block N are
      // --block-samples N.
      {"capture",
       "--samples 100001 --chunk 8192 --ring 2 -o out.bin",
       "--samples 100001 --block-samples 4096 --ring 2 -o out.bin",
       0,
       "out.bin",
       {}},
      {"capture",
       "--ring 4096 --chunk 66060288 -o r.bin",
       "--ring 4096 --block-samples 33030144 -o r.bin",
       1,
       "r.bin",
       {"4096 blocks of 66060288 bytes", "at most 1073741824 bytes"}},
      {"capture",
       "--chunk 4098 -o r.bin",
       "--block-samples 2049 -o r.bin",
       1,
       "r.bin",
       {"2049 is odd"}},
      {"generate",
       "--wave ramp --samples 20000 --block 4098",
       "--wave ramp --samples 20000 --block-samples 4098",
       0,
       "played.raw",
       {}},
      {"generate", "--block 3", "--block-samples 3", 1, "", {"3 is odd"}},
      {"generate", "--block 1", "--block-samples 1", 1, "", {"1 is out of range"}},
      // Averaging: the scope's --averaging is --averages.
      {"scope",
       "--port 0 --averaging 20000",
       "--port 0 --averages 20000",
       1,
       "",
       {"20000 is out of range"}},
      {"scope", "--port 0 --averaging nan", "--port 0 --averages nan", 1, "", {"not a number"}},
      // Trigger: capture's --trigger EDGE:LEVEL and --hysteresis are
      // --trigger-edge, --trigger-level and --trigger-hysteresis.
      {"capture",
       "--trigger falling:0 --hysteresis 5 --pre 3 --post 5 --records 2 -o rec.bin",
       "--trigger-edge falling --trigger-level 0 --trigger-hysteresis 5 --pre 3 --post 5 "
       "--records 2 -o rec.bin",
       0,
       "rec.bin",
       {"2 records of 8 samples"}},
      {"capture",
       "--trigger rising:-100 --pre 10 --post 10 --records 3 --format sigmf -o rec",
       "--trigger-level -100 --pre 10 --post 10 --records 3 --format sigmf -o rec",
       0,
       "rec.sigmf-data",
       {"3 records of 20 samples"}},
      {"capture",
       "--trigger rising:40000 -o x",
       "--trigger-level 40000 -o x",
       1,
       "x",
       {"40000 is out of range"}},
      {"capture",
       "--trigger rising:0 --hysteresis 70000 -o x",
       "--trigger-level 0 --trigger-hysteresis 70000 -o x",
       1,
       "x",
       {"70000 is out of range"}},
  };
  return rows;
}

struct Outcome {
  test_support::ProgramRun run;
  std::string file;
  bool fileExists = false;
};

Outcome runSpelling(const Spelling& row, const std::string& arguments, const std::string& name) {
  const fs::path folder = scratchFolder("spelling-" + name);
  const std::string rack =
      row.program == std::string("generate") ? dacRack(folder / "played.raw") : kRampRack;
  Outcome outcome;
  outcome.run = runProgram("timeout", "-k 2 20 '" + programPath(row.program) + "' " + arguments,
                           folder, {{"KPXADAC_SIM", rack}});
  if (*row.file) {
    outcome.fileExists = fs::exists(folder / row.file);
    if (outcome.fileExists) outcome.file = readFile(folder / row.file);
  }
  return outcome;
}

TEST(OldSpellings, EachOldSpellingEndsAsTheNewOne) {
  int index = 0;
  for (const Spelling& row : spellings()) {
    SCOPED_TRACE(std::string(row.program) + ": " + row.oldArguments + " | " + row.newArguments);
    const std::string name = std::to_string(index++);
    const Outcome before = runSpelling(row, row.oldArguments, name + "-old");
    const Outcome after = runSpelling(row, row.newArguments, name + "-new");
    EXPECT_EQ(before.run.status, row.status) << before.run.output;
    EXPECT_EQ(after.run.status, row.status) << after.run.output;
    if (*row.file) {
      // A refused run leaves no file; a finished one the same samples.
      EXPECT_EQ(before.fileExists, row.status == 0);
      EXPECT_EQ(after.fileExists, row.status == 0);
      EXPECT_EQ(before.file, after.file);
      if (row.status == 0) {
        EXPECT_FALSE(before.file.empty());
      }
    }
    for (const std::string& word : row.words) {
      EXPECT_NE(before.run.output.find(word), std::string::npos) << before.run.output;
      EXPECT_NE(after.run.output.find(word), std::string::npos) << after.run.output;
    }
  }
}

// Both spellings of one option at once are refused, naming both.
TEST(OldSpellings, BothSpellingsOfOneOptionAreRefused) {
  const struct {
    const char* program;
    const char* arguments;
    const char* oldName;
  } rows[] = {
      {"capture", "--chunk 8192 --block-samples 4096 -o x", "--chunk"},
      {"generate", "--block 4096 --block-samples 4096", "--block"},
      {"scope", "--port 0 --averaging 4 --averages 4", "--averaging"},
      {"capture", "--trigger rising:0 --trigger-level 0 -o x", "--trigger"},
      {"capture", "--trigger rising:0 --trigger-edge falling -o x", "--trigger"},
      {"capture", "--trigger-level 0 --hysteresis 1 --trigger-hysteresis 1 -o x", "--hysteresis"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments);
    const fs::path folder = scratchFolder("spelling-both");
    const auto run =
        runProgram("timeout", "-k 2 20 '" + programPath(row.program) + "' " + row.arguments, folder,
                   {{"KPXADAC_SIM", kRampRack}});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("excludes"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(row.oldName), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(folder / "x"));
  }
}

// The records options need the trigger in either spelling.
TEST(OldSpellings, RecordsOptionsNeedATrigger) {
  for (const char* option :
       {"--pre 10", "--post 10", "--records 1", "--holdoff 1", "--trigger-edge falling",
        "--trigger-hysteresis 1", "--hysteresis 1"}) {
    SCOPED_TRACE(option);
    const fs::path folder = scratchFolder("spelling-needs");
    const auto run = runProgram(KPXADAC_CAPTURE, std::string(option) + " -o x", folder,
                                {{"KPXADAC_SIM", kRampRack}});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("needs --trigger-level"), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(folder / "x"));
  }
}

}  // namespace

#endif
