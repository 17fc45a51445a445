// The board registry: the process-wide list of open boards, each with a
// re-entrant lock, an operation state and the reason of its last failure.
//
// The list and its counters have no lock: registering and closing boards
// must not overlap other use of the library. Per-board fields that other
// threads may read while one thread writes them (state, lastError) are read
// and written atomically; writes also take the board's lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "kpxadac16.h"
#include "requests.h"

namespace kpx {

// Registers the opened device `handle`.
// 0 registered; -1 already registered or no memory; -2 the ID request
// failed; -3 board ID not accepted.
int32_t addBoard(BoardHandle handle);

// 0 removed; -1 no record with that handle. Does not close the handle.
int32_t removeBoard(BoardHandle handle);

// The record of `handle`, or null. Waits until no other thread holds the
// board's lock and releases it at once, so every lookup is a barrier.
BoardRecord* findBoard(BoardHandle handle);

void setBoardState(BoardRecord* record, BoardState state);
void setBoardError(BoardRecord* record, BoardError error);
BoardState boardState(const BoardRecord* record);

// The first record of the registry's list (follow `next`), or null.
BoardRecord* firstBoard();

// The guarded-operation pattern: refuse (ERR_NOT_IDLE) unless the board is
// idle, hold `busyState` while the request is in flight, record
// ERR_REQUEST_FAILED when it fails, and return to STATE_IDLE.
enum class Guarded { kRan, kNoBoard, kNotIdle, kFailed };
Guarded runGuardedRequest(BoardHandle handle, BoardState busyState, uint32_t code, const void* in,
                          uint32_t inLength, void* out, uint32_t outLength, Report report);

// Holds the board's lock (re-entrant for the holder).
void lockBoard(BoardRecord* record);
void unlockBoard(BoardRecord* record);

// Relaxed atomic access to record fields that another thread may touch.
template <typename T>
T loadField(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}

template <typename T>
void storeField(T& field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

}  // namespace kpx
