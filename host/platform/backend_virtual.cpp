// Device backend that talks to the virtual boards. The boards answer with
// Windows error numbers, which become the calling thread's last error here,
// as the driver's answers do on Windows.
#include "platform/platform.h"
#include "virtual_boards/virtual_rack.h"

namespace kpx::platform {

namespace {

bool succeeded(uint32_t error) {
  if (error == 0) return true;
  setLastError(error);
  return false;
}

Handle openVirtual(const char* path, uint32_t access, uint32_t share, void* /*security*/,
                   uint32_t disposition, uint32_t flags, void* /*templateFile*/) {
  sim::Handle handle = kInvalidHandle;
  if (!succeeded(sim::openDevice(path, access, share, disposition, flags, &handle)))
    return kInvalidHandle;
  return handle;
}

bool closeVirtual(Handle handle) {
  return succeeded(sim::closeDevice(handle));
}

bool controlVirtual(Handle handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                    uint32_t outLength, uint32_t* returned) {
  *returned = 0;
  return succeeded(sim::control(handle, code, in, inLength, out, outLength, returned));
}

bool readVirtual(Handle handle, void* buffer, uint32_t length, uint32_t* moved) {
  *moved = 0;
  return succeeded(sim::readDevice(handle, buffer, length, moved));
}

bool writeVirtual(Handle handle, const void* buffer, uint32_t length, uint32_t* moved) {
  *moved = 0;
  return succeeded(sim::writeDevice(handle, buffer, length, moved));
}

bool cancelVirtual(Handle handle) {
  return succeeded(sim::cancelIo(handle));
}

const DeviceBackend kVirtualBackend = {
    "virtual",   openVirtual,  closeVirtual,  controlVirtual,
    readVirtual, writeVirtual, cancelVirtual, sim::rackProblem,
};

}  // namespace

const DeviceBackend& virtualBackend() {
  return kVirtualBackend;
}

}  // namespace kpx::platform
