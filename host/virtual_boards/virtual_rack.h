// Virtual boards: a model of the KPX-ADAC boards and of their driver.
//
// The virtual device backend of the platform layer calls the device entry
// points below; tests and tools use the rest to build racks, look at what
// reached the driver and steer timing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kpx::sim {

using Handle = intptr_t;

// ---- Device entry points ----------------------------------------------
// Each returns 0 on success or the Windows error number of the failure.
// The rack is built from KPXADAC_SIM at the first call of openDevice in the
// process, unless configure() has built one already.
uint32_t openDevice(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                    uint32_t flags, Handle* handle);
uint32_t closeDevice(Handle handle);
uint32_t control(Handle handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned);
uint32_t readDevice(Handle handle, void* buffer, uint32_t length, uint32_t* moved);
uint32_t writeDevice(Handle handle, const void* buffer, uint32_t length, uint32_t* moved);
uint32_t cancelIo(Handle handle);

// ---- Rack configuration ---------------------------------------------------
// Replaces the rack with the one described by `config`, with the meaning
// KPXADAC_SIM has ("" or unset: the default rack; "none"; inline JSON
// starting with '{'; otherwise a file path). Handles open on the old rack
// become invalid. Returns "" on success, otherwise the reason, and the rack
// is then empty.
std::string configure(std::string_view config);
// Why the rack in use could not be built as asked ("" when it was), building
// it from KPXADAC_SIM first if no board operation has yet.
std::string rackProblem();
// Forgets the rack, as if no board operation had happened yet: the next
// openDevice builds it from KPXADAC_SIM again. Open handles become invalid.
void resetToEnvironment();

// ---- Journal: every operation that reached the virtual driver -------------
// At most the last kJournalCapacity entries are kept.
inline constexpr size_t kJournalCapacity = 100000;
struct JournalEntry {
  std::string op;     // "open", "close", "control", "read", "write", "cancel"
  int device = -1;    // from the handle or the name; -1 when neither gives one
  uint32_t code = 0;  // control requests
  // Control requests: the whole input block (the first 1 MiB of a larger
  // one). Reads: the first 64 bytes delivered; writes: the first 64 bytes
  // written. Open: the device name.
  std::vector<uint8_t> in{};
  uint32_t inLength = 0;
  uint32_t outLength = 0;
  uint32_t length = 0;  // read and write length
  bool ok = false;
  uint32_t error = 0;
  uint32_t returned = 0;  // bytes returned / moved
};
std::vector<JournalEntry> journal();
void clearJournal();
// Off, nothing is recorded. Off by default; configure() and a rack with
// "journal": true turn it on.
void setJournalEnabled(bool enabled);

// ---- Direct board access for tests and tools (not journaled) -------------
// For a device that is not in the rack: reads give 0, "" or false and writes
// do nothing.
// The register as a read would show it, without counting as a read.
uint32_t peekRegister(int device, uint32_t offset);
// Sets the register outright; a handshake running on it (clock ready or
// busy, table busy, sequence) ends without completing.
void pokeRegister(int device, uint32_t offset, uint32_t value);
// Part name found in the last downloaded image ("" for none or no header).
std::string loadedPart(int device);
// Whether an image has been downloaded (status bit 0).
bool fpgaConfigured(int device);
// Whether some handle holds the driver-side lock.
bool isLocked(int device);
// Whether a synthesizer start (clock register bits 3 and 6) has completed.
bool synthesizerProgrammed(int device);
// Samples per second of the board's streaming channel.
double sampleRate(int device);
// Index of the next sample the channel delivers (0 after IOCTL_TALVO_RESET).
uint64_t channelSampleIndex(int device);
// The value of sample `index` of the board's signal (or input), as a read
// would deliver it now.
int16_t signalSample(int device, uint64_t index);
// Where the board's sample 0 lies on the rack's timeline, in samples: the
// configured "timeline_offset" of an unpaced board; for a real-time board
// the position at which its clock (the DAC's on a DAC board) started after
// the last channel reset, NaN before that. NaN for a device not in the rack.
double trueTimelineOffset(int device);
// The board's "clock_ppm" (0 unless configured); NaN for no board.
double trueClockPpm(int device);
// The board's FPGA memory, read and written directly.
std::vector<uint8_t> peekFpgaMemory(int device, uint64_t address, size_t length);

// ---- Gate: holds one operation inside the driver --------------------------
// The next operation named `op` (a request name such as "IOCTL_GET_BOARD_STATUS",
// or "read", "write", ...) on `device` stops inside the driver until
// releaseGate(); waitForGate() returns once such an operation is held.
void setGate(int device, std::string_view op);
void waitForGate();
void releaseGate();

}  // namespace kpx::sim
