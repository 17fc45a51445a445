#include <windows.h>

#include <algorithm>

#include "metadata_file.h"

namespace capture {

namespace {

// The system's text for the thread's last error, as output_file_win32.cpp gives it.
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

std::wstring widePath(const std::string& path) {
  const int length =
      MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
  return wide;
}

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

}  // namespace

std::string MetadataFile::replaceAtomically(const std::string& content) {
  const std::string next = path_ + ".new";
  HANDLE handle = CreateFileW(widePath(next).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return systemReason("cannot create", next);
  std::string failure;
  if (!writeAll(handle, content))
    failure = systemReason("cannot write", next);
  else if (!FlushFileBuffers(handle))
    failure = systemReason("cannot flush", next);
  CloseHandle(handle);
  if (failure.empty() && !MoveFileExW(widePath(next).c_str(), widePath(path_).c_str(),
                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    failure = systemReason("cannot rename " + next + " to", path_);
  if (!failure.empty()) DeleteFileW(widePath(next).c_str());
  return failure;
}

std::string MetadataFile::overwrite(const std::string& text) {
  HANDLE handle = CreateFileW(widePath(path_).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return systemReason("cannot open", path_);
  std::string content = text;
  if (content.size() < bytesOnDisk_) content.append(bytesOnDisk_ - content.size(), ' ');
  std::string failure;
  if (!writeAll(handle, content))
    failure = systemReason("cannot write", path_);
  else if (!FlushFileBuffers(handle))
    failure = systemReason("cannot flush", path_);
  CloseHandle(handle);
  return failure;
}

}  // namespace capture
