// Diagnostics and maintenance: the driver-side board lock, profiling words,
// the V360 debug snapshot and reset, and the delay call. One request each;
// none consults the registry.
#include <cstring>

#include "kpxadac_ioctl.h"
#include "platform/platform.h"
#include "requests.h"

using namespace kpx;
using namespace kpx::driver;

static_assert(sizeof(V360DebugRecord) == 44, "the record mirrors the 44-byte snapshot");

namespace {

// Copies one field of the snapshot into the record at the same offset.
template <typename Field>
void copyField(Field& field, const uint8_t* snapshot, size_t offset) {
  std::memcpy(&field, snapshot + offset, sizeof field);
}

}  // namespace

extern "C" {

int32_t Kpxadac16_LockBoard(BoardHandle handle) {
  return sendRequest(handle, IOCTL_LOCK_BOARD, nullptr, 0, nullptr, 0) ? 0 : 1;
}

int32_t Kpxadac16_UnlockBoard(BoardHandle handle) {
  return sendRequest(handle, IOCTL_UNLOCK_BOARD, nullptr, 0, nullptr, 0) ? 0 : 1;
}

int32_t Kpxadac16_GetProfiling(BoardHandle handle, ProfilingRecord* record) {
  uint32_t words[5] = {};
  if (!sendRequest(handle, IOCTL_GET_PROFILING, nullptr, 0, words, sizeof words)) return -1;
  if (record) std::memcpy(record->words, words, sizeof words);
  return 0;
}

int32_t Kpxadac16_ResetProfiling(BoardHandle handle, uint8_t param1, uint8_t param2) {
  return sendParameterBytes(handle, IOCTL_RESET_PROFILING, param1, param2);
}

int32_t Kpxadac16_V360Debug(BoardHandle handle, V360DebugRecord* record) {
  uint8_t snapshot[44] = {};
  if (!sendRequest(handle, IOCTL_V360_DEBUG, nullptr, 0, snapshot, sizeof snapshot)) return -1;
  if (!record) return 0;
  // Field by field: the two bytes at offset 4 and the reserved pair at 34
  // keep what the caller left there.
  copyField(record->field0, snapshot, 0);
  copyField(record->field2, snapshot, 2);
  copyField(record->field6, snapshot, 6);
  copyField(record->field8, snapshot, 8);
  copyField(record->field12, snapshot, 12);
  copyField(record->field16, snapshot, 16);
  copyField(record->field20, snapshot, 20);
  copyField(record->field24, snapshot, 24);
  copyField(record->field26, snapshot, 26);
  copyField(record->field28, snapshot, 28);
  copyField(record->field30, snapshot, 30);
  copyField(record->field32, snapshot, 32);
  copyField(record->field33, snapshot, 33);
  copyField(record->field36, snapshot, 36);
  copyField(record->field40, snapshot, 40);
  return 0;
}

int32_t Kpxadac16_V360Reset(BoardHandle handle) {
  return sendRequest(handle, IOCTL_V360_RESET, nullptr, 0, nullptr, 0) ? 0 : -1;
}

void Kpxadac16_Sleep(BoardHandle /*handle*/, uint32_t milliseconds) {
  platform::sleepMilliseconds(milliseconds);
}

}  // extern "C"
