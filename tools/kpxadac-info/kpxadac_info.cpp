// kpxadac-info: lists every board the library finds, with its identity,
// status, clock and run state and the streaming channel's error counters.
// Uses only the public library API.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "board_options.h"
#include "json_text.h"
#include "kpxadac16.h"
#include "kpxadac_board.h"
#include "kpxadc.h"
#include "tool_platform.h"

namespace {

// Exit statuses; scripts test them, so the values never change.
enum ExitStatus : int {
  kExitClean = 0,    // listed (also when no board is found)
  kExitUsage = 1,    // bad options or a rack that cannot be built: nothing was listed
  kExitFailure = 2,  // the list could not be written to standard output
};

constexpr const char* kProgram = "kpxadac-info";

struct BoardInfo {
  KpxBoardDescription description{};
  int status = 0;
  int fixedClock = 0;
  KpxClockPlan clockPlan{};
  bool adcRegistersRead = false;
  int clockSource = 0;
  int clockReady = 0;
  int running = 0;
  bool countersRead = false;
  TalvoErrorCounts counters{};
};

std::vector<BoardInfo> discoverBoards() {
  Kpxadac16_Open();
  std::vector<BoardInfo> boards(static_cast<size_t>(KpxBoard_Count()));
  for (size_t position = 0; position < boards.size(); ++position)
    KpxBoard_Describe(static_cast<int32_t>(position), &boards[position].description);
  return boards;
}

void readDetails(BoardInfo& board) {
  const BoardHandle handle = board.description.handle;
  board.status = Kpxadac16_GetBoardStatus(handle);
  board.fixedClock = Kpxadac16_GetFixedClock(handle);
  // The clock a receive set-up would choose, by the library's rule.
  KpxBoard_ClockPlan(handle, KPXSTREAM_SETUP_AUTO_CLOCK, &board.clockPlan);
  if (board.description.type == BOARD_TYPE_ADC) {
    board.adcRegistersRead = true;
    board.clockSource = KPXADC_GetClockSource(handle);
    board.clockReady = KPXADC_GetClockReady(handle);
    board.running = static_cast<int>(Kpxadac16_ReadReg(handle, KPXADC_REG_RUN) & 1u);
  }
  board.countersRead = TalvoGetError(handle, &board.counters) == 0;
}

// The identification bytes before the board ID, in the driver's order.
std::vector<int> identBytes(const KpxBoardDescription& d) {
  return {d.ident[0], d.ident[1], d.ident[2], d.ident[3], d.ident[4]};
}

const char* partOf(const KpxBoardDescription& d) {
  return d.fpgaPart[0] ? d.fpgaPart : nullptr;
}

std::string hexByte(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value & 0xFF));
  return text;
}

const char* typeName(BoardType type) {
  return type == BOARD_TYPE_DAC ? "DAC" : "ADC";
}

nlohmann::json toJson(const BoardInfo& b) {
  const KpxBoardDescription& d = b.description;
  const char* part = partOf(d);
  nlohmann::json j = {
      {"device", d.device},
      {"type", typeName(d.type)},
      {"index", d.index},
      {"board_id", hexByte(d.boardId)},
      {"expected_part", part ? nlohmann::json(part) : nlohmann::json(nullptr)},
      {"ident", identBytes(d)},
      {"status", b.status},
      {"fixed_clock", b.fixedClock},
  };
  if (b.adcRegistersRead) {
    j["clock_source"] = b.clockPlan.key;
    j["clock_source_field"] = b.clockSource;
    j["clock_ready"] = b.clockReady == 1;
    j["running"] = b.running == 1;
  }
  if (b.countersRead)
    j["errors"] = {{"rx_overrun", b.counters.rxOverrunCount},
                   {"tx_underrun", b.counters.txUnderrunCount}};
  return j;
}

void printText(const std::vector<BoardInfo>& boards) {
  std::printf("%zu board(s)\n", boards.size());
  for (const auto& b : boards) {
    const KpxBoardDescription& d = b.description;
    const char* part = partOf(d);
    std::printf("\ndevice %d: %s %d, board ID %s, FPGA part %s\n", static_cast<int>(d.device),
                typeName(d.type), static_cast<int>(d.index), hexByte(d.boardId).c_str(),
                part ? part : "(none)");
    std::printf("  identification:");
    for (int byte : identBytes(d)) std::printf(" %s", hexByte(byte).c_str());
    std::printf("\n  status byte:    %d\n", b.status);
    std::printf("  fixed clock:    %d (%s)\n", b.fixedClock, b.clockPlan.name);
    if (b.adcRegistersRead) {
      std::printf("  clock source:   field %d, %s\n", b.clockSource,
                  b.clockReady ? "ready" : "not ready");
      std::printf("  run state:      %s\n", b.running ? "running" : "stopped");
    }
    if (b.countersRead)
      std::printf("  channel errors: %u overruns, %u underruns\n", b.counters.rxOverrunCount,
                  b.counters.txUnderrunCount);
    else
      std::printf("  channel errors: unavailable\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Lists the KPX-ADAC boards with their identity, clock, run state and errors."};
  bool json = false;
  app.add_flag("--json", json, "Print one JSON document instead of text");
  if (const auto outcome = kpx::tools::parse(app, argc, argv, kProgram, kExitUsage, [] {});
      !outcome.proceed)
    return outcome.exitStatus;

  // The library prints a line on standard output for each request that
  // fails: with --json, those go to standard error, so that standard output
  // holds the JSON document alone.
  const int jsonOutput = json ? kpx::tools::takeStandardOutput() : -1;

  std::vector<BoardInfo> boards = discoverBoards();
  // A rack that could not be set up is a failure, not an empty rack.
  if (const std::string problem = KpxBoard_PlatformProblem(); !problem.empty()) {
    Kpxadac16_CloseAll();
    std::fprintf(stderr, "%s: no boards: %s\n", kProgram, problem.c_str());
    return kExitUsage;
  }
  for (auto& board : boards) readDetails(board);
  Kpxadac16_CloseAll();

  if (!json) {
    printText(boards);
    return kpx::tools::standardOutputWritten(kProgram) ? kExitClean : kExitFailure;
  }
  nlohmann::json doc = {{"boards", nlohmann::json::array()}};
  for (const auto& b : boards) doc["boards"].push_back(toJson(b));
  if (!kpx::tools::writeAll(jsonOutput, kpx::tools::jsonText(doc, 2) + "\n")) {
    std::fprintf(stderr, "%s: cannot write the JSON document to standard output: %s\n", kProgram,
                 std::strerror(errno));
    return kExitFailure;
  }
  return kExitClean;
}
