// The description of a virtual rack, as read from KPXADAC_SIM or configure().
// docs/virtual-boards.md gives every key with its default and meaning.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/files.h"
#include "virtual_boards/signal_generator.h"
#include "virtual_boards/timeline.h"

namespace kpx::sim {

// A countdown measured in register reads; nullopt means "never".
using ReadCount = std::optional<uint32_t>;

// One injected fault: the first `skip` operations named `op` go through, the
// next `count` (all of them when absent) are changed as described.
struct FaultRule {
  std::string op;       // request name, or open/close/read/write/cancel
  uint32_t error = 31;  // last error of a failed operation
  uint32_t skip = 0;
  std::optional<uint32_t> count;     // absent: every later operation
  std::optional<uint32_t> returned;  // succeed, moving at most this many bytes
  uint32_t rxOverrun = 0;            // added to the channel's counters
  uint32_t txUnderrun = 0;
  // A rule with `returned` or only counter effects lets the operation succeed.
  bool fails = true;
};

// The largest rack description read, from a file or as text: far beyond
// any real rack (64 boards with their registers take a few hundred KiB).
inline constexpr size_t kMaxRackBytes = size_t{16} << 20;

// A DAC board's output file, opened while the rack was read and closed with
// the last board that uses it.
struct OutputFile {
  OutputFile(platform::FileHandle file, std::string name) : handle(file), path(std::move(name)) {}
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();
  platform::FileHandle handle;
  std::string path;
};

// 4 Mi samples (8 MiB): 40 ms of the 105 MHz synthesizer clock.
inline constexpr uint64_t kDefaultFifoDepthSamples = uint64_t{4} << 20;
// The largest FIFO a configuration may give (the FIFO holds no memory).
inline constexpr uint64_t kMaxFifoDepthSamples = uint64_t{1} << 40;

// Where a board's samples come from: its own "signal", a rack source on the
// timeline, or a DAC board's output through a device model.
struct BoardInput {
  enum class Kind { kSignal, kSource, kDac };
  Kind kind = Kind::kSignal;
  std::string source;  // kSource: the source's name (its settings are the board's signal)
  int dac = -1;        // kDac: the DAC board's device
  ThroughSettings through;
};

struct BoardConfig {
  int device = 0;
  int boardId = 0x8A;
  uint8_t fixedClock = 0;
  std::array<uint8_t, 5> ident{0x4B, 0x50, 0x58, 0x01, 0x00};  // "KPX", version 1.0
  uint8_t status = 0;
  std::unordered_map<uint32_t, uint32_t> registers;  // initial values
  SignalSettings signal;
  ReadCount readyAfterReads = 3;
  ReadCount busyReads = 3;
  ReadCount tableBusyReads = 2;
  ReadCount sequenceReads = 3;
  uint8_t sequenceResult = 4;
  double synthesizerRateHz = 105e6;
  double fixedClockRateHz = 100e6;
  uint32_t readTimeoutMs = 20;
  // Real-time channel: reads wait for the sample clock and a FIFO of
  // `fifoDepthSamples` 16-bit samples overflows when the host falls behind
  // (on DAC boards: writes fill a FIFO that the clock drains).
  bool realtime = false;
  uint64_t fifoDepthSamples = kDefaultFifoDepthSamples;
  uint32_t bitstreamResult = 0;
  uint32_t rxOverrun = 0;
  uint32_t txUnderrun = 0;
  std::vector<FaultRule> faults;
  // DAC boards: the samples played are appended to this raw 16-bit
  // little-endian file (empty: none), open as `output`.
  std::string outputFile;
  std::shared_ptr<OutputFile> output;
  // The shared world (docs/virtual-boards.md, "Sources and wiring").
  BoardInput input;
  double timelineOffset = 0;  // unpaced boards on a source, in samples
  double clockPpm = 0;
  bool feedsAdc = false;  // a DAC board whose output an ADC board takes
};

struct RackConfig {
  std::vector<BoardConfig> boards;
  std::vector<std::pair<std::string, SignalSettings>> sources;  // "sources", by name
  bool journal = false;  // "journal": true records every operation (test hook)
};

// Parses the JSON text of a rack. Returns the reason on failure.
std::optional<std::string> parseRackJson(std::string_view text, RackConfig& rack);

// Builds a rack from a KPXADAC_SIM value: "" the default rack, "none" no
// boards, text starting with '{' inline JSON, anything else a file path.
// Returns the reason on failure; `rack` is then empty.
std::optional<std::string> loadRackConfig(std::string_view value, RackConfig& rack);

}  // namespace kpx::sim
