// The host-independent part of the output file: taking a new name and
// giving up a temporary file, on top of each host's moveOver and removeFile.
#include "output_file.h"

namespace capture {

std::string OutputFile::moveTo(const std::string& path) {
  if (auto reason = moveOver(name_, path); !reason.empty()) return reason;
  name_ = path;
  return "";
}

void OutputFile::discard() {
  close();
  removeFile(name_);
}

}  // namespace capture
