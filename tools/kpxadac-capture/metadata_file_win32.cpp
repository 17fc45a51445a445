#include <windows.h>

#include <algorithm>

#include "metadata_file.h"
#include "win32_paths.h"

namespace capture {

namespace {

using kpx::tools::win32::systemReason;
using kpx::tools::win32::widePath;

bool writeAll(HANDLE handle, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD moved = 0;
    const auto part = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    if (!WriteFile(handle, bytes.data() + done, part, &moved, nullptr) || moved == 0) return false;
    done += moved;
  }
  return true;
}

// Writes `content` from the file's start, flushes it to the disk and closes
// the handle; "" or why it failed (`name` says which file).
std::string writeFlushAndClose(HANDLE handle, const std::string& content, const std::string& name) {
  std::string failure;
  if (!writeAll(handle, content))
    failure = systemReason("cannot write", name);
  else if (!FlushFileBuffers(handle))
    failure = systemReason("cannot flush", name);
  if (!CloseHandle(handle) && failure.empty()) failure = systemReason("cannot close", name);
  return failure;
}

}  // namespace

std::string MetadataFile::writeTemporary(const std::string& content) {
  const std::string next = temporaryPath();
  // One left by a capture that ended early goes first; created afresh, a
  // link of that name is never followed to a file it would empty.
  DeleteFileW(widePath(next).c_str());
  HANDLE handle = CreateFileW(widePath(next).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return systemReason("cannot create", next);
  std::string failure = writeFlushAndClose(handle, content, next);
  if (!failure.empty()) DeleteFileW(widePath(next).c_str());
  return failure;
}

std::string MetadataFile::overwrite(const std::string& content) {
  HANDLE handle = CreateFileW(widePath(path_).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return systemReason("cannot open", path_);
  return writeFlushAndClose(handle, content, path_);
}

}  // namespace capture
