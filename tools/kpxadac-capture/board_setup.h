// Finds the board and loads its FPGA image when asked for; the stream then
// sets up the sample clock (when opened), the run state, custom register
// cReg0 and the channel reset (when started), in the receive demo's order.
// Each step returns "" or the reason it failed.
#pragma once

#include <cstdint>
#include <string>

#include "capture_options.h"
#include "kpxadac16.h"
#include "kpxadac_stream.h"

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

struct RingSize {
  unsigned blocks = 2;
  bool cutToMemoryLimit = false;  // the seconds asked for need more than kMaxRingBytes
};

// The blocks of a ring that holds --ring-seconds of samples at `rateHz`:
// at least 2, at most kMaxRingBuffers and kMaxRingBytes.
RingSize ringForSeconds(const Options& options, double rateHz);

// Opens the receive stream, which selects the clock; `synthesizer` tells
// which one is in use. `ring` is the ring's size unless --ring gives it.
std::string openStream(const BoardChoice& board, const Options& options, const RingSize& ring,
                       KpxStream*& stream, bool& synthesizer);

// Starts the ADC, writes cReg0, resets the channel and starts reading.
std::string startStream(KpxStream* stream);

}  // namespace capture
