#include "input_file.h"

namespace kpx::tools {

std::string readWholeFile(const std::string& path, uint64_t maxBytes, std::string& text) {
  text.clear();
  InputFile file;
  if (auto reason = file.open(path); !reason.empty()) return reason;
  if (file.size() > maxBytes)
    return "\"" + path + "\" holds " + std::to_string(file.size()) +
           " bytes, more than the limit of " + std::to_string(maxBytes);
  text.resize(static_cast<size_t>(file.size()));
  size_t have = 0;
  while (have < text.size()) {
    const int64_t got = file.readAt(have, text.data() + have, text.size() - have);
    if (got < 0) return "cannot read \"" + path + "\"";
    if (got == 0) break;  // cut short since it was measured
    have += static_cast<size_t>(got);
  }
  text.resize(have);
  return "";
}

}  // namespace kpx::tools
