#include "bitstream_header.h"

#include <cstring>

namespace kpx::bitstream {

namespace {

constexpr size_t kFieldPrefixLength = 3;  // key byte and two length bytes
constexpr size_t kLengthLowByte = 2;      // offset of the length's low byte in a field

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

HeaderStatus readHeader(const uint8_t* data, size_t size, std::string& partName) {
  partName.clear();
  if (size < kFixedHeaderLength || std::memcmp(data, kFixedHeader, kFixedHeaderLength) != 0)
    return HeaderStatus::kNotBitstream;

  size_t cursor = kFixedHeaderLength;
  for (int field = 0; field < kMaxWalkedFields; ++field) {
    // The remaining size is compared, never cursor + length, so nothing can
    // wrap around.
    if (size - cursor < kFieldPrefixLength) return HeaderStatus::kMalformed;
    const size_t length = data[cursor + kLengthLowByte];
    if (length == 0) break;
    if (size - cursor - kFieldPrefixLength < length) return HeaderStatus::kMalformed;
    const uint8_t* value = data + cursor + kFieldPrefixLength;
    if (data[cursor] == kPartNameKey) {
      const void* nul = std::memchr(value, 0, length);
      if (!nul) return HeaderStatus::kMalformed;
      const size_t nameLength = static_cast<size_t>(static_cast<const uint8_t*>(nul) - value);
      if (partName.size() + nameLength > kPartNameCapacity) {
        partName.clear();
        return HeaderStatus::kPartNameTooLong;
      }
      partName.append(reinterpret_cast<const char*>(value), nameLength);
    }
    cursor += kFieldPrefixLength + length;
  }
  return HeaderStatus::kOk;
}

bool partMatches(std::string_view partName, std::string_view expected) {
  if (expected.empty()) return false;
  for (size_t at = partName.find(expected); at != std::string_view::npos;
       at = partName.find(expected, at + 1)) {
    const size_t end = at + expected.size();
    const bool digitBefore = at > 0 && isDigit(partName[at - 1]);
    const bool digitAfter = end < partName.size() && isDigit(partName[end]);
    if (!digitBefore && !digitAfter) return true;
  }
  return false;
}

}  // namespace kpx::bitstream
