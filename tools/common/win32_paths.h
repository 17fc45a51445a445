// What the tools' Windows files share: the system's text for an error and
// paths in the form the wide calls take. The files a tool writes and the
// files a tool reads go through the same conversion, so that a name one
// writes another can read back.
#pragma once

#include <windows.h>

#include <string>

namespace kpx::tools::win32 {

// The system's text for the calling thread's last error, in the user's
// language, without the line break that FormatMessage ends it with.
inline std::string systemReason(const std::string& what, const std::string& name) {
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
inline std::wstring widePath(const std::string& path) {
  const int length =
      MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
  return wide;
}

}  // namespace kpx::tools::win32
