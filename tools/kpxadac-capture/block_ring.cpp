#include "block_ring.h"

#include <chrono>

namespace capture {

namespace {
// A signal handler cannot wake a condition variable, so a reader waiting for
// an empty block looks at the stop flag this often.
constexpr auto kStopPollInterval = std::chrono::milliseconds(50);
}  // namespace

BlockRing::BlockRing(unsigned count, uint32_t blockBytes)
    : blockBytes_(blockBytes), blocks_(count) {
  for (auto& block : blocks_) {
    storage_.push_back(std::make_unique_for_overwrite<uint8_t[]>(blockBytes));
    block.data = storage_.back().get();
    empty_.push_back(&block);
  }
}

Block* BlockRing::takeEmpty(const std::atomic<bool>& stop) {
  std::unique_lock lock(mutex_);
  while (empty_.empty() && !abandoned_ && !stop.load()) changed_.wait_for(lock, kStopPollInterval);
  if (abandoned_ || stop.load()) return nullptr;
  Block* block = empty_.front();
  empty_.pop_front();
  return block;
}

void BlockRing::handOn(Block* block) {
  {
    std::lock_guard lock(mutex_);
    filled_.push_back(block);
  }
  changed_.notify_all();
}

void BlockRing::finish() {
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  changed_.notify_all();
}

Block* BlockRing::takeFilled() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !filled_.empty() || finished_; });
  if (filled_.empty()) return nullptr;
  Block* block = filled_.front();
  filled_.pop_front();
  return block;
}

void BlockRing::giveBack(Block* block) {
  {
    std::lock_guard lock(mutex_);
    block->length = 0;
    empty_.push_back(block);
  }
  changed_.notify_all();
}

void BlockRing::abandon() {
  {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
  }
  changed_.notify_all();
}

}  // namespace capture
