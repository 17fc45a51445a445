// The part of a Xilinx .bit file that FPGA configuration reads: the fixed
// 13-byte start and the first fields after it, from which the FPGA part
// name is collected. Pure functions over an image in memory, so the walk can
// be tested and fuzzed without a board.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kpx::bitstream {

// 00 09 0F F0 0F F0 0F F0 0F F0 00 00 01: the start of every .bit file.
inline constexpr uint8_t kFixedHeader[] = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                                           0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};
inline constexpr size_t kFixedHeaderLength = sizeof kFixedHeader;

// The walk looks at no more fields than this, so it stops before the
// configuration data field ('e') of files written by the Xilinx tools.
inline constexpr int kMaxWalkedFields = 4;

// Key of the field that holds the NUL-terminated part name.
inline constexpr uint8_t kPartNameKey = 'b';

// Longest part name that is collected (the terminating NUL not counted).
inline constexpr size_t kPartNameCapacity = 255;

enum class HeaderStatus {
  kOk,               // fixed header present; `partName` holds the collected name
  kNotBitstream,     // shorter than the fixed header, or different from it
  kMalformed,        // a walked field runs past the end of the image, or a
                     // part name has no NUL within its field
  kPartNameTooLong,  // the collected part name exceeds kPartNameCapacity
};

// Checks the fixed header of the `size` bytes at `data` and walks at most
// kMaxWalkedFields fields after it. Each field is a key byte, a 16-bit
// big-endian length of which only the low byte counts, and that many value
// bytes; a length byte of 0 ends the walk before its key is looked at. The
// value of every 'b' field, up to its NUL, is appended to `partName` (which
// is cleared first); with any status but kOk it carries no meaning. Never
// reads outside the image: every walked field must lie wholly inside it.
HeaderStatus readHeader(const uint8_t* data, size_t size, std::string& partName);

// True when `expected` occurs in `partName` (case-sensitive) with no digit
// right before or right after it. A prefix such as "xc" and a package
// suffix such as "ff668" are allowed; a longer device number is not, so
// "4vlx40" does not match in "4vlx400".
bool partMatches(std::string_view partName, std::string_view expected);

}  // namespace kpx::bitstream
