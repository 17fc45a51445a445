// Device operations: the one place where the device backend is chosen, and
// where every device call passes the request trace.
#include "platform/platform.h"

#include <cstdlib>
#include <mutex>

#include "kpxadac_ioctl.h"
#include "platform/trace.h"

namespace kpx::platform {

namespace {

const DeviceBackend* chooseBackend() {
#ifdef _WIN32
  // Virtual boards on request, so the SDK can be tried without a board.
  if (std::getenv("KPXADAC_SIM")) return &virtualBackend();
  return &win32Backend();
#else
  return &virtualBackend();
#endif
}

const DeviceBackend* activeBackend = nullptr;
std::once_flag startOnce;

// Chooses the backend and starts the trace, once per process.
const DeviceBackend& backend() {
  std::call_once(startOnce, [] {
    activeBackend = chooseBackend();
    trace::start();
  });
  return *activeBackend;
}

}  // namespace

const char* backendName() {
  return backend().name;
}

std::string backendProblem() {
  return backend().problem();
}

Handle openDevice(const char* path, uint32_t access, uint32_t share, void* security,
                  uint32_t disposition, uint32_t flags, void* templateFile) {
  const DeviceBackend& b = backend();
  Handle handle = b.open(path, access, share, security, disposition, flags, templateFile);
  if (trace::enabled) {
    bool ok = handle != kInvalidHandle;
    uint32_t error = ok ? 0 : lastError();
    if (ok) trace::rememberDevice(handle, driver::deviceNumberFromName(path).value_or(-1));
    trace::open(path, handle, ok, error, access, share, disposition, flags);
    setLastError(error);
  }
  return handle;
}

bool closeHandle(Handle handle) {
  bool ok = backend().close(handle);
  if (trace::enabled) {
    uint32_t error = ok ? 0 : lastError();
    trace::close(handle, ok, error);
    if (ok) trace::forgetDevice(handle);
    setLastError(error);
  }
  return ok;
}

bool deviceControl(Handle handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                   uint32_t outLength, uint32_t* returned) {
  bool ok = backend().control(handle, code, in, inLength, out, outLength, returned);
  if (trace::enabled) {
    uint32_t error = ok ? 0 : lastError();
    trace::control(handle, code, in, inLength, out, outLength, *returned, ok, error);
    setLastError(error);
  }
  return ok;
}

bool readFile(Handle handle, void* buffer, uint32_t length, uint32_t* moved) {
  bool ok = backend().read(handle, buffer, length, moved);
  if (trace::enabled) {
    uint32_t error = ok ? 0 : lastError();
    trace::transfer("read", handle, length, *moved, ok, error);
    setLastError(error);
  }
  return ok;
}

bool writeFile(Handle handle, const void* buffer, uint32_t length, uint32_t* moved) {
  bool ok = backend().write(handle, buffer, length, moved);
  if (trace::enabled) {
    uint32_t error = ok ? 0 : lastError();
    trace::transfer("write", handle, length, *moved, ok, error);
    setLastError(error);
  }
  return ok;
}

bool cancelIo(Handle handle) {
  bool ok = backend().cancel(handle);
  if (trace::enabled) {
    uint32_t error = ok ? 0 : lastError();
    trace::cancel(handle, ok, error);
    setLastError(error);
  }
  return ok;
}

}  // namespace kpx::platform
