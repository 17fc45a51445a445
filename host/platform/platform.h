// The platform layer: the only way the library reaches the operating system
// and the board driver.
//
// Two parts sit behind this header:
//  - a device backend (open, close, control request, read, write, cancel),
//    chosen once at the first device open: the Windows driver, or the
//    virtual boards (on Windows when KPXADAC_SIM is set, elsewhere always);
//  - host services (mutex, sleep, last error, error text, console), which
//    are the host's own on every backend.
//
// Contract relied on by the library:
//  - Error numbers are Windows error numbers on every host. A failing device
//    call sets the calling thread's last error before it returns; a
//    succeeding one leaves it unspecified.
//  - Device calls are synchronous and may run from several threads at once,
//    also on one handle.
//  - A mutex is re-entrant for its owner; each wait is matched by a release.
//  - Every device call is appended to the request trace when KPXADAC_TRACE
//    names a file (see docs/trace.md); with the trace off it costs one test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kpx::platform {

using Handle = intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// One table per device backend (see backend_virtual.cpp, backend_win32.cpp).
struct DeviceBackend {
  const char* name;
  // CreateFileA. Returns kInvalidHandle (and sets the last error) when no
  // device answers to `path`.
  Handle (*open)(const char* path, uint32_t access, uint32_t share, void* security,
                 uint32_t disposition, uint32_t flags, void* templateFile);
  // CloseHandle. False for a handle that is not open.
  bool (*close)(Handle handle);
  // DeviceIoControl without OVERLAPPED. `*returned` is always written.
  bool (*control)(Handle handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                  uint32_t outLength, uint32_t* returned);
  // ReadFile / WriteFile, synchronous. `*moved` is always written.
  bool (*read)(Handle handle, void* buffer, uint32_t length, uint32_t* moved);
  bool (*write)(Handle handle, const void* buffer, uint32_t length, uint32_t* moved);
  // CancelIo: cancels the calling thread's pending I/O on `handle`.
  bool (*cancel)(Handle handle);
  // Why the backend could not be set up as asked ("" when it was).
  std::string (*problem)();
};

// The virtual boards' backend; present on every host.
const DeviceBackend& virtualBackend();
#ifdef _WIN32
// The board driver's backend.
const DeviceBackend& win32Backend();
#endif

// ---- Device operations (through the chosen backend, traced) -------------
Handle openDevice(const char* path, uint32_t access, uint32_t share, void* security,
                  uint32_t disposition, uint32_t flags, void* templateFile);
bool closeHandle(Handle handle);
bool deviceControl(Handle handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                   uint32_t outLength, uint32_t* returned);
bool readFile(Handle handle, void* buffer, uint32_t length, uint32_t* moved);
bool writeFile(Handle handle, const void* buffer, uint32_t length, uint32_t* moved);
bool cancelIo(Handle handle);

// Name of the backend in use ("virtual" or "win32"); chooses it if needed.
const char* backendName();
// Why the backend in use could not be set up as asked, e.g. a KPXADAC_SIM
// that does not parse ("" when it was); chooses it if needed.
std::string backendProblem();

// ---- Host services -------------------------------------------------------
struct Mutex;
// CreateMutexA(no security, initialOwner, no name). Null when out of memory.
Mutex* createMutex(bool initiallyOwned);
void destroyMutex(Mutex* mutex);
void waitMutex(Mutex* mutex);  // WaitForSingleObject(INFINITE)
void releaseMutex(Mutex* mutex);

void sleepMilliseconds(uint32_t milliseconds);

// GetLastError / SetLastError of the calling thread.
uint32_t lastError();
void setLastError(uint32_t error);

// FormatMessageA(FROM_SYSTEM | ALLOCATE_BUFFER, language 0x400): the system's
// text for `error`, to be released with freeErrorText; null when the system
// has no text for that number.
char* errorText(uint32_t error);
void freeErrorText(char* text);

// Console: is a keystroke waiting (takes nothing), read one character
// (-1 at end of input), and whether standard input is an interactive console.
bool consoleKeyWaiting();
int consoleReadChar();
bool consoleIsInteractive();

// Real-time work. What raising the calling thread's priority gave.
enum class PriorityLevel { kNormal, kRaised, kRealtime };
struct PriorityGranted {
  PriorityLevel level = PriorityLevel::kNormal;
  int value = 0;  // SCHED_FIFO priority, nice value, or Windows thread priority
};
// Asks for real-time scheduling of the calling thread (SCHED_FIFO at
// `realtimePriority`, or lower as RLIMIT_RTPRIO allows;
// THREAD_PRIORITY_TIME_CRITICAL on Windows), else a raised priority (a
// negative nice value as RLIMIT_NICE allows; THREAD_PRIORITY_HIGHEST), else
// leaves it as it is.
PriorityGranted raiseThreadPriority(int realtimePriority);
// Locks memory into RAM (mlock; VirtualLock, growing the working set).
// False where the host does not permit it.
bool lockMemory(void* address, size_t bytes);
void unlockMemory(void* address, size_t bytes);
// Asks the host to back a large buffer with huge pages (transparent huge
// pages on Linux), so that touching, pinning and mapping it cost one step per
// 2 MiB rather than per 4 KiB. A hint: nothing happens where it is not had.
inline constexpr size_t kLargePageBytes = size_t{2} << 20;
// The alignment unbuffered file writes (O_DIRECT, FILE_FLAG_NO_BUFFERING) ask
// of a buffer; sample buffers that may be written so are aligned to it.
inline constexpr size_t kPageBytes = 4096;
void preferLargePages(void* address, size_t bytes);

}  // namespace kpx::platform
