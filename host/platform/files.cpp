// The host-independent part of the file checks: whole-file reads within a
// limit, and the words for what a path names.
#include "platform/files.h"

namespace kpx::platform {

// Built by appending: GCC 12 at -O2 sees a false overlap (-Wrestrict) in
// "literal" + std::string.
std::string quotedPath(const char* path) {
  std::string text = "\"";
  text += path;
  text += '"';
  return text;
}

std::string pathFailure(const char* verb, const char* path, const std::string& why) {
  std::string text = verb;
  text += ' ';
  text += quotedPath(path);
  text += ": ";
  text += why;
  return text;
}

std::string describeNotRegular(const char* path, FileKind kind) {
  const std::string name = quotedPath(path);
  switch (kind) {
    case FileKind::kMissing:
      return name + " does not exist";
    case FileKind::kDirectory:
      return name + " is a directory, not a file";
    case FileKind::kFifo:
      return name + " is a FIFO (named pipe), not a regular file";
    case FileKind::kDevice:
      return name + " is a device, not a regular file";
    case FileKind::kOther:
    case FileKind::kRegular:
      break;
  }
  return name + " is not a regular file";
}

std::optional<std::string> readWholeFile(const char* path, uint64_t maxBytes, std::string& text) {
  text.clear();
  uint64_t size = 0;
  std::string reason;
  const FileHandle file = openInputFile(path, size, reason);
  if (file == kNoFile) return reason;
  if (size > maxBytes) {
    closeFile(file);
    return quotedPath(path) + " holds " + std::to_string(size) + " bytes, more than the limit of " +
           std::to_string(maxBytes);
  }
  text.resize(static_cast<size_t>(size));
  uint64_t have = 0;
  while (have < size) {
    const int64_t got =
        readFileAt(file, have, text.data() + have, static_cast<size_t>(size - have));
    if (got < 0) {
      closeFile(file);
      text.clear();
      return "cannot read \"" + std::string(path) + "\"";
    }
    if (got == 0) break;  // cut short since it was measured
    have += static_cast<uint64_t>(got);
  }
  closeFile(file);
  text.resize(static_cast<size_t>(have));
  return std::nullopt;
}

}  // namespace kpx::platform
