// Fixture for the ADC board's register-level operations: one virtual ADC
// board, and the register requests that reached it, in order.
#pragma once

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "kpxadac_ioctl.h"
#include "kpxadc.h"
#include "sim_fixture.h"

// One register request: a read of `offset`, or a write of `value` to it.
struct RegisterOp {
  bool write = false;
  uint32_t offset = 0;
  uint32_t value = 0;
  bool operator==(const RegisterOp&) const = default;
};

inline RegisterOp Read(uint32_t offset) {
  return {false, offset, 0};
}
inline RegisterOp Write(uint32_t offset, uint32_t value) {
  return {true, offset, value};
}

inline std::ostream& operator<<(std::ostream& out, const RegisterOp& op) {
  out << (op.write ? "W " : "R ") << std::hex << "0x" << op.offset;
  if (op.write) out << " = 0x" << op.value;
  return out << std::dec;
}

// `count` reads of `offset` in a row.
inline std::vector<RegisterOp> Reads(uint32_t offset, size_t count) {
  return std::vector<RegisterOp>(count, Read(offset));
}

inline std::vector<RegisterOp> operator+(std::vector<RegisterOp> a,
                                         const std::vector<RegisterOp>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class AdcTest : public SimTest {
 protected:
  static void poke(uint32_t offset, uint32_t value) { testbed::pokeRegister(0, offset, value); }
  static uint32_t peek(uint32_t offset) { return testbed::peekRegister(0, offset); }

  // Every register request since the journal was last cleared; any other
  // request fails the test.
  static std::vector<RegisterOp> registerOps() {
    std::vector<RegisterOp> ops;
    for (const auto& e : testbed::journal()) {
      EXPECT_EQ(e.op, "control");
      uint32_t words[2] = {};
      std::memcpy(words, e.in.data(), std::min<size_t>(e.in.size(), sizeof words));
      if (e.code == kpx::driver::IOCTL_GET_HSREG)
        ops.push_back(Read(words[0]));
      else if (e.code == kpx::driver::IOCTL_WRITE_SET_HSREG)
        ops.push_back(Write(words[0], words[1]));
      else
        ADD_FAILURE() << "unexpected request " << kpx::driver::requestName(e.code);
    }
    return ops;
  }
};
