#include "metadata_file.h"

#include "output_file.h"

namespace capture {

namespace {

std::string padded(const std::string& text, size_t paddedBytes) {
  std::string content = text;
  if (content.size() < paddedBytes) {
    content.append(paddedBytes - content.size() - 1, ' ');
    content += '\n';
  }
  return content;
}

}  // namespace

std::string MetadataFile::replaceAtomically(const std::string& content) {
  if (auto failure = writeTemporary(content); !failure.empty()) return failure;
  auto failure = moveOver(temporaryPath(), path_);
  if (!failure.empty()) removeFile(temporaryPath());  // gives back whatever it took of a full disk
  return failure;
}

std::string MetadataFile::prepare(const std::string& text, size_t paddedBytes) {
  const std::string content = padded(text, paddedBytes);
  auto failure = writeTemporary(content);
  if (failure.empty()) bytesPrepared_ = content.size();
  return failure;
}

std::string MetadataFile::commit() {
  auto failure = moveOver(temporaryPath(), path_);
  if (failure.empty())
    bytesOnDisk_ = bytesPrepared_;
  else
    discard();
  return failure;
}

void MetadataFile::discard() {
  removeFile(temporaryPath());
}

MetadataFile::Outcome MetadataFile::replace(const std::string& text, size_t paddedBytes) {
  const std::string content = padded(text, paddedBytes);
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
