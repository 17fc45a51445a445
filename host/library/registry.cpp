#include "registry.h"

#include <cstdio>
#include <new>

#include "board_catalog.h"
#include "kpxadac_ioctl.h"
#include "platform/platform.h"
#include "requests.h"
#include "messages.h"

namespace kpx {

using namespace driver;

namespace {

struct BoardRegistry {
  BoardRecord* first = nullptr;
  int32_t adcBoardCount = 0;  // registrations since the process started
  int32_t dacBoardCount = 0;
};

BoardRegistry registry;

platform::Mutex* mutexOf(const BoardRecord* record) {
  return static_cast<platform::Mutex*>(record->mutex);
}

void unlink(BoardRecord* record) {
  BoardRecord** link = &registry.first;
  while (*link && *link != record) link = &(*link)->next;
  if (*link) *link = record->next;
}

void destroyRecord(BoardRecord* record) {
  platform::destroyMutex(mutexOf(record));
  delete record;
}

BoardHandle openNumberedDevice(int number) {
  char name[256];
  std::snprintf(name, sizeof name, kDeviceNameFormat, number);
  return platform::openDevice(name, kGenericReadWrite, kShareReadWrite, nullptr, kOpenExisting,
                              kNoFlags, nullptr);
}

BoardRecord* recordAt(BoardType type, uint8_t index) {
  int32_t position = -1;
  for (BoardRecord* r = registry.first; r; r = r->next) {
    if (r->type == type && ++position == index) return r;
  }
  return nullptr;
}

}  // namespace

int32_t addBoard(BoardHandle handle) {
  for (BoardRecord* r = registry.first; r; r = r->next)
    if (r->handle == handle) return -1;

  uint8_t ident[6] = {};
  if (!sendRequest(handle, IOCTL_GET_BOARD_ID, nullptr, 0, ident, sizeof ident)) return -2;

  auto* record = new (std::nothrow) BoardRecord{};
  if (!record) return -1;
  record->mutex = platform::createMutex(true);
  if (!record->mutex) {
    delete record;
    return -1;
  }
  BoardRecord** tail = &registry.first;
  while (*tail) tail = &(*tail)->next;
  *tail = record;

  int boardId = ident[5];
  if (!isKnownBoardId(boardId)) {
    printLine("[addBoard] ERROR!! BOARD ID DO NOT MATCH!!!\n");
    platform::releaseMutex(mutexOf(record));
    unlink(record);
    destroyRecord(record);
    return -3;
  }

  bool dac = isDacBoardId(boardId);
  int32_t& counter = dac ? registry.dacBoardCount : registry.adcBoardCount;
  record->handle = handle;
  record->type = dac ? BOARD_TYPE_DAC : BOARD_TYPE_ADC;
  record->boardId = boardId;
  record->typeIndex = counter;
  record->readTotal = record->writeTotal = 0;
  record->readRequested = record->writeRequested = 0;
  storeField(record->state, STATE_IDLE);
  ++counter;
  catalog::noteRegistered(handle, ident);
  platform::releaseMutex(mutexOf(record));
  return 0;
}

int32_t removeBoard(BoardHandle handle) {
  BoardRecord* record = registry.first;
  while (record && record->handle != handle) record = record->next;
  if (!record) return -1;
  platform::waitMutex(mutexOf(record));
  unlink(record);
  catalog::forget(handle);
  platform::releaseMutex(mutexOf(record));
  destroyRecord(record);
  return 0;
}

BoardRecord* findBoard(BoardHandle handle) {
  for (BoardRecord* r = registry.first; r; r = r->next) {
    if (r->handle == handle) {
      platform::waitMutex(mutexOf(r));
      platform::releaseMutex(mutexOf(r));
      return r;
    }
  }
  return nullptr;
}

void setBoardState(BoardRecord* record, BoardState state) {
  platform::waitMutex(mutexOf(record));
  storeField(record->state, state);
  platform::releaseMutex(mutexOf(record));
}

void setBoardError(BoardRecord* record, BoardError error) {
  platform::waitMutex(mutexOf(record));
  storeField(record->lastError, error);
  platform::releaseMutex(mutexOf(record));
}

Guarded runGuardedRequest(BoardHandle handle, BoardState busyState, uint32_t code, const void* in,
                          uint32_t inLength, void* out, uint32_t outLength, Report report) {
  BoardRecord* record = findBoard(handle);
  if (!record) return Guarded::kNoBoard;
  if (boardState(record) != STATE_IDLE) {
    setBoardError(record, ERR_NOT_IDLE);
    return Guarded::kNotIdle;
  }
  setBoardState(record, busyState);
  bool ok = sendRequest(handle, code, in, inLength, out, outLength, nullptr, report);
  if (!ok) setBoardError(record, ERR_REQUEST_FAILED);
  setBoardState(record, STATE_IDLE);
  return ok ? Guarded::kRan : Guarded::kFailed;
}

BoardState boardState(const BoardRecord* record) { return loadField(record->state); }

BoardRecord* firstBoard() { return registry.first; }

void lockBoard(BoardRecord* record) { platform::waitMutex(mutexOf(record)); }
void unlockBoard(BoardRecord* record) { platform::releaseMutex(mutexOf(record)); }

}  // namespace kpx

using namespace kpx;

extern "C" {

int32_t Kpxadac16_Open(void) {
  for (int number = kFirstDevice; number <= kLastDevice; ++number) {
    BoardHandle handle = openNumberedDevice(number);
    if (handle != KPXADAC_INVALID_HANDLE && addBoard(handle) == 0)
      catalog::noteDevice(handle, number);
  }
  return registry.adcBoardCount + registry.dacBoardCount;
}

int32_t Kpxadac16_OpenBoard(uint8_t device) {
  BoardHandle handle = openNumberedDevice(device);
  if (handle == KPXADAC_INVALID_HANDLE) return 0;
  if (addBoard(handle) == 0) catalog::noteDevice(handle, device);
  return 1;
}

void Kpxadac16_Close(BoardHandle handle) {
  if (handle == KPXADAC_INVALID_HANDLE || handle == 0) return;
  if (platform::closeHandle(handle)) removeBoard(handle);
}

void Kpxadac16_CloseAll(void) {
  BoardRecord* record = registry.first;
  while (record) {
    BoardRecord* next = record->next;
    BoardHandle handle = record->handle;
    removeBoard(handle);
    if (handle != KPXADAC_INVALID_HANDLE && handle != 0) platform::closeHandle(handle);
    record = next;
  }
}

BoardHandle Kpxadac16_GetHandle(BoardType type, uint8_t index) {
  BoardRecord* record = recordAt(type, index);
  return record ? record->handle : KPXADAC_INVALID_HANDLE;
}

int32_t Kpxadac16_GetBoardId(BoardType type, uint8_t index) {
  BoardRecord* record = recordAt(type, index);
  return record ? record->boardId : -1;
}

int32_t Kpxadac16_GetBoardStatus(BoardHandle handle) {
  uint8_t status = 0;
  switch (runGuardedRequest(handle, STATE_QUERY, IOCTL_GET_BOARD_STATUS, nullptr, 0, &status,
                            sizeof status, Report::kSilent)) {
    case Guarded::kNoBoard: return -3;
    case Guarded::kNotIdle: return -1;
    case Guarded::kFailed: return -2;
    case Guarded::kRan: break;
  }
  return status;
}

int32_t Kpxadac16_GetBoardInfo(BoardHandle handle, uint8_t info[6]) {
  uint8_t reply[6] = {};
  switch (runGuardedRequest(handle, STATE_QUERY, IOCTL_GET_BOARD_ID, nullptr, 0, reply,
                            sizeof reply, Report::kSilent)) {
    case Guarded::kNoBoard: return -3;
    case Guarded::kNotIdle: return -2;
    case Guarded::kFailed: return -1;
    case Guarded::kRan: break;
  }
  if (info) {
    // Bytes 3 and 4 change places; the board ID stays in byte 5.
    const uint8_t order[6] = {0, 1, 2, 4, 3, 5};
    for (int i = 0; i < 6; ++i) info[i] = reply[order[i]];
  }
  return 0;
}

int32_t Kpxadac16_GetFixedClock(BoardHandle handle) {
  BoardRecord* record = findBoard(handle);
  if (!record) return -3;
  uint8_t clock = 0;
  if (!sendRequest(handle, IOCTL_GET_FIXED_CLOCK, nullptr, 0, &clock, sizeof clock, nullptr,
                   Report::kSilent)) {
    setBoardError(record, ERR_REQUEST_FAILED);
    return -2;
  }
  return clock;
}

BoardState Kpxadac16_GetState(BoardHandle handle) {
  BoardRecord* record = findBoard(handle);
  return record ? boardState(record) : STATE_NONE;
}

BoardRecord Kpxadac16_GetBoardRecord(BoardHandle handle) {
  BoardRecord copy{};
  BoardRecord* record = findBoard(handle);
  if (!record) return copy;
  copy.handle = record->handle;
  copy.mutex = record->mutex;
  copy.boardId = record->boardId;
  copy.typeIndex = record->typeIndex;
  copy.state = loadField(record->state);
  copy.lastError = loadField(record->lastError);
  copy.type = record->type;
  copy.readTotal = loadField(record->readTotal);
  copy.writeTotal = loadField(record->writeTotal);
  copy.readRequested = loadField(record->readRequested);
  copy.writeRequested = loadField(record->writeRequested);
  copy.next = record->next;
  return copy;
}

uint32_t Kpxadac16_GetReadTotal(BoardHandle handle) {
  BoardRecord* record = findBoard(handle);
  return record ? loadField(record->readTotal) : 0;
}

uint32_t Kpxadac16_GetWriteTotal(BoardHandle handle) {
  BoardRecord* record = findBoard(handle);
  return record ? loadField(record->writeTotal) : 0;
}

BoardError Kpxadac16_GetLastError(BoardHandle handle) {
  BoardRecord* record = findBoard(handle);
  return record ? loadField(record->lastError) : ERR_NO_BOARD;
}

}  // extern "C"
