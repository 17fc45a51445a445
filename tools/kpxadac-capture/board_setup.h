// Gets a board ready to stream, in the order the receive demo uses: FPGA
// image (when asked for), sample clock, run state, custom register cReg0,
// channel reset. Each step returns "" or the reason it failed.
#pragma once

#include <cstdint>
#include <string>

#include "capture_options.h"
#include "kpxadac16.h"

namespace capture {

struct BoardChoice {
  BoardHandle handle = KPXADAC_INVALID_HANDLE;
  unsigned index = 0;
  int boardId = 0;
  const char* typeName = "ADC";
};

// Finds and registers the boards and picks the one the options name.
std::string findBoard(const Options& options, BoardChoice& board);

// Loads a .bit file; anything but the driver's success (0) is refused.
std::string loadBitstream(const BoardChoice& board, const std::string& path);

// Selects the clock; `synthesizer` tells which one is in use.
std::string setUpClock(const BoardChoice& board, ClockChoice choice, bool& synthesizer);

// Starts the ADC, writes cReg0, resets the channel and reads the receive
// overrun counter as the base that later readings are compared with.
std::string startChannel(const BoardChoice& board, uint32_t& overrunCount);

}  // namespace capture
