#include <io.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "output_file.h"

namespace capture {

namespace {

// The system's text for the calling thread's last error, in the user's
// language, without the line break that FormatMessage ends it with.
std::string systemReason(const std::string& what, const std::string& name) {
  const DWORD error = GetLastError();
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string reason = what + " " + name + ": ";
  if (length > 0 && text) {
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
      message.pop_back();
    reason += message;
  } else {
    reason += "error " + std::to_string(error);
  }
  LocalFree(text);
  return reason;
}

// A path given in the ANSI code page (as main() receives its arguments) as
// the UTF-16 that the wide calls take.
std::wstring widePath(const std::string& path) {
  const int length =
      MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
  return wide;
}

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

std::string OutputFile::create(const std::string& path, bool unbuffered) {
  name_ = path;
  // Unbuffered: past the system's cache, where the volume allows it. Both
  // handles of the file may write: an unaligned end goes through a second,
  // cached one.
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (unbuffered) {
    handle = CreateFileW(widePath(path).c_str(), GENERIC_WRITE, share, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING, nullptr);
    direct_ = handle != INVALID_HANDLE_VALUE;
  }
  if (handle == INVALID_HANDLE_VALUE)
    handle = CreateFileW(widePath(path).c_str(), GENERIC_WRITE, share, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return systemReason("cannot create", path);
  handle_ = handle;
  regularFile_ = isDiskFile(handle);
  return "";
}

// Goes on with a cached handle at the same place, for writes that are not
// aligned to the volume's sectors.
std::string OutputFile::leaveUnbuffered() {
  HANDLE cached =
      CreateFileW(widePath(name_).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

}  // namespace capture
