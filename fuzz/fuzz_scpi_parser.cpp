// Fuzz target: kpxadac-scpi's parser over arbitrary bytes, as a client
// sends them: cut into messages by the framer in chunks of sizes the input
// chooses, each message split into units and matched against patterns. No
// input may crash it or hang it, and what it accepts must hold together:
// every message within the limits, every block parameter read back the same
// from its definite-length form, every unit's header within the mnemonic
// bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "scpi_parser.h"

namespace {

constexpr size_t kMaxLine = 256;
constexpr size_t kMaxBlock = 1024;

void checkMessage(const std::string& message) {
  const kpx::scpi::Message parsed = kpx::scpi::parseMessage(message);
  static const kpx::scpi::Pattern patterns[] = {
      kpx::scpi::Pattern("SYSTem:ERRor[:NEXT]?"), kpx::scpi::Pattern("*IDN?"),
      kpx::scpi::Pattern("[:SOURce]:FREQuency"), kpx::scpi::Pattern("INSTrument[:SELect]")};
  for (const auto& unit : parsed.units) {
    if (unit.nodes.empty()) std::abort();
    for (const auto& node : unit.nodes)
      if (node.empty() || node.size() > kpx::scpi::kMaxMnemonic) std::abort();
    if (unit.parameters.size() > kpx::scpi::kMaxParameters) std::abort();
    for (const auto& pattern : patterns)
      if (pattern.matches(unit) && !pattern.matchesPath(unit)) std::abort();
    for (const auto& p : unit.parameters) {
      if (p.kind != kpx::scpi::Parameter::Kind::kBlock) continue;
      const auto again = kpx::scpi::parseMessage("X " + kpx::scpi::definiteBlock(p.text));
      if (again.units.size() != 1 || again.units[0].parameters.size() != 1 ||
          again.units[0].parameters[0].text != p.text)
        std::abort();
    }
  }
  if (parsed.error.code != kpx::scpi::err::kNone &&
      kpx::scpi::formatError(parsed.error).find('\n') != std::string::npos)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the chunk size, the rest is the stream.
  const size_t chunk = static_cast<size_t>(data[0] % 16) + 1;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  --size;
  // The whole input as one message too, unbounded by the framer.
  checkMessage(std::string(bytes, size));
  kpx::scpi::Framer framer({kMaxLine, kMaxBlock});
  for (size_t at = 0; at < size; at += chunk) {
    const size_t n = size - at < chunk ? size - at : chunk;
    size_t used = 0;
    while (used < n) {
      size_t taken = 0;
      const auto event = framer.feed(bytes + at + used, n - used, taken);
      if (taken > n - used) std::abort();
      used += taken;
      if (event == kpx::scpi::Framer::Event::kBlockTooLarge) return 0;
      if (event == kpx::scpi::Framer::Event::kMessage) {
        if (framer.message().size() > kMaxLine + kMaxBlock) std::abort();
        checkMessage(framer.message());
      } else if (event == kpx::scpi::Framer::Event::kNeedMore && used != n) {
        std::abort();
      }
    }
  }
  return 0;
}
