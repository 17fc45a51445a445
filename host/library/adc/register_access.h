// Small helpers for the ADC board's register-level operations: each change
// is one read of a register followed by writes built from that one value.
#pragma once

#include <cstdint>

#include "kpxadac16.h"

namespace kpx::adc {

// Bounded wait used by the clock and table handshakes: that many reads in a
// row, with no pause.
inline constexpr int kHandshakeReads = 500;

inline uint32_t readRegister(BoardHandle handle, uint32_t offset) {
  return Kpxadac16_ReadReg(handle, offset);
}

inline void writeRegister(BoardHandle handle, uint32_t offset, uint32_t value) {
  Kpxadac16_WriteReg(handle, offset, value);
}

inline uint32_t withBit(uint32_t value, int bit, bool set) {
  uint32_t mask = 1u << bit;
  return set ? (value | mask) : (value & ~mask);
}

// `value` with the bits of `mask` cleared and `bits` ORed in. `bits` is not
// reduced to `mask`: callers place values that fit.
inline uint32_t withField(uint32_t value, uint32_t mask, uint32_t bits) {
  return (value & ~mask) | bits;
}

inline int32_t bitOf(uint32_t value, int bit) { return static_cast<int32_t>((value >> bit) & 1u); }

// Reads the register, sets or clears one bit, writes it back. Returns 1.
inline int32_t writeBit(BoardHandle handle, uint32_t offset, int bit, bool set) {
  writeRegister(handle, offset, withBit(readRegister(handle, offset), bit, set));
  return 1;
}

// Reads `offset` up to kHandshakeReads times; true at the first read whose
// `bit` equals `wanted`.
inline bool pollBit(BoardHandle handle, uint32_t offset, int bit, int32_t wanted) {
  for (int i = 0; i < kHandshakeReads; ++i)
    if (bitOf(readRegister(handle, offset), bit) == wanted) return true;
  return false;
}

}  // namespace kpx::adc
