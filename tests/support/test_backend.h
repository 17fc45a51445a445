// Where the tests' racks live: the virtual boards, or, on Windows with
// KPXADAC_TEST_BACKEND=driver, the test driver under Wine
// (tests/wine_driver/), reached through the library's real Win32 backend.
//
// The functions carry the names of the virtual boards' test hooks
// (host/virtual_boards/virtual_rack.h), so a test written against those runs
// on either: `testbed::journal()` is the virtual journal or the driver's.
// Against the driver, a rack is parsed as KPXADAC_SIM is and handed to the
// driver as its rack text; what the driver cannot play (real-time boards,
// close and cancel faults) is refused with a reason.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "virtual_boards/rack_config.h"
#include "virtual_boards/virtual_rack.h"

#ifdef _WIN32
#include <windows.h>

#include "kpxadac_test_driver.h"
#endif

namespace testbed {

using JournalEntry = kpx::sim::JournalEntry;

inline bool onDriver() {
#ifdef _WIN32
  const char* value = std::getenv("KPXADAC_TEST_BACKEND");
  return value && std::string_view(value) == "driver";
#else
  return false;
#endif
}

#ifdef _WIN32
namespace detail {

inline HANDLE controlDevice() {
  static HANDLE device =
      CreateFileA(KPXTEST_CONTROL_DEVICE, GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  return device;
}

// One request to the control device; the bytes returned, or -1.
inline long request(uint32_t code, const void* in, size_t inLength, void* out, size_t outLength) {
  DWORD returned = 0;
  if (!DeviceIoControl(controlDevice(), code, const_cast<void*>(in), static_cast<DWORD>(inLength),
                       out, static_cast<DWORD>(outLength), &returned, nullptr))
    return -1;
  return static_cast<long>(returned);
}

inline std::string count(const kpx::sim::ReadCount& reads) {
  return reads ? std::to_string(*reads) : "never";
}

// The driver's rack text for a parsed rack, or "" with `reason` set.
inline std::string rackText(const kpx::sim::RackConfig& rack, std::string& reason) {
  std::string text;
  if (rack.journal) text += "journal\n";
  for (const auto& board : rack.boards) {
    const std::string device = " device=" + std::to_string(board.device);
    if (board.realtime) {
      reason = "the test driver has no real-time boards";
      return "";
    }
    char ident[20];
    std::snprintf(ident, sizeof ident, "%02X:%02X:%02X:%02X:%02X", board.ident[0], board.ident[1],
                  board.ident[2], board.ident[3], board.ident[4]);
    text +=
        "board" + device + " id=" + std::to_string(board.boardId) + " ident=" + ident +
        " status=" + std::to_string(board.status) + " fixed=" + std::to_string(board.fixedClock) +
        " ready=" + count(board.readyAfterReads) + " busy=" + count(board.busyReads) +
        " table=" + count(board.tableBusyReads) + " sequence=" + count(board.sequenceReads) +
        " result=" + std::to_string(board.sequenceResult) +
        " bitstream=" + std::to_string(board.bitstreamResult) +
        " rx=" + std::to_string(board.rxOverrun) + " tx=" + std::to_string(board.txUnderrun) + "\n";
    for (const auto& [offset, value] : board.registers)
      text += "register" + device + " offset=" + std::to_string(offset) +
              " value=" + std::to_string(value) + "\n";
    for (const auto& fault : board.faults) {
      if (fault.op == "close" || fault.op == "cancel") {
        reason = "the test driver cannot fail " + fault.op;
        return "";
      }
      text += "fault" + device + " op=" + fault.op + " error=" + std::to_string(fault.error) +
              " skip=" + std::to_string(fault.skip) +
              (fault.count ? " count=" + std::to_string(*fault.count) : std::string()) +
              (fault.returned ? " returned=" + std::to_string(*fault.returned) : std::string()) +
              " rx=" + std::to_string(fault.rxOverrun) + " tx=" + std::to_string(fault.txUnderrun) +
              " fails=" + (fault.fails ? "1" : "0") + "\n";
    }
  }
  return text.empty() ? ";" : text;  // an empty text would be the default board
}

inline uint32_t boardState(int device, uint32_t KpxTestBoardState::*field) {
  const uint32_t in = static_cast<uint32_t>(device);
  KpxTestBoardState state{};
  if (request(IOCTL_KPXTEST_BOARD_STATE, &in, sizeof in, &state, sizeof state) < 0) return 0;
  return state.*field;
}

}  // namespace detail
#endif

// The virtual boards' configure(): replaces the rack; "" or the reason.
inline std::string configure(std::string_view config) {
#ifdef _WIN32
  if (onDriver()) {
    // The library must take the Win32 backend, which it does when
    // KPXADAC_SIM is not set at its first device open.
    _putenv_s("KPXADAC_SIM", "");
    if (detail::controlDevice() == INVALID_HANDLE_VALUE)
      return "the test driver is not installed (\\\\.\\KPXADAC_TEST: error " +
             std::to_string(GetLastError()) + ")";
    kpx::sim::RackConfig rack;
    if (auto reason = kpx::sim::loadRackConfig(config, rack)) return *reason;
    std::string reason;
    std::string text = detail::rackText(rack, reason);
    if (text.empty()) return reason;
    char answer[200] = {};
    const long got =
        detail::request(IOCTL_KPXTEST_CONFIGURE, text.data(), text.size(), answer, sizeof answer);
    if (got < 0) return "IOCTL_KPXTEST_CONFIGURE failed: " + std::to_string(GetLastError());
    return std::string(answer, static_cast<size_t>(got));
  }
#endif
  return kpx::sim::configure(config);
}

#ifdef _WIN32
// The test driver only: replaces its rack with `text` in its own syntax
// (kpxadac_test_driver.h), for what a KPXADAC_SIM rack cannot say.
inline std::string configureDriverRack(std::string_view text) {
  _putenv_s("KPXADAC_SIM", "");
  char answer[200] = {};
  const long got =
      detail::request(IOCTL_KPXTEST_CONFIGURE, text.data(), text.size(), answer, sizeof answer);
  if (got < 0) return "IOCTL_KPXTEST_CONFIGURE failed: " + std::to_string(GetLastError());
  return std::string(answer, static_cast<size_t>(got));
}
#endif

inline std::vector<JournalEntry> journal() {
#ifdef _WIN32
  if (onDriver()) {
    std::vector<KpxTestJournalRecord> records(16384);
    const long got = detail::request(IOCTL_KPXTEST_JOURNAL, nullptr, 0, records.data(),
                                     records.size() * sizeof(KpxTestJournalRecord));
    std::vector<JournalEntry> entries;
    for (long i = 0; i < got / static_cast<long>(sizeof(KpxTestJournalRecord)); ++i) {
      const auto& r = records[static_cast<size_t>(i)];
      static const char* const kOps[] = {"", "open", "close", "control", "read", "write"};
      JournalEntry e;
      e.op = r.op < 6 ? kOps[r.op] : "?";
      e.device = r.device;
      e.code = r.code;
      e.in.assign(r.data, r.data + r.dataLength);
      if (r.op == KPXTEST_OP_OPEN) {
        const std::string name = "\\\\.\\KPXADAC_" + std::string(e.in.begin(), e.in.end());
        e.in.assign(name.begin(), name.end());
      }
      e.inLength = r.inLength;
      e.outLength = r.outLength;
      e.length = r.length;
      e.ok = r.ok != 0;
      e.error = r.error;
      e.returned = r.returned;
      entries.push_back(std::move(e));
    }
    return entries;
  }
#endif
  return kpx::sim::journal();
}

// The reason the driver's tests cannot run here ("" where they can): a
// build tree under plain Wine has no test driver installed.
inline std::string driverMissing() {
#ifdef _WIN32
  if (onDriver() && detail::controlDevice() == INVALID_HANDLE_VALUE)
    return "the test driver is not installed (\\\\.\\KPXADAC_TEST: error " +
           std::to_string(GetLastError()) + "); scripts/windows-tests.sh installs it";
#endif
  return "";
}

// The journal once it holds `entries` entries. The driver journals a close
// when the host drops its last reference to the file, which under Wine may
// come after CloseHandle has returned; the virtual boards journal it at once.
// Bounded: a close that never arrives leaves the journal short, and the
// caller's check of its size fails.
inline std::vector<JournalEntry> journalOnceItHolds(size_t entries) {
  auto held = journal();
#ifdef _WIN32
  for (int i = 0; onDriver() && held.size() < entries && i < 1000; ++i) {
    Sleep(10);
    held = journal();
  }
#else
  (void)entries;  // the virtual boards' journal is complete already
#endif
  return held;
}

inline void clearJournal() {
#ifdef _WIN32
  if (onDriver()) {
    detail::request(IOCTL_KPXTEST_CLEAR_JOURNAL, nullptr, 0, nullptr, 0);
    return;
  }
#endif
  kpx::sim::clearJournal();
}

inline uint32_t peekRegister(int device, uint32_t offset) {
#ifdef _WIN32
  if (onDriver()) {
    const uint32_t in[2] = {static_cast<uint32_t>(device), offset};
    uint32_t value = 0;
    detail::request(IOCTL_KPXTEST_PEEK_REGISTER, in, sizeof in, &value, sizeof value);
    return value;
  }
#endif
  return kpx::sim::peekRegister(device, offset);
}

inline void pokeRegister(int device, uint32_t offset, uint32_t value) {
#ifdef _WIN32
  if (onDriver()) {
    const uint32_t in[3] = {static_cast<uint32_t>(device), offset, value};
    detail::request(IOCTL_KPXTEST_POKE_REGISTER, in, sizeof in, nullptr, 0);
    return;
  }
#endif
  kpx::sim::pokeRegister(device, offset, value);
}

inline bool fpgaConfigured(int device) {
#ifdef _WIN32
  if (onDriver()) return detail::boardState(device, &KpxTestBoardState::fpgaConfigured) != 0;
#endif
  return kpx::sim::fpgaConfigured(device);
}

inline bool isLocked(int device) {
#ifdef _WIN32
  if (onDriver()) return detail::boardState(device, &KpxTestBoardState::locked) != 0;
#endif
  return kpx::sim::isLocked(device);
}

inline bool synthesizerProgrammed(int device) {
#ifdef _WIN32
  if (onDriver()) return detail::boardState(device, &KpxTestBoardState::synthesizerProgrammed) != 0;
#endif
  return kpx::sim::synthesizerProgrammed(device);
}

inline uint64_t channelSampleIndex(int device) {
#ifdef _WIN32
  if (onDriver())
    return detail::boardState(device, &KpxTestBoardState::sampleIndexLow) |
           uint64_t{detail::boardState(device, &KpxTestBoardState::sampleIndexHigh)} << 32;
#endif
  return kpx::sim::channelSampleIndex(device);
}

// Reads the driver holds pending (a "pend" read fault); 0 on the virtual boards.
inline uint32_t pendingReads(int device) {
#ifdef _WIN32
  if (onDriver()) return detail::boardState(device, &KpxTestBoardState::pendingReads);
#endif
  (void)device;
  return 0;
}

inline std::vector<uint8_t> peekFpgaMemory(int device, uint64_t address, size_t length) {
#ifdef _WIN32
  if (onDriver()) {
    const uint32_t in[3] = {static_cast<uint32_t>(device), static_cast<uint32_t>(address),
                            static_cast<uint32_t>(address >> 32)};
    std::vector<uint8_t> bytes(length);
    detail::request(IOCTL_KPXTEST_PEEK_MEMORY, in, sizeof in, bytes.data(), length);
    return bytes;
  }
#endif
  return kpx::sim::peekFpgaMemory(device, address, length);
}

// The test driver streams the ramp whatever signal a rack names.
inline int16_t signalSample(int device, uint64_t index) {
  if (onDriver()) return static_cast<int16_t>(index % 65536);
  return kpx::sim::signalSample(device, index);
}

// Virtual-board hooks the driver has no counterpart for; tests that use them
// are left out of the driver's run (docs/windows.md).
using kpx::sim::loadedPart;
using kpx::sim::releaseGate;
using kpx::sim::setGate;
using kpx::sim::waitForGate;

}  // namespace testbed
