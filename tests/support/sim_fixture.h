// Test fixture: a fresh virtual rack and an empty registry for every test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kpxadac16.h"
#include "test_backend.h"

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { useRack("none"); }
  void TearDown() override { Kpxadac16_CloseAll(); }

  // Forgets every registered board and builds the rack from `config`
  // (KPXADAC_SIM syntax), with an empty journal.
  void useRack(const std::string& config) {
    if (const std::string missing = testbed::driverMissing(); !missing.empty())
      GTEST_SKIP() << missing;
    Kpxadac16_CloseAll();
    ASSERT_EQ(testbed::configure(config), "");
    testbed::clearJournal();
  }

  BoardHandle board = -1;

  // A rack with one board at device 0 with `boardId`, described further by
  // the JSON keys in `settings` (for example R"("faults": [...])"); the
  // board is registered and the journal emptied.
  void openBoard(const std::string& settings = "", int boardId = 0x8A) {
    std::string extra = settings.empty() ? "" : ", " + settings;
    useRack(R"({"boards": [{"device": 0, "board_id": )" + std::to_string(boardId) + extra + "}]}");
    Kpxadac16_Open();
    board = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
    if (board == -1) board = Kpxadac16_GetHandle(BOARD_TYPE_DAC, 0);
    ASSERT_NE(board, -1);
    testbed::clearJournal();
  }

  // The journal entries of control requests with `code`.
  static std::vector<testbed::JournalEntry> requests(uint32_t code) {
    std::vector<testbed::JournalEntry> out;
    for (auto& e : testbed::journal())
      if (e.op == "control" && e.code == code) out.push_back(e);
    return out;
  }
};
