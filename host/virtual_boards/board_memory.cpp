#include "virtual_boards/board_memory.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace kpx::sim {

void SparseMemory::read(uint64_t address, uint8_t* out, size_t length) const {
  std::shared_lock lock(mutex_);
  while (length > 0) {
    const uint64_t page = address / kPageSize;
    const size_t offset = static_cast<size_t>(address % kPageSize);
    const size_t run = std::min(length, kPageSize - offset);
    const auto found = pages_.find(page);
    if (found == pages_.end())
      std::memset(out, 0, run);
    else
      std::memcpy(out, found->second.get() + offset, run);
    out += run;
    address += run;
    length -= run;
  }
}

void SparseMemory::write(uint64_t address, const uint8_t* data, size_t length) {
  std::unique_lock lock(mutex_);
  while (length > 0) {
    const uint64_t page = address / kPageSize;
    const size_t offset = static_cast<size_t>(address % kPageSize);
    const size_t run = std::min(length, kPageSize - offset);
    auto& bytes = pages_[page];
    if (!bytes) bytes = std::make_unique<uint8_t[]>(kPageSize);  // zeroed
    std::memcpy(bytes.get() + offset, data, run);
    data += run;
    address += run;
    length -= run;
  }
}

std::string partNameFromBitImage(const uint8_t* image, size_t length) {
  static constexpr uint8_t kHeader[13] = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                                          0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};
  if (length < sizeof kHeader || std::memcmp(image, kHeader, sizeof kHeader) != 0) return "";
  size_t at = sizeof kHeader;
  // Fields are key, 16-bit big-endian length, value; 'e' carries the
  // configuration data with a 32-bit length and ends the text fields.
  while (at + 3 <= length) {
    const uint8_t key = image[at];
    if (key == 'e') break;
    const size_t fieldLength = static_cast<size_t>(image[at + 1]) << 8 | image[at + 2];
    const size_t value = at + 3;
    const size_t end = std::min(length, value + fieldLength);
    if (key == 'b') {
      const auto* first = image + value;
      const auto* last = std::find(first, image + end, uint8_t{0});
      return std::string(first, last);
    }
    at = value + fieldLength;
  }
  return "";
}

}  // namespace kpx::sim
