// Test fixture: a fresh virtual rack and an empty registry for every test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kpxadac16.h"
#include "virtual_boards/virtual_rack.h"

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { useRack("none"); }
  void TearDown() override { Kpxadac16_CloseAll(); }

  // Forgets every registered board and builds the rack from `config`
  // (KPXADAC_SIM syntax), with an empty journal.
  void useRack(const std::string& config) {
    Kpxadac16_CloseAll();
    ASSERT_EQ(kpx::sim::configure(config), "");
    kpx::sim::clearJournal();
  }

  // The journal entries of control requests with `code`.
  static std::vector<kpx::sim::JournalEntry> requests(uint32_t code) {
    std::vector<kpx::sim::JournalEntry> out;
    for (auto& e : kpx::sim::journal())
      if (e.op == "control" && e.code == code) out.push_back(e);
    return out;
  }
};
