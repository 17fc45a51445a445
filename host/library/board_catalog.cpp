#include "board_catalog.h"

#include <cstring>
#include <map>
#include <mutex>

namespace kpx::catalog {

namespace {

struct Catalog {
  std::mutex mutex;
  std::map<BoardHandle, BoardFacts> boards;
  uint64_t registrations = 0;
};

// Never destroyed: boards may still be closed while static objects go.
Catalog& theCatalog() {
  static Catalog* instance = new Catalog;
  return *instance;
}

template <typename Change>
void change(BoardHandle handle, Change&& apply) {
  Catalog& c = theCatalog();
  std::lock_guard lock(c.mutex);
  const auto found = c.boards.find(handle);
  if (found != c.boards.end()) apply(found->second);
}

}  // namespace

void noteRegistered(BoardHandle handle, const uint8_t ident[6]) {
  Catalog& c = theCatalog();
  std::lock_guard lock(c.mutex);
  BoardFacts facts;
  std::memcpy(facts.ident, ident, sizeof facts.ident);
  facts.registration = ++c.registrations;
  c.boards[handle] = facts;
}

void noteDevice(BoardHandle handle, int32_t device) {
  change(handle, [&](BoardFacts& facts) { facts.device = device; });
}

void noteClock(BoardHandle handle, int32_t clock) {
  change(handle, [&](BoardFacts& facts) { facts.clockSetUp = clock; });
}

void noteFixedClockRate(BoardHandle handle, double rateHz) {
  change(handle, [&](BoardFacts& facts) { facts.fixedClockRateHz = rateHz; });
}

void forget(BoardHandle handle) {
  Catalog& c = theCatalog();
  std::lock_guard lock(c.mutex);
  c.boards.erase(handle);
}

void forgetAll() {
  Catalog& c = theCatalog();
  std::lock_guard lock(c.mutex);
  c.boards.clear();
}

std::optional<BoardFacts> factsOf(BoardHandle handle) {
  Catalog& c = theCatalog();
  std::lock_guard lock(c.mutex);
  const auto found = c.boards.find(handle);
  if (found == c.boards.end()) return std::nullopt;
  return found->second;
}

}  // namespace kpx::catalog
