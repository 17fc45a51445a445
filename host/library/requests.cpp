// Request wrappers that belong to no other area: register access, chunked
// FPGA memory transfers and the announcement of a streaming read.
#include "requests.h"

#include <cstdio>

#include "kpxadac_ioctl.h"
#include "platform/platform.h"
#include "messages.h"

namespace kpx {

using namespace driver;

void printRequestFailure(uint32_t code) {
  printLine("%s failed:  %d\n", requestName(code), static_cast<int>(platform::lastError()));
}

bool sendRequest(BoardHandle handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned, Report report) {
  uint32_t count = 0;
  bool ok = platform::deviceControl(handle, code, in, inLength, out, outLength, &count);
  if (returned) *returned = count;
  if (!ok && report == Report::kPrintFailure) printRequestFailure(code);
  return ok;
}

int32_t sendParameterBytes(BoardHandle handle, uint32_t code, uint8_t param1, uint8_t param2) {
  const uint8_t in[2] = {param1, param2};
  return sendRequest(handle, code, in, sizeof in, nullptr, 0) ? 0 : -1;
}

namespace {

// Moves `length` bytes in requests of at most KPXADAC16_FPGA_MEM_MAX_CHUNK.
// Each request carries the address and the count still to move; the chunk
// travels as the output block. The cursor advances by what was asked, not by
// what the driver reported.
int32_t transferFpgaMemory(uint32_t code, BoardHandle handle, uint32_t address, uint32_t length,
                           uint32_t* buffer) {
  uint32_t total = 0;
  uint32_t remaining = length;
  while (remaining != 0) {
    uint32_t chunk = remaining < KPXADAC16_FPGA_MEM_MAX_CHUNK ? remaining
                                                               : KPXADAC16_FPGA_MEM_MAX_CHUNK;
    const uint32_t in[2] = {address, remaining};
    uint32_t returned = 0;
    if (!sendRequest(handle, code, in, sizeof in, buffer, chunk, &returned)) return -1;
    buffer += chunk / 4;
    address += chunk;
    remaining -= chunk;
    total += returned;
  }
  return static_cast<int32_t>(total);
}

}  // namespace

}  // namespace kpx

using namespace kpx;

extern "C" {

uint32_t Kpxadac16_ReadReg(BoardHandle handle, uint32_t offset) {
  uint32_t value = 0;
  if (!sendRequest(handle, IOCTL_GET_HSREG, &offset, sizeof offset, &value, sizeof value))
    return 0xFFFFFFFFu;
  return value;
}

int32_t Kpxadac16_WriteReg(BoardHandle handle, uint32_t offset, uint32_t value) {
  const uint32_t in[2] = {offset, value};
  uint32_t answer = 0;  // supplied because the driver fills it; never read
  if (!sendRequest(handle, IOCTL_WRITE_SET_HSREG, in, sizeof in, &answer, sizeof answer))
    return -1;
  return static_cast<int32_t>(value);
}

int32_t Kpxadac16_ReadFpgaMem(BoardHandle handle, uint32_t address, uint32_t length,
                              uint32_t* buffer) {
  return transferFpgaMemory(IOCTL_READ_FPGA_MEM, handle, address, length, buffer);
}

int32_t Kpxadac16_WriteFpgaMem(BoardHandle handle, uint32_t address, uint32_t length,
                               uint32_t* buffer) {
  return transferFpgaMemory(IOCTL_WRITE_FPGA_MEM, handle, address, length, buffer);
}

int32_t Kpxadac16_SetTransferWords(BoardHandle handle, uint32_t length) {
  uint32_t words = length >> 2;
  return sendRequest(handle, IOCTL_SET_TRANSFER_WORDS, &words, sizeof words, nullptr, 0, nullptr,
                     Report::kSilent)
             ? 1
             : 0;
}

}  // extern "C"
