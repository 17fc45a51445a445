// Streaming transfers through the board's Talvo channel, and the channel's
// thin requests.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kpxadac_ioctl.h"
#include "platform/platform.h"
#include "registry.h"
#include "requests.h"
#include "messages.h"

namespace kpx {

using namespace driver;

namespace {

// A device that keeps answering with 0 bytes would otherwise keep the loop
// (and the board's lock) forever; after this many empty passes in a row the
// transfer fails with a time-out.
constexpr int kMaxEmptyPasses = 16;

struct Direction {
  BoardState busyState;
  BoardError failure;
  uint32_t BoardRecord::*total;
  uint32_t BoardRecord::*requested;
};

constexpr Direction kReading{STATE_READING, ERR_READ_FAILED, &BoardRecord::readTotal,
                             &BoardRecord::readRequested};
constexpr Direction kWriting{STATE_WRITING, ERR_WRITE_FAILED, &BoardRecord::writeTotal,
                             &BoardRecord::writeRequested};

void printReadFailure(uint32_t error) {
  printLine("[TalvoReadBuffer] ERROR! TalvoReadFile error! ErrNo: %d\n", static_cast<int>(error));
  char* text = platform::errorText(error);
  if (text) {
    printLine("%s\n", text);
    platform::freeErrorText(text);
  } else {
    printLine("Unknown error %d.\n", static_cast<int>(error));
  }
}

void printWriteFailure(uint32_t error) {
  printLine("[TalvoWriteBuffer] ERROR! TalvoWriteFile error: %d\n", static_cast<int>(error));
}

// The loop both transfers share. `moveChunk` performs one platform read or
// write of `chunk` bytes at byte `offset` of the caller's buffer and reports
// the count moved. Returns the bytes moved, or 0 with the reason recorded.
template <typename MoveChunk>
uint32_t runTransfer(BoardHandle handle, uint32_t length, const Direction& direction,
                     MoveChunk moveChunk) {
  if (length == 0) return 0;
  BoardRecord* record = findBoard(handle);
  if (!record) return 0;
  lockBoard(record);
  if (boardState(record) != STATE_IDLE) {
    setBoardError(record, ERR_NOT_IDLE);
    unlockBoard(record);
    return 0;
  }
  setBoardState(record, direction.busyState);
  uint32_t& total = record->*direction.total;
  storeField(total, 0u);
  storeField(record->*direction.requested, length);

  uint32_t remaining = length;
  int emptyPasses = 0;
  while (remaining > 3 && boardState(record) == direction.busyState) {
    uint32_t chunk = remaining > TALVO_MAX_CHUNK ? TALVO_MAX_CHUNK : remaining - remaining % 4;
    uint32_t moved = 0;
    bool ok = moveChunk(length - remaining, chunk, &moved);
    uint32_t error = ok ? 0 : platform::lastError();
    if (ok && moved == 0 && ++emptyPasses >= kMaxEmptyPasses) {
      ok = false;
      error = error::kTimeout;
    }
    if (!ok) {
      if (direction.busyState == STATE_READING)
        printReadFailure(error);
      else
        printWriteFailure(error);
      setBoardError(record, direction.failure);
      setBoardState(record, STATE_IDLE);
      unlockBoard(record);
      return 0;
    }
    if (moved != 0) emptyPasses = 0;
    if (moved > chunk) moved = chunk;  // never trust a count beyond the request
    remaining -= moved;
    storeField(total, total + moved);
  }

  if (boardState(record) == direction.busyState) {
    uint32_t result = loadField(total);
    setBoardState(record, STATE_IDLE);
    unlockBoard(record);
    return result;
  }
  setBoardError(record, ERR_CANCELLED);
  setBoardState(record, STATE_IDLE);
  unlockBoard(record);
  return 0;
}

int32_t cancelTransfer(BoardHandle handle, BoardState running) {
  BoardRecord* record = findBoard(handle);
  if (!record) return -1;
  if (boardState(record) != running) return 1;
  setBoardState(record, STATE_CANCEL);
  return 0;
}

}  // namespace

}  // namespace kpx

using namespace kpx;

extern "C" {

uint32_t TalvoReadBuffer(BoardHandle handle, void* buffer, uint32_t length) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  return runTransfer(handle, length, kReading, [&](uint32_t offset, uint32_t chunk, uint32_t* moved) {
    Kpxadac16_SetTransferWords(handle, chunk);
    return platform::readFile(handle, bytes + offset, chunk, moved);
  });
}

uint32_t TalvoWriteBuffer(BoardHandle handle, const void* buffer, uint32_t length) {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  return runTransfer(handle, length, kWriting, [&](uint32_t offset, uint32_t chunk, uint32_t* moved) {
    return platform::writeFile(handle, bytes + offset, chunk, moved);
  });
}

int32_t TalvoCancelRead(BoardHandle handle) { return cancelTransfer(handle, STATE_READING); }

int32_t TalvoCancelWrite(BoardHandle handle) {
  int32_t result = cancelTransfer(handle, STATE_WRITING);
  if (result != 0) return result;
  return platform::cancelIo(handle) ? 0 : 1;
}

uint32_t TalvoPreloadWrite(BoardHandle handle, const void* data, uint32_t length) {
  if (!data) return 0;
  // The staging block carries a 32-bit length in front of the data; a block
  // whose size does not fit in 32 bits cannot be described to the driver.
  if (length > UINT32_MAX - 4) {
    printLine("[TalvoPreloadWrite] ERROR! %u bytes do not fit one preload request\n", length);
    return 0;
  }
  uint32_t stagedLength = length + 4;
  auto* staging = static_cast<uint8_t*>(std::malloc(stagedLength));
  if (!staging) {
    printLine("[TalvoPreloadWrite] ERROR! Cannot allocate %u bytes\n", stagedLength);
    return 0;
  }
  for (int i = 0; i < 4; ++i) staging[i] = static_cast<uint8_t>(length >> (8 * i));
  std::memcpy(staging + 4, data, length);
  uint32_t returned = 0;
  bool ok = sendRequest(handle, IOCTL_TALVO_PRELOAD_WRITE, staging, stagedLength, nullptr, 0,
                        &returned);
  std::free(staging);
  return ok ? returned : 0;
}

int32_t TalvoReset(BoardHandle handle, uint8_t param1, uint8_t param2) {
  return sendParameterBytes(handle, IOCTL_TALVO_RESET, param1, param2);
}

int32_t TalvoFlowControl(BoardHandle handle, uint8_t param1, uint8_t param2) {
  return sendParameterBytes(handle, IOCTL_TALVO_FLOWCONTROL, param1, param2);
}

int32_t TalvoGetError(BoardHandle handle, TalvoErrorCounts* counts) {
  uint32_t words[2] = {};
  if (!sendRequest(handle, IOCTL_GET_TALVO_ERROR, nullptr, 0, words, sizeof words)) return -1;
  if (counts) {
    counts->rxOverrunCount = words[0];
    counts->txUnderrunCount = words[1];
  }
  return 0;
}

}  // extern "C"
