// kpxadac-info: lists every board the library finds, with its identity,
// status, clock and run state and the streaming channel's error counters.
// Uses only the public library API (and the driver's part table).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "kpxadac16.h"
#include "kpxadac_ioctl.h"
#include "kpxadc.h"
#include "tool_platform.h"

namespace {

struct BoardInfo {
  int device = -1;
  BoardHandle handle = KPXADAC_INVALID_HANDLE;
  BoardType type = BOARD_TYPE_ADC;
  int index = 0;
  int boardId = 0;
  std::vector<int> ident;  // identification bytes 0-4 as the driver sends them
  int status = 0;
  int fixedClock = 0;
  bool adcRegistersRead = false;
  int clockSource = 0;
  int clockReady = 0;
  int running = 0;
  bool countersRead = false;
  TalvoErrorCounts counters{};
};

// Registered handles, so the board that a device number added can be found.
std::set<BoardHandle> registeredHandles() {
  std::set<BoardHandle> handles;
  for (BoardType type : {BOARD_TYPE_ADC, BOARD_TYPE_DAC})
    for (int index = 0; index < 256; ++index) {
      BoardHandle h = Kpxadac16_GetHandle(type, static_cast<uint8_t>(index));
      if (h == KPXADAC_INVALID_HANDLE) break;
      handles.insert(h);
    }
  return handles;
}

// Opens the devices one by one so each board's device number is known.
std::vector<BoardInfo> discoverBoards() {
  std::vector<BoardInfo> boards;
  for (int device = kpx::driver::kFirstDevice; device <= kpx::driver::kLastDevice; ++device) {
    auto before = registeredHandles();
    if (!Kpxadac16_OpenBoard(static_cast<uint8_t>(device))) continue;
    for (BoardType type : {BOARD_TYPE_ADC, BOARD_TYPE_DAC})
      for (int index = 0; index < 256; ++index) {
        BoardHandle h = Kpxadac16_GetHandle(type, static_cast<uint8_t>(index));
        if (h == KPXADAC_INVALID_HANDLE) break;
        if (before.count(h)) continue;
        BoardInfo info;
        info.device = device;
        info.handle = h;
        info.type = type;
        info.index = index;
        info.boardId = Kpxadac16_GetBoardId(type, static_cast<uint8_t>(index));
        boards.push_back(info);
      }
  }
  return boards;
}

void readDetails(BoardInfo& board) {
  uint8_t ident[6] = {};
  if (Kpxadac16_GetBoardInfo(board.handle, ident) == 0) {
    // The query hands bytes 3 and 4 over exchanged; show them in driver order.
    board.ident = {ident[0], ident[1], ident[2], ident[4], ident[3]};
  }
  board.status = Kpxadac16_GetBoardStatus(board.handle);
  board.fixedClock = Kpxadac16_GetFixedClock(board.handle);
  if (board.type == BOARD_TYPE_ADC) {
    board.adcRegistersRead = true;
    board.clockSource = KPXADC_GetClockSource(board.handle);
    board.clockReady = KPXADC_GetClockReady(board.handle);
    board.running = static_cast<int>(Kpxadac16_ReadReg(board.handle, KPXADC_REG_RUN) & 1u);
  }
  board.countersRead = TalvoGetError(board.handle, &board.counters) == 0;
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
  const char* part = kpx::driver::expectedPart(b.boardId);
  nlohmann::json j = {
      {"device", b.device},
      {"type", typeName(b.type)},
      {"index", b.index},
      {"board_id", hexByte(b.boardId)},
      {"expected_part", part ? nlohmann::json(part) : nlohmann::json(nullptr)},
      {"ident", b.ident},
      {"status", b.status},
      {"fixed_clock", b.fixedClock},
  };
  if (b.adcRegistersRead) {
    j["clock_source"] = b.fixedClock > 0 ? "fixed" : "synthesizer";
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
    const char* part = kpx::driver::expectedPart(b.boardId);
    std::printf("\ndevice %d: %s %d, board ID %s, FPGA part %s\n", b.device, typeName(b.type),
                b.index, hexByte(b.boardId).c_str(), part ? part : "(none)");
    std::printf("  identification:");
    for (int byte : b.ident) std::printf(" %s", hexByte(byte).c_str());
    std::printf("\n  status byte:    %d\n", b.status);
    std::printf("  fixed clock:    %d (%s)\n", b.fixedClock,
                b.fixedClock > 0 ? "onboard fixed clock" : "clock synthesizer");
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
  CLI11_PARSE(app, argc, argv);

  // The library prints a line on standard output for each request that
  // fails: with --json, those go to standard error, so that standard output
  // holds the JSON document alone.
  const int jsonOutput = json ? tool::takeStandardOutput() : -1;

  std::vector<BoardInfo> boards = discoverBoards();
  for (auto& board : boards) readDetails(board);
  Kpxadac16_CloseAll();

  if (!json) {
    printText(boards);
    return 0;
  }
  nlohmann::json doc = {{"boards", nlohmann::json::array()}};
  for (const auto& b : boards) doc["boards"].push_back(toJson(b));
  if (!tool::writeAll(jsonOutput, doc.dump(2) + "\n")) {
    std::fprintf(stderr, "kpxadac-info: cannot write the JSON document to standard output\n");
    return 1;
  }
  return 0;
}
