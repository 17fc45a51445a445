// The request trace: one JSON line per device operation, appended to the
// file that KPXADAC_TRACE names. Fields are listed in docs/trace.md.
#pragma once

#include <atomic>
#include <cstdint>

namespace kpx::platform::trace {

// True once KPXADAC_TRACE named a file that could be opened, until a write
// to it fails. Read with one load on every device call, so the trace costs
// one test while it is off.
extern std::atomic<bool> enabled;

// Reads KPXADAC_TRACE; called once, at the first device open.
void start();

// Remembers which board number a handle belongs to.
void rememberDevice(intptr_t handle, int device);
void forgetDevice(intptr_t handle);

void open(const char* path, intptr_t handle, bool ok, uint32_t error, uint32_t access,
          uint32_t share, uint32_t disposition, uint32_t flags);
void close(intptr_t handle, bool ok, uint32_t error);
void control(intptr_t handle, uint32_t code, const void* in, uint32_t inLength, const void* out,
             uint32_t outLength, uint32_t returned, bool ok, uint32_t error);
void transfer(const char* op, intptr_t handle, uint32_t length, uint32_t returned, bool ok,
              uint32_t error);
void cancel(intptr_t handle, bool ok, uint32_t error);
// Virtual boards: where a board's sample 0 lies on the rack's timeline
// ("op":"timeline"), written when that place is set.
void timeline(int device, const char* input, double offset, double clockPpm);

}  // namespace kpx::platform::trace
