#include <io.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "output_file.h"
#include "win32_paths.h"

namespace capture {

namespace {

using kpx::tools::win32::systemReason;
using kpx::tools::win32::widePath;

// What FILE_FLAG_NO_BUFFERING asks of the buffer, the length and the
// offset: the page size covers the sector size of every disk in use.
constexpr uint64_t kSectorAlignment = 4096;

bool isDiskFile(HANDLE handle) {
  return GetFileType(handle) == FILE_TYPE_DISK;
}

}  // namespace

OutputFile::~OutputFile() {
  close();
}

std::string OutputFile::create(const std::string& path, bool unbuffered, bool exclusive) {
  name_ = path;
  // Unbuffered: past the system's cache, where the volume allows it. Both
  // handles of the file may write: an unaligned end goes through a second,
  // cached one. FILE_SHARE_DELETE lets the open file be renamed (moveTo).
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const DWORD disposition = exclusive ? CREATE_NEW : CREATE_ALWAYS;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (unbuffered) {
    handle = CreateFileW(widePath(path).c_str(), GENERIC_WRITE, share, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING, nullptr);
    direct_ = handle != INVALID_HANDLE_VALUE;
  }
  if (handle == INVALID_HANDLE_VALUE)
    handle = CreateFileW(widePath(path).c_str(), GENERIC_WRITE, share, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return systemReason("cannot create", path);
  handle_ = handle;
  regularFile_ = isDiskFile(handle);
  return "";
}

// Goes on with a cached handle at the same place, for writes that are not
// aligned to the volume's sectors.
std::string OutputFile::leaveUnbuffered() {
  HANDLE cached = CreateFileW(widePath(name_).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (cached == INVALID_HANDLE_VALUE) return systemReason("cannot reopen", name_);
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(offset_);
  if (!SetFilePointerEx(cached, position, nullptr, FILE_BEGIN)) {
    const std::string reason = systemReason("cannot seek in", name_);
    CloseHandle(cached);
    return reason;
  }
  CloseHandle(handle_);
  handle_ = cached;
  direct_ = false;
  return "";
}

void OutputFile::adopt(int descriptor, std::string name) {
  name_ = std::move(name);
  // None given: writes fail. (The C runtime would end the program on a
  // negative descriptor.)
  if (descriptor < 0) return;
  // A handle of our own, so that the C runtime's descriptor can go.
  HANDLE duplicate = nullptr;
  const auto original = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  if (original != INVALID_HANDLE_VALUE &&
      DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &duplicate, 0, FALSE,
                      DUPLICATE_SAME_ACCESS))
    handle_ = duplicate;
  _close(descriptor);
  regularFile_ = handle_ && isDiskFile(handle_);
}

std::string OutputFile::write(const uint8_t* bytes, size_t length, size_t& written) {
  written = 0;
  if (!handle_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return systemReason("cannot write", name_);
  }
  if (direct_ && (reinterpret_cast<uintptr_t>(bytes) % kSectorAlignment ||
                  length % kSectorAlignment || offset_ % kSectorAlignment))
    if (auto reason = leaveUnbuffered(); !reason.empty()) return reason;
  while (written < length) {
    // WriteFile takes a 32-bit count.
    const auto part = static_cast<DWORD>(std::min<size_t>(length - written, 1u << 30));
    DWORD moved = 0;
    if (!WriteFile(handle_, bytes + written, part, &moved, nullptr))
      return systemReason("cannot write", name_);
    if (moved == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return systemReason("cannot write", name_);
    }
    written += moved;
    offset_ += moved;
  }
  return "";
}

std::string OutputFile::flushToDisk() {
  // Only a disk file has data to put on the disk; a pipe or console has none.
  if (!handle_ || !regularFile_) return "";
  return FlushFileBuffers(handle_) ? "" : systemReason("cannot flush", name_);
}

std::string OutputFile::flushData() {
  return flushToDisk();
}

std::string OutputFile::cutTo(uint64_t bytes) {
  if (!handle_ || !regularFile_) return "";
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(bytes);
  if (!SetFilePointerEx(handle_, position, nullptr, FILE_BEGIN) || !SetEndOfFile(handle_))
    return systemReason("cannot shorten", name_);
  return "";
}

std::string OutputFile::close() {
  if (!handle_) return "";
  const BOOL closed = CloseHandle(handle_);
  handle_ = nullptr;
  return closed ? "" : systemReason("cannot close", name_);
}

void removeFile(const std::string& path) {
  DeleteFileW(widePath(path).c_str());
}

std::string moveOver(const std::string& from, const std::string& to) {
  if (!MoveFileExW(widePath(from).c_str(), widePath(to).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return systemReason("cannot rename " + from + " to", to);
  return "";
}

// Windows counts the limit (255 on NTFS, FAT32 and exFAT) in UTF-16 units,
// not in the bytes of the code page's names: not checked ahead, the
// creation of the file says it.
size_t longestFileName(const std::string&) {
  return 0;
}

}  // namespace capture
