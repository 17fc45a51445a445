// The file checks on Windows: a path is looked at before it is opened, and
// the open handle must be a disk file (inputs) or anything but a directory
// (outputs). A named pipe is opened only when its server is there, so an
// open never waits.
#include <string>

#include "platform/files.h"
#include "platform/win32.h"

namespace kpx::platform {

namespace {

std::string systemText(DWORD error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string words = length && text ? std::string(text, length) : "error " + std::to_string(error);
  if (text) LocalFree(text);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.'))
    words.pop_back();
  return words;
}

FileKind kindOfHandle(HANDLE handle) {
  switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
      return FileKind::kRegular;
    case FILE_TYPE_PIPE:
      return FileKind::kFifo;
    case FILE_TYPE_CHAR:
      return FileKind::kDevice;
    default:
      return FileKind::kOther;
  }
}

}  // namespace

FileKind fileKind(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::kMissing;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::kDirectory;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return FileKind::kDevice;
  return FileKind::kRegular;
}

FileHandle openInputFile(const char* path, uint64_t& size, std::string& reason) {
  size = 0;
  if (fileKind(path) == FileKind::kDirectory) {
    reason = describeNotRegular(path, FileKind::kDirectory);
    return kNoFile;
  }
  HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    reason = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                 ? describeNotRegular(path, FileKind::kMissing)
                 : pathFailure("cannot open", path, systemText(error));
    return kNoFile;
  }
  LARGE_INTEGER length{};
  const FileKind kind = kindOfHandle(handle);
  if (kind != FileKind::kRegular || !GetFileSizeEx(handle, &length)) {
    reason = describeNotRegular(path, kind);
    CloseHandle(handle);
    return kNoFile;
  }
  size = static_cast<uint64_t>(length.QuadPart);
  return reinterpret_cast<FileHandle>(handle);
}

int64_t readFileAt(FileHandle file, uint64_t offset, void* buffer, size_t length) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const DWORD want = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
  if (!ReadFile(reinterpret_cast<HANDLE>(file), buffer, want, &got, &at))
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return got;
}

FileHandle openOutputFile(const char* path, std::string& reason) {
  if (fileKind(path) == FileKind::kDirectory) {
    reason = describeNotRegular(path, FileKind::kDirectory);
    return kNoFile;
  }
  HANDLE handle =
      CreateFileA(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    reason = error == ERROR_PIPE_BUSY ? quotedPath(path) + " is a named pipe that nobody reads"
                                      : pathFailure("cannot write", path, systemText(error));
    return kNoFile;
  }
  return reinterpret_cast<FileHandle>(handle);
}

bool writeFile(FileHandle file, const void* data, size_t length, std::string& reason,
               bool& diskFull) {
  const auto* bytes = static_cast<const char*>(data);
  diskFull = false;
  while (length > 0) {
    const DWORD want = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
    DWORD wrote = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(file), bytes, want, &wrote, nullptr) || wrote == 0) {
      const DWORD error = GetLastError();
      diskFull = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
      reason = systemText(error);
      return false;
    }
    bytes += wrote;
    length -= wrote;
  }
  return true;
}

void closeFile(FileHandle file) {
  if (file != kNoFile) CloseHandle(reinterpret_cast<HANDLE>(file));
}

}  // namespace kpx::platform
