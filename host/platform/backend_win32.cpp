// Device backend for the board driver on Windows: each hook is the Win32
// call of the same name, with the arguments passed through unchanged. The
// calls set the thread's last error themselves.
#include "platform/platform.h"
#include "platform/win32.h"

namespace kpx::platform {

namespace {

HANDLE toWin32(Handle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

Handle openWin32(const char* path, uint32_t access, uint32_t share, void* security,
                 uint32_t disposition, uint32_t flags, void* templateFile) {
  // INVALID_HANDLE_VALUE has all bits set, the same as kInvalidHandle.
  HANDLE handle = CreateFileA(path, access, share, static_cast<LPSECURITY_ATTRIBUTES>(security),
                              disposition, flags, static_cast<HANDLE>(templateFile));
  return reinterpret_cast<Handle>(handle);
}

bool closeWin32(Handle handle) {
  return CloseHandle(toWin32(handle)) != FALSE;
}

bool controlWin32(Handle handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                  uint32_t outLength, uint32_t* returned) {
  // Starts at 0, so a request that fails before the driver answers moved nothing.
  DWORD count = 0;
  BOOL ok = DeviceIoControl(toWin32(handle), code, const_cast<void*>(in), inLength, out, outLength,
                            &count, nullptr);
  *returned = count;
  return ok != FALSE;
}

bool readWin32(Handle handle, void* buffer, uint32_t length, uint32_t* moved) {
  DWORD count = 0;
  BOOL ok = ReadFile(toWin32(handle), buffer, length, &count, nullptr);
  *moved = count;
  return ok != FALSE;
}

bool writeWin32(Handle handle, const void* buffer, uint32_t length, uint32_t* moved) {
  DWORD count = 0;
  BOOL ok = WriteFile(toWin32(handle), buffer, length, &count, nullptr);
  *moved = count;
  return ok != FALSE;
}

bool cancelWin32(Handle handle) {
  return CancelIo(toWin32(handle)) != FALSE;
}

// The driver needs no set-up of its own: a missing driver shows as no boards.
std::string noProblem() {
  return {};
}

const DeviceBackend kWin32Backend = {
    "win32", openWin32, closeWin32, controlWin32, readWin32, writeWin32, cancelWin32, noProblem,
};

}  // namespace

const DeviceBackend& win32Backend() {
  return kWin32Backend;
}

}  // namespace kpx::platform
