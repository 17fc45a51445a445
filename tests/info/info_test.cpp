// kpxadac-info run as a program against configured virtual boards.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "program_runner.h"

using nlohmann::json;
using test_support::ProgramRun;
using test_support::runProgram;
using test_support::scratchFolder;

namespace {

ProgramRun info(const std::string& name, const std::string& rack, const std::string& arguments) {
  return runProgram(KPXADAC_INFO, arguments, scratchFolder("info-" + name), {{"KPXADAC_SIM", rack}},
                    /*errorsApart=*/true);
}

// Standard output as one JSON document, or a test failure that shows it.
json parsed(const ProgramRun& run) {
  json document = json::parse(run.output, nullptr, /*allow_exceptions=*/false);
  EXPECT_FALSE(document.is_discarded()) << "not JSON on standard output:\n" << run.output;
  return document;
}

TEST(InfoJson, DescribesEachBoardOfTheRack) {
  const std::string rack = R"({"boards": [
      {"device": 2, "board_id": "0x8A", "fixed_clock": 1, "rx_overrun": 5},
      {"device": 7, "board_id": "0x86", "ident": [1, 2, 3, 4, 5]}]})";
  auto run = info("rack", rack, "--json");
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  const json boards = parsed(run)["boards"];
  ASSERT_EQ(boards.size(), 2u) << run.output;
  EXPECT_EQ(boards[0]["device"], 2);
  EXPECT_EQ(boards[0]["type"], "ADC");
  EXPECT_EQ(boards[0]["board_id"], "0x8A");
  EXPECT_EQ(boards[0]["clock_source"], "fixed");
  EXPECT_EQ(boards[0]["errors"]["rx_overrun"], 5);
  EXPECT_EQ(boards[1]["device"], 7);
  EXPECT_EQ(boards[1]["type"], "DAC");
  EXPECT_EQ(boards[1]["ident"], json({1, 2, 3, 4, 5}));
  EXPECT_FALSE(boards[1].contains("clock_source"));

  auto empty = info("no-boards", "none", "--json");
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(parsed(empty), json({{"boards", json::array()}}));
}

TEST(InfoJson, FailingRequestsAreReportedOnStandardErrorOnly) {
  // Every register read and the counter request of the ADC board fail; the
  // library prints a line for each of them.
  const std::string rack = R"({"boards": [
      {"device": 0, "faults": [{"op": "IOCTL_GET_HSREG", "error": 31},
                               {"op": "IOCTL_GET_TALVO_ERROR", "error": 31}]},
      {"device": 1, "board_id": "0x86"}]})";
  auto run = info("failing", rack, "--json");
  EXPECT_EQ(run.status, 0) << run.errors;
  const json boards = parsed(run)["boards"];
  ASSERT_EQ(boards.size(), 2u) << run.output;
  EXPECT_FALSE(boards[0].contains("errors")) << "the counters could not be read";
  EXPECT_EQ(boards[1]["errors"]["tx_underrun"], 0);
  EXPECT_NE(run.errors.find("IOCTL_GET_HSREG failed:  31\n"), std::string::npos) << run.errors;
  EXPECT_NE(run.errors.find("IOCTL_GET_TALVO_ERROR failed:  31\n"), std::string::npos)
      << run.errors;

  // Without --json the lines stay where the library puts them, among the text.
  auto text = info("failing-text", rack, "");
  EXPECT_NE(text.output.find("IOCTL_GET_TALVO_ERROR failed:  31\n"), std::string::npos)
      << text.output;
  EXPECT_NE(text.output.find("channel errors: unavailable"), std::string::npos) << text.output;
}

TEST(InfoJson, AFailedFixedClockQueryNamesTheClockTheStreamWouldUse) {
  // The library counts a failed query as the fixed clock; info says so too.
  const std::string rack =
      R"({"boards": [{"device": 0, "faults": [{"op": "IOCTL_GET_FIXED_CLOCK", "error": 31}]}]})";
  auto run = info("failed-clock", rack, "--json");
  EXPECT_EQ(run.status, 0) << run.errors;
  const json boards = parsed(run)["boards"];
  ASSERT_EQ(boards.size(), 1u) << run.output;
  EXPECT_EQ(boards[0]["fixed_clock"], -2);
  EXPECT_EQ(boards[0]["clock_source"], "fixed");
  auto text = info("failed-clock-text", rack, "");
  EXPECT_NE(text.output.find("fixed clock:    -2 (onboard fixed clock)\n"), std::string::npos)
      << text.output;
}

}  // namespace
