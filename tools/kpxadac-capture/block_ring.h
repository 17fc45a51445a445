// A fixed ring of equal buffers between the thread that reads the board and
// the thread that writes the file. The reader takes an empty block, fills it
// and hands it on; the writer takes filled blocks in order, writes them and
// gives them back. When every block is filled the reader waits.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace capture {

struct Block {
  uint8_t* data = nullptr;
  uint32_t length = 0;  // bytes filled
};

class BlockRing {
 public:
  BlockRing(unsigned count, uint32_t blockBytes);

  uint32_t blockBytes() const { return blockBytes_; }

  // Reader side. Waits for an empty block; null once `stop` is set or the
  // writer has given up.
  Block* takeEmpty(const std::atomic<bool>& stop);
  void handOn(Block* block);
  // No more blocks will come.
  void finish();

  // Writer side. Waits for the next filled block; null once the reader has
  // finished and every block has been taken.
  Block* takeFilled();
  void giveBack(Block* block);
  // The writer stops taking blocks; a waiting reader wakes up with null.
  void abandon();

 private:
  uint32_t blockBytes_;
  std::vector<std::unique_ptr<uint8_t[]>> storage_;
  std::vector<Block> blocks_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Block*> empty_;
  std::deque<Block*> filled_;
  bool finished_ = false;
  bool abandoned_ = false;
};

}  // namespace capture
