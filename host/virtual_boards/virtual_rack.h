// Virtual boards: a model of the KPX-ADAC boards and of their driver.
//
// The virtual device backend of the platform layer calls the device entry
// points below; tests and tools use the rest to build racks, look at what
// reached the driver and steer timing.
#pragma once

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

// ---- Journal: every operation that reached the virtual driver -------------
struct JournalEntry {
  std::string op;  // "open", "close", "control", "read", "write", "cancel"
  int device = -1;
  uint32_t code = 0;             // control requests
  std::vector<uint8_t> in;       // whole input block of a control request
  uint32_t inLength = 0;
  uint32_t outLength = 0;
  uint32_t length = 0;           // read and write length
  bool ok = false;
  uint32_t error = 0;
  uint32_t returned = 0;         // bytes returned / moved
};
std::vector<JournalEntry> journal();
void clearJournal();

// ---- Direct board access for tests and tools (not journaled) -------------
uint32_t peekRegister(int device, uint32_t offset);
void pokeRegister(int device, uint32_t offset, uint32_t value);

// ---- Gate: holds one operation inside the driver --------------------------
// The next operation named `op` (a request name such as "IOCTL_GET_BOARD_STATUS",
// or "read", "write", ...) on `device` stops inside the driver until
// releaseGate(); waitForGate() returns once such an operation is held.
void setGate(int device, std::string_view op);
void waitForGate();
void releaseGate();

}  // namespace kpx::sim
