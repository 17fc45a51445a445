// Pieces of a virtual board that need no knowledge of the rack: the sparse
// FPGA memory and the reading of a configuration image's header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>

namespace kpx::sim {

// Byte-addressed memory that reads as zero until written. Pages are made on
// the first write, so any 64-bit address range can be used and a read of
// untouched memory costs no allocation.
class SparseMemory {
 public:
  void read(uint64_t address, uint8_t* out, size_t length) const;
  void write(uint64_t address, const uint8_t* data, size_t length);

 private:
  static constexpr size_t kPageSize = 4096;
  mutable std::shared_mutex mutex_;
  std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> pages_;
};

// The FPGA part named by the 'b' field of a Xilinx .bit header, or "" when the
// image has no such header or field. Every read stays inside the image.
std::string partNameFromBitImage(const uint8_t* image, size_t length);

}  // namespace kpx::sim
