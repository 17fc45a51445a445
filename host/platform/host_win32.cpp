// Host services on Windows: the kernel's own mutexes (re-entrant for their
// owner), the thread's last error, the system's message texts and the
// console of standard input.
#include <conio.h>

#include <mutex>

#include "platform/platform.h"
#include "platform/win32.h"

namespace kpx::platform {

namespace {

// A Mutex* is the kernel mutex handle itself; there is nothing to allocate.
HANDLE toWin32(Mutex* mutex) {
  return reinterpret_cast<HANDLE>(mutex);
}

HANDLE standardInput() {
  return GetStdHandle(STD_INPUT_HANDLE);
}

bool isConsole(HANDLE input) {
  DWORD mode = 0;
  return GetConsoleMode(input, &mode) != FALSE;
}

// A console in line mode hands out a whole line per read and keeps what a
// short read leaves in a buffer of its own, which _kbhit cannot see. So the
// whole line is read here, and consoleKeyWaiting looks at its rest first.
struct ConsoleLine {
  unsigned char data[4096];
  DWORD next = 0;
  DWORD end = 0;
};
ConsoleLine consoleLine;
std::mutex consoleLineMutex;

int readConsoleChar(HANDLE input) {
  std::lock_guard lock(consoleLineMutex);
  ConsoleLine& line = consoleLine;
  if (line.next == line.end) {
    line.next = line.end = 0;
    DWORD count = 0;
    if (!ReadFile(input, line.data, sizeof line.data, &count, nullptr) || count == 0) return -1;
    line.end = count;
  }
  int c = line.data[line.next++];
  // Enter arrives as CR LF; hand it out as one line feed, as the C runtime does.
  if (c == '\r' && line.next < line.end && line.data[line.next] == '\n') c = line.data[line.next++];
  // Ctrl+Z ends console input, as the C runtime treats it.
  if (c == 0x1A) {
    line.next = line.end;
    return -1;
  }
  return c;
}

}  // namespace

Mutex* createMutex(bool initiallyOwned) {
  return reinterpret_cast<Mutex*>(CreateMutexA(nullptr, initiallyOwned ? TRUE : FALSE, nullptr));
}

void destroyMutex(Mutex* mutex) {
  if (mutex) CloseHandle(toWin32(mutex));
}

void waitMutex(Mutex* mutex) {
  WaitForSingleObject(toWin32(mutex), INFINITE);
}

void releaseMutex(Mutex* mutex) {
  ReleaseMutex(toWin32(mutex));
}

void sleepMilliseconds(uint32_t milliseconds) {
  Sleep(milliseconds);
}

uint32_t lastError() {
  return GetLastError();
}

void setLastError(uint32_t error) {
  SetLastError(error);
}

char* errorText(uint32_t error) {
  char* text = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                reinterpret_cast<LPSTR>(&text), 0, nullptr);
  if (length == 0) return nullptr;  // no text for this number; nothing was allocated
  return text;
}

void freeErrorText(char* text) {
  LocalFree(text);
}

// True when a read would return at once: a line or key on the console,
// bytes in a pipe, or the end of a pipe or file (as poll() reports on
// POSIX hosts).
bool consoleKeyWaiting() {
  HANDLE input = standardInput();
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return true;
  if (isConsole(input)) {
    {
      std::lock_guard lock(consoleLineMutex);
      if (consoleLine.next < consoleLine.end) return true;
    }
    return _kbhit() != 0;
  }
  switch (GetFileType(input)) {
    case FILE_TYPE_PIPE: {
      DWORD available = 0;
      if (PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) return available > 0;
      // A pipe whose writer has gone is at its end. A pipe that cannot be
      // peeked at (Wine's pipes from the Unix side) tells nothing.
      return GetLastError() == ERROR_BROKEN_PIPE;
    }
    case FILE_TYPE_DISK:
    case FILE_TYPE_CHAR:
      // Files and character devices such as NUL never make a read wait.
      return true;
    default:
      return false;
  }
}

int consoleReadChar() {
  HANDLE input = standardInput();
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return -1;
  if (isConsole(input)) return readConsoleChar(input);
  // Straight from the handle, not through the C runtime's buffer, so that
  // consoleKeyWaiting sees the same input that is left to read.
  unsigned char c = 0;
  DWORD count = 0;
  if (!ReadFile(input, &c, 1, &count, nullptr) || count != 1) return -1;
  return c;
}

bool consoleIsInteractive() {
  return isConsole(standardInput());
}

PriorityGranted raiseThreadPriority(int /*realtimePriority: POSIX only*/) {
  PriorityGranted granted;
  if (SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
    granted.level = PriorityLevel::kRealtime;
    granted.value = THREAD_PRIORITY_TIME_CRITICAL;
  } else if (SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST)) {
    granted.level = PriorityLevel::kRaised;
    granted.value = THREAD_PRIORITY_HIGHEST;
  }
  return granted;
}

bool lockMemory(void* address, size_t bytes) {
  // VirtualLock keeps pages within the working set's minimum: grow it first.
  SIZE_T minimum = 0, maximum = 0;
  const HANDLE process = GetCurrentProcess();
  if (!GetProcessWorkingSetSize(process, &minimum, &maximum) ||
      !SetProcessWorkingSetSize(process, minimum + bytes, maximum + bytes))
    return false;
  return VirtualLock(address, bytes) != 0;
}

void unlockMemory(void* address, size_t bytes) {
  VirtualUnlock(address, bytes);
}

// Windows gives large pages only to a process holding SeLockMemoryPrivilege
// and only through VirtualAlloc(MEM_LARGE_PAGES): the ring keeps small pages.
void preferLargePages(void*, size_t) {}

}  // namespace kpx::platform
