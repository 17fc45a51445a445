// The board driver's interface: device names, open arguments, control codes
// and their block layouts. Shared by the library, the platform layer (for
// the request trace) and the virtual boards, so all three agree on one table.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kpx::driver {

// Device name format; the number is plain decimal.
inline constexpr const char* kDeviceNameFormat = "\\\\.\\KPXADAC_%d";
inline constexpr int kFirstDevice = 0;
inline constexpr int kLastDevice = 64;  // inclusive: 65 names

// CreateFileA arguments for a board device.
inline constexpr uint32_t kGenericReadWrite = 0xC0000000u;
inline constexpr uint32_t kShareReadWrite = 3u;
inline constexpr uint32_t kOpenExisting = 3u;
inline constexpr uint32_t kNoFlags = 0u;

// Windows error numbers, used on every host so that printed lines read the
// same everywhere.
namespace error {
inline constexpr uint32_t kInvalidFunction = 1;
inline constexpr uint32_t kFileNotFound = 2;
inline constexpr uint32_t kInvalidHandle = 6;
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kWriteFault = 29;  // a virtual DAC's output file refused a write
inline constexpr uint32_t kGenFailure = 31;
inline constexpr uint32_t kSharingViolation = 32;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr uint32_t kDiskFull = 112;  // ... because its disk is full
inline constexpr uint32_t kSemTimeout = 121;
inline constexpr uint32_t kInsufficientBuffer = 122;
inline constexpr uint32_t kNotLocked = 158;
inline constexpr uint32_t kBusy = 170;
inline constexpr uint32_t kOperationAborted = 995;
inline constexpr uint32_t kIoPending = 997;
inline constexpr uint32_t kNotFound = 1168;
inline constexpr uint32_t kTimeout = 1460;
}  // namespace error

constexpr uint32_t controlCode(uint32_t function, uint32_t method) {
  return (0x8000u << 16) | (function << 2) | method;
}

enum Method : uint32_t { kBuffered = 0, kInDirect = 1, kOutDirect = 2, kNeither = 3 };

inline constexpr uint32_t IOCTL_SET_FPGA_BITSTREAM = controlCode(0x800, kBuffered);
inline constexpr uint32_t IOCTL_GET_BOARD_ID = controlCode(0x801, kBuffered);
inline constexpr uint32_t IOCTL_GET_HSREG = controlCode(0x802, kBuffered);
inline constexpr uint32_t IOCTL_WRITE_SET_HSREG = controlCode(0x803, kBuffered);
// The two FPGA memory codes carry the "wrong" direct methods; the driver
// fixes them this way and they are used exactly so.
inline constexpr uint32_t IOCTL_READ_FPGA_MEM = controlCode(0x804, kInDirect);
inline constexpr uint32_t IOCTL_WRITE_FPGA_MEM = controlCode(0x805, kOutDirect);
inline constexpr uint32_t IOCTL_TALVO_PRELOAD_WRITE = controlCode(0x80B, kBuffered);
inline constexpr uint32_t IOCTL_GET_TALVO_ERROR = controlCode(0x80C, kBuffered);
inline constexpr uint32_t IOCTL_TALVO_RESET = controlCode(0x80D, kBuffered);
inline constexpr uint32_t IOCTL_TALVO_FLOWCONTROL = controlCode(0x80E, kBuffered);
inline constexpr uint32_t IOCTL_GET_PROFILING = controlCode(0x80F, kBuffered);
inline constexpr uint32_t IOCTL_RESET_PROFILING = controlCode(0x810, kBuffered);
inline constexpr uint32_t IOCTL_V360_DEBUG = controlCode(0x816, kBuffered);
inline constexpr uint32_t IOCTL_LOCK_BOARD = controlCode(0x817, kNeither);
inline constexpr uint32_t IOCTL_UNLOCK_BOARD = controlCode(0x818, kNeither);
inline constexpr uint32_t IOCTL_GET_BOARD_STATUS = controlCode(0x819, kBuffered);
inline constexpr uint32_t IOCTL_V360_RESET = controlCode(0x81A, kNeither);
inline constexpr uint32_t IOCTL_GET_FIXED_CLOCK = controlCode(0x822, kBuffered);
inline constexpr uint32_t IOCTL_SET_TRANSFER_WORDS = controlCode(0x824, kBuffered);

// Fixed block lengths. kVariable marks a block whose length depends on the
// request (n + 4 for the bitstream and preload, the chunk length for FPGA
// memory).
inline constexpr int32_t kVariable = -1;

struct RequestInfo {
  uint32_t code;
  const char* name;
  int32_t inLength;
  int32_t outLength;
};

inline constexpr RequestInfo kRequests[] = {
    {IOCTL_SET_FPGA_BITSTREAM, "IOCTL_SET_FPGA_BITSTREAM", kVariable, 4},
    {IOCTL_GET_BOARD_ID, "IOCTL_GET_BOARD_ID", 0, 6},
    {IOCTL_GET_HSREG, "IOCTL_GET_HSREG", 4, 4},
    {IOCTL_WRITE_SET_HSREG, "IOCTL_WRITE_SET_HSREG", 8, 4},
    {IOCTL_READ_FPGA_MEM, "IOCTL_READ_FPGA_MEM", 8, kVariable},
    {IOCTL_WRITE_FPGA_MEM, "IOCTL_WRITE_FPGA_MEM", 8, kVariable},
    {IOCTL_TALVO_PRELOAD_WRITE, "IOCTL_TALVO_PRELOAD_WRITE", kVariable, 0},
    {IOCTL_GET_TALVO_ERROR, "IOCTL_GET_TALVO_ERROR", 0, 8},
    {IOCTL_TALVO_RESET, "IOCTL_TALVO_RESET", 2, 0},
    {IOCTL_TALVO_FLOWCONTROL, "IOCTL_TALVO_FLOWCONTROL", 2, 0},
    {IOCTL_GET_PROFILING, "IOCTL_GET_PROFILING", 0, 20},
    {IOCTL_RESET_PROFILING, "IOCTL_RESET_PROFILING", 2, 0},
    {IOCTL_V360_DEBUG, "IOCTL_V360_DEBUG", 0, 44},
    {IOCTL_LOCK_BOARD, "IOCTL_LOCK_BOARD", 0, 0},
    {IOCTL_UNLOCK_BOARD, "IOCTL_UNLOCK_BOARD", 0, 0},
    {IOCTL_GET_BOARD_STATUS, "IOCTL_GET_BOARD_STATUS", 0, 1},
    {IOCTL_V360_RESET, "IOCTL_V360_RESET", 0, 0},
    {IOCTL_GET_FIXED_CLOCK, "IOCTL_GET_FIXED_CLOCK", 0, 1},
    {IOCTL_SET_TRANSFER_WORDS, "IOCTL_SET_TRANSFER_WORDS", 4, 0},
};

inline constexpr const RequestInfo* findRequest(uint32_t code) {
  for (const auto& r : kRequests)
    if (r.code == code) return &r;
  return nullptr;
}

inline constexpr const RequestInfo* findRequest(std::string_view name) {
  for (const auto& r : kRequests)
    if (name == r.name) return &r;
  return nullptr;
}

inline constexpr const char* requestName(uint32_t code) {
  const RequestInfo* r = findRequest(code);
  return r ? r->name : "IOCTL_UNKNOWN";
}

// Board IDs accepted by the registry, and the type each one stands for.
inline constexpr int kFirstBoardId = 0x82;
inline constexpr int kLastBoardId = 0x8F;
constexpr bool isKnownBoardId(int id) { return id >= kFirstBoardId && id <= kLastBoardId; }
constexpr bool isDacBoardId(int id) { return id >= 0x86 && id <= 0x89; }

// The FPGA part each board ID expects in a .bit file, or null.
constexpr const char* expectedPart(int boardId) {
  switch (boardId) {
    case 0x82: case 0x86: return "2v3000";
    case 0x83: case 0x87: return "2v4000";
    case 0x84: case 0x88: return "2v6000";
    case 0x85: case 0x89: return "2v8000";
    case 0x8A: return "4vlx40";
    case 0x8B: return "4vlx60";
    case 0x8C: return "4vlx80";
    case 0x8D: return "4vlx100";
    case 0x8E: return "4vlx160";
    case 0x8F: return "4vsx55";
    default: return nullptr;
  }
}

// Parses the board number out of a device name built from kDeviceNameFormat.
inline std::optional<int> deviceNumberFromName(std::string_view name) {
  constexpr std::string_view prefix = "\\\\.\\KPXADAC_";
  if (name.substr(0, prefix.size()) != prefix) return std::nullopt;
  name.remove_prefix(prefix.size());
  if (name.empty() || name.size() > 3) return std::nullopt;
  int n = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (name.size() > 1 && name[0] == '0') return std::nullopt;
  return n;
}

}  // namespace kpx::driver
