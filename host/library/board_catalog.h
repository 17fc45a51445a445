// What the library keeps about each registered board beside its registry
// record: the device number it was opened by, the identification bytes of
// its registration, the rate of its fixed clock and the clock the library
// last set up. Guarded by a lock of its own, so a description may be read
// while another thread streams.
#pragma once

#include <cstdint>
#include <optional>

#include "kpxadac16.h"

namespace kpx::catalog {

struct BoardFacts {
  int32_t device = -1;
  uint8_t ident[6] = {};
  double fixedClockRateHz = 0;  // 0: the default
  int32_t clockSetUp = 0;       // KPXBOARD_CLOCK_*: what the library last set up
  uint64_t registration = 0;    // order of registration, for boards without a device
};

void noteRegistered(BoardHandle handle, const uint8_t ident[6]);
void noteDevice(BoardHandle handle, int32_t device);
void noteClock(BoardHandle handle, int32_t clock);
void noteFixedClockRate(BoardHandle handle, double rateHz);
void forget(BoardHandle handle);
void forgetAll();

std::optional<BoardFacts> factsOf(BoardHandle handle);

}  // namespace kpx::catalog
