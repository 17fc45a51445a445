// Fixture for the ADC board's register-level operations: one virtual ADC
// board, and the register requests that reached it, in order.
#pragma once

#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>
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

using Ops = std::vector<RegisterOp>;

// Two lists of requests, or of steps, one after the other.
template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A register and its value, set before a step or expected after it.
struct RegisterValue {
  uint32_t offset = 0;
  uint32_t value = 0;
};

// One call of a table: its text for the trace and the call itself, whose
// result is widened to int64_t (0 for calls that return nothing).
struct Call {
  std::string text;
  std::function<int64_t(BoardHandle)> run;
};

// An argument as the trace shows it: small numbers in decimal, others in
// hex, pointers as set or null.
template <typename A>
std::string argumentText(A arg) {
  std::ostringstream out;
  if constexpr (std::is_pointer_v<A>)
    out << (arg ? "entries" : "nullptr");
  else if (arg > 255)
    out << "0x" << std::hex << static_cast<uint64_t>(arg);
  else
    out << static_cast<int64_t>(arg);
  return out.str();
}

// `fn` called on the board with `args`, named with their values.
template <typename R, typename... P, typename... A>
Call bindCall(const char* name, R (*fn)(BoardHandle, P...), A... args) {
  static_assert(sizeof...(P) == sizeof...(A), "wrong number of arguments");
  std::string text;
  ((text += (text.empty() ? "" : ", ") + argumentText(static_cast<P>(args))), ...);
  return {std::string(name) + "(" + text + ")", [=](BoardHandle board) -> int64_t {
            if constexpr (std::is_void_v<R>) {
              fn(board, static_cast<P>(args)...);
              return 0;
            } else {
              return static_cast<int64_t>(fn(board, static_cast<P>(args)...));
            }
          }};
}

// BOARD_CALL(KPXADC_SetClockSource, 3u): the board call with these
// arguments; CALL(...) is the same as a step's `.call`.
#define BOARD_CALL(fn, ...) bindCall(#fn, fn __VA_OPT__(, ) __VA_ARGS__)
#define CALL(fn, ...) .call = BOARD_CALL(fn __VA_OPT__(, ) __VA_ARGS__)

// One row of a table: registers set first, the call, and what must follow:
// its result, its register requests (when given), register values and the
// lines it prints (none unless given).
struct Step {
  std::vector<RegisterValue> before = {};
  Call call = {};
  int64_t result = 0;
  std::optional<Ops> ops = {};
  std::vector<RegisterValue> after = {};
  std::string printed = {};
};

// A board described by `board` (JSON keys, as for openBoard) and the steps
// run on it in order; `name` names the test.
struct Scenario {
  std::string name;
  std::string board;
  std::vector<Step> steps;
};

inline std::ostream& operator<<(std::ostream& out, const Scenario& s) {
  return out << s.name;
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

  // Runs each step on `board` with an empty journal and checks what the
  // step expects.
  void runSteps(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      std::ostringstream trace;
      trace << step.call.text << std::hex;
      for (const auto& r : step.before) trace << ", register 0x" << r.offset << " = 0x" << r.value;
      SCOPED_TRACE(trace.str());
      for (const auto& r : step.before) poke(r.offset, r.value);
      testbed::clearJournal();
      testing::internal::CaptureStdout();
      const int64_t result = step.call.run(board);
      const std::string printed = testing::internal::GetCapturedStdout();
      EXPECT_EQ(result, step.result);
      if (step.ops) {
        EXPECT_EQ(registerOps(), *step.ops);
      }
      for (const auto& r : step.after)
        EXPECT_EQ(peek(r.offset), r.value) << "register 0x" << std::hex << r.offset;
      EXPECT_EQ(printed, step.printed);
    }
  }
};

// Each scenario of a table as its own test, named after it.
class AdcScenarioTest : public AdcTest, public testing::WithParamInterface<Scenario> {
 protected:
  void runScenario() {
    openBoard(GetParam().board);
    if (!HasFatalFailure() && !IsSkipped()) runSteps(GetParam().steps);
  }
};

inline std::string scenarioName(const testing::TestParamInfo<Scenario>& info) {
  return info.param.name;
}

// `count` lines of a failed register read.
inline std::string failedReads(size_t count) {
  std::string lines;
  for (size_t i = 0; i < count; ++i) lines += "IOCTL_GET_HSREG failed:  31\n";
  return lines;
}
