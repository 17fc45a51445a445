#include "metadata_file.h"

namespace capture {

MetadataFile::Outcome MetadataFile::replace(const std::string& text, size_t paddedBytes) {
  std::string content = text;
  if (content.size() < paddedBytes) {
    content.append(paddedBytes - content.size() - 1, ' ');
    content += '\n';
  }
  Outcome outcome;
  outcome.failure = replaceAtomically(content);
  if (outcome.failure.empty()) {
    bytesOnDisk_ = content.size();
    outcome.written = true;
  } else if (text.size() <= bytesOnDisk_) {
    // Spaces over the rest of the old text: JSON ignores them.
    std::string over = text;
    over.append(bytesOnDisk_ - text.size(), ' ');
    outcome.written = overwrite(over).empty();
  }
  return outcome;
}

}  // namespace capture
