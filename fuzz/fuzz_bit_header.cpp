// Fuzz target: the .bit header walk over arbitrary file contents, followed by
// the part-name test for every board ID. The walk must stay inside the
// image (AddressSanitizer reports any read past it) and a collected name
// must fit the part-name buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bitstream_header.h"
#include "kpxadac_ioctl.h"

using namespace kpx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string partName;
  if (bitstream::readHeader(data, size, partName) != bitstream::HeaderStatus::kOk) return 0;
  if (partName.size() > bitstream::kPartNameCapacity) std::abort();
  if (partName.find('\0') != std::string::npos) std::abort();
  for (int id = driver::kFirstBoardId; id <= driver::kLastBoardId; ++id) {
    const char* expected = driver::expectedPart(id);
    // A match is always an occurrence of the expected name.
    if (bitstream::partMatches(partName, expected) && partName.find(expected) == std::string::npos)
      std::abort();
  }
  return 0;
}
