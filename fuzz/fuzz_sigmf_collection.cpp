// Fuzz target: the tools' SigMF collection reader over arbitrary text. No
// input may crash it or hang it; what it accepts must hold together: plain
// stream names, hashes of 128 lower-case hexadecimal digits, no name twice,
// every per-stream list one entry per stream, and its own text read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string_view>

#include "sigmf_collection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kpx::tools::SigmfCollection collection;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!kpx::tools::readSigmfCollection(text, collection).empty()) return 0;
  std::set<std::string> names;
  for (const auto& stream : collection.streams) {
    if (stream.name.empty() || stream.name == ".." || stream.name.find('/') != std::string::npos ||
        !names.insert(stream.name).second || stream.hash.size() != 128 ||
        stream.hash.find_first_not_of("0123456789abcdef") != std::string::npos)
      std::abort();
  }
  const size_t count = collection.streams.size();
  const auto& group = collection.group;
  if (count == 0 || (!group.boards.empty() && group.boards.size() != count) ||
      (!group.offsets.empty() && group.offsets.size() != count) ||
      (!group.driftsPpm.empty() && group.driftsPpm.size() != count))
    std::abort();
  kpx::tools::SigmfCollection again;
  if (!kpx::tools::readSigmfCollection(kpx::tools::collectionText(collection), again).empty() ||
      again.streams.size() != count)
    std::abort();
  return 0;
}
