// Fuzz target: the virtual rack's JSON description parser. Any text must end
// in a rack or in a reason, never in an escaped exception or a crash, and a
// refused text must leave the rack empty.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "virtual_boards/rack_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kpx::sim::RackConfig rack;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto reason = kpx::sim::parseRackJson(text, rack);
  if (reason && !rack.boards.empty()) std::abort();
  if (reason && reason->empty()) std::abort();
  return 0;
}
