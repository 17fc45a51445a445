// The acquisition API on virtual boards: refusals, continuity and gap
// placement against the ramp, the end of a stream (limit, stop, failed read)
// and transmit underruns. Timing only ever makes a gap more likely, never
// changes what a check expects.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sched.h>
#include <unistd.h>
#endif

#include "kpxadac_stream.h"
#include "sim_fixture.h"

namespace {

using namespace std::chrono_literals;

class StreamTest : public SimTest {
 protected:
  void TearDown() override {
    KpxStream_Close(stream);
    SimTest::TearDown();
  }

  int32_t open(uint32_t blockBytes, uint32_t blocks, int32_t direction = KPXSTREAM_RECEIVE,
               uint64_t sampleLimit = 0, int32_t setup = KPXSTREAM_SETUP_AUTO_CLOCK) {
    KpxStreamConfig config{};
    config.board = board;
    config.direction = direction;
    config.blockBytes = blockBytes;
    config.blockCount = blocks;
    config.setup = setup;
    config.sampleLimit = sampleLimit;
    return KpxStream_Open(&config, &stream);
  }

  void openAndStart(uint32_t blockBytes, uint32_t blocks, uint64_t sampleLimit = 0) {
    ASSERT_EQ(open(blockBytes, blocks, KPXSTREAM_RECEIVE, sampleLimit), KPXSTREAM_OK);
    ASSERT_EQ(KpxStream_Start(stream), KPXSTREAM_OK);
  }

  KpxStreamStatus status() {
    KpxStreamStatus s{};
    EXPECT_EQ(KpxStream_GetStatus(stream, &s), KPXSTREAM_OK);
    return s;
  }

  // Checks that a block of the ramp holds its board indexes: every sample is
  // its index mod 65536.
  static void expectRamp(const KpxStreamBlock& block) {
    const auto* samples = static_cast<const uint16_t*>(block.data);
    for (uint32_t i = 0; i < block.bytes / 2; ++i)
      ASSERT_EQ(samples[i], static_cast<uint16_t>(block.index + i)) << "sample " << i;
  }

  KpxStream* stream = nullptr;
};

constexpr const char* kRamp = R"("signal": {"type": "ramp"})";

TEST_F(StreamTest, RefusesBadArgumentsWithTheirCodes) {
  openBoard(kRamp);
  KpxStreamConfig config{};
  EXPECT_EQ(KpxStream_Open(nullptr, &stream), KPXSTREAM_ERR_NULL);
  EXPECT_EQ(KpxStream_Open(&config, nullptr), KPXSTREAM_ERR_NULL);
  EXPECT_EQ(open(0, 4), KPXSTREAM_ERR_BLOCK_SIZE);
  EXPECT_EQ(open(6, 4), KPXSTREAM_ERR_BLOCK_SIZE);
  EXPECT_EQ(open(TALVO_MAX_CHUNK + 4, 4), KPXSTREAM_ERR_BLOCK_SIZE);
  EXPECT_EQ(open(4096, 1), KPXSTREAM_ERR_BLOCK_COUNT);
  EXPECT_EQ(open(4096, 4, 2), KPXSTREAM_ERR_DIRECTION);
  EXPECT_EQ(open(4096, 4, KPXSTREAM_TRANSMIT), KPXSTREAM_ERR_DIRECTION);  // an ADC board
  EXPECT_EQ(open(4096, 4, KPXSTREAM_RECEIVE, 0, 9), KPXSTREAM_ERR_ARGUMENT);
  EXPECT_EQ(stream, nullptr);
  const BoardHandle registered = board;
  board = 0x7777;
  EXPECT_EQ(open(4096, 4), KPXSTREAM_ERR_NO_BOARD);
  board = registered;

  ASSERT_EQ(open(4096, 4), KPXSTREAM_OK);
  KpxStream* second = nullptr;
  KpxStreamConfig same{board, KPXSTREAM_RECEIVE, 4096, 4, KPXSTREAM_SETUP_NONE, 0, 0};
  EXPECT_EQ(KpxStream_Open(&same, &second), KPXSTREAM_ERR_BOARD_BUSY);
  EXPECT_EQ(second, nullptr);

  KpxStreamBlock block{};
  EXPECT_EQ(KpxStream_AcquireRead(stream, &block, 0), KPXSTREAM_ERR_STATE);  // not started
  EXPECT_EQ(KpxStream_AcquireRead(stream, nullptr, 0), KPXSTREAM_ERR_NULL);
  EXPECT_EQ(KpxStream_AcquireWrite(stream, &block, 0), KPXSTREAM_ERR_WRONG_DIRECTION);
  ASSERT_EQ(KpxStream_Start(stream), KPXSTREAM_OK);
  EXPECT_EQ(KpxStream_Start(stream), KPXSTREAM_ERR_STATE);
  block.slot = 3;
  EXPECT_EQ(KpxStream_ReleaseRead(stream, &block), KPXSTREAM_ERR_NOT_HELD);
  for (int32_t code = -16; code <= 4; ++code)
    EXPECT_STRNE(KpxStream_ResultText(code), "unknown result code") << code;

  // Closing frees the board for the next stream.
  KpxStream_Close(stream);
  stream = nullptr;
  EXPECT_EQ(open(4096, 4), KPXSTREAM_OK);
}

TEST_F(StreamTest, DeliversTheRampInOrderUpToTheSampleLimit) {
  openBoard(kRamp);
  constexpr uint64_t kLimit = 100001;  // odd: the last word's second sample is hidden
  openAndStart(4096, 3, kLimit);
  uint64_t next = 0;
  KpxStreamBlock block{};
  int32_t result;
  while ((result = KpxStream_AcquireRead(stream, &block, 5000)) == KPXSTREAM_OK) {
    ASSERT_EQ(block.index, next);
    ASSERT_EQ(block.lostBefore, 0u);
    expectRamp(block);
    next += block.bytes / 2;
    ASSERT_EQ(KpxStream_ReleaseRead(stream, &block), KPXSTREAM_OK);
    EXPECT_EQ(KpxStream_ReleaseRead(stream, &block), KPXSTREAM_ERR_NOT_HELD);
  }
  EXPECT_EQ(result, KPXSTREAM_COMPLETE);
  EXPECT_EQ(next, kLimit);
  const KpxStreamStatus s = status();
  EXPECT_EQ(s.endReason, KPXSTREAM_END_COMPLETE);
  EXPECT_EQ(s.clock, KPXSTREAM_CLOCK_SYNTHESIZER);
  EXPECT_EQ(s.samplesMoved, kLimit + 1);
}

// Counter growth injected after the fourth read: the gap sits before the
// fourth block, and a copying read never spans it.
TEST_F(StreamTest, PlacesAGapBeforeTheBlockAfterWhichTheCounterGrew) {
  // The counter starts close to its wrap and wraps with the growth.
  openBoard(std::string(kRamp) + R"(, "rx_overrun": 4294967294,
               "faults": [{"op": "read", "skip": 3, "count": 1, "rx_overrun": 5}])");
  openAndStart(1024, 8, 4096);
  std::vector<int16_t> samples(4096);
  KpxStreamReadInfo info{};
  uint64_t next = 0, copied = 0;
  int gaps = 0;
  int32_t result;
  while ((result = KpxStream_Read(stream, samples.data(), samples.size(), 5000, &info)) ==
         KPXSTREAM_OK) {
    ASSERT_EQ(info.index, next + info.lostBefore);
    if (info.lostBefore) {
      ++gaps;
      EXPECT_EQ(info.lostBefore, 10u);
      EXPECT_EQ(info.index, 3u * 512 + 10);
    }
    // The counter grew but nothing was dropped: the ramp runs on unbroken.
    const uint64_t rampStart = info.index - 10 * gaps;
    for (uint64_t i = 0; i < info.samples; ++i)
      ASSERT_EQ(static_cast<uint16_t>(samples[i]), static_cast<uint16_t>(rampStart + i));
    next = info.index + info.samples;
    copied += info.samples;
  }
  EXPECT_EQ(result, KPXSTREAM_COMPLETE);
  EXPECT_EQ(gaps, 1);
  EXPECT_EQ(copied, 4096u);
  EXPECT_EQ(status().overrunEvents, 1u);
  EXPECT_EQ(status().overrunSamples, 10u);
}

// A real-time ramp with a FIFO of 1 ms and a consumer that sleeps 5 ms a
// block: the FIFO overflows, and every gap shows as a ramp that jumps by the
// lost samples exactly where the block says.
TEST_F(StreamTest, SlowConsumerSeesGapsWhereTheRampJumps) {
  openBoard(std::string(kRamp) +
            R"(, "realtime": true, "synthesizer_rate_hz": 1e6, "fifo_depth": 1000)");
  openAndStart(2000, 2);
  uint64_t next = 0, lost = 0;
  KpxStreamBlock block{};
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(KpxStream_AcquireRead(stream, &block, 5000), KPXSTREAM_OK);
    expectRamp(block);
    ASSERT_EQ(block.index, next + block.lostBefore);
    lost += block.lostBefore;
    ASSERT_EQ(block.lostTotal, lost);
    next = block.index + block.bytes / 2;
    std::this_thread::sleep_for(5ms);
    ASSERT_EQ(KpxStream_ReleaseRead(stream, &block), KPXSTREAM_OK);
  }
  EXPECT_GT(lost, 0u);
  KpxStream_Stop(stream);
  while (KpxStream_AcquireRead(stream, &block, 5000) == KPXSTREAM_OK) {
    lost += block.lostBefore;
    KpxStream_ReleaseRead(stream, &block);
  }
  EXPECT_EQ(status().overrunSamples, lost);
}

TEST_F(StreamTest, StopWakesAConsumerWaitingWithoutTimeLimit) {
  // 2048 samples at 10 kHz: each read takes 0.2 s.
  openBoard(std::string(kRamp) + R"(, "realtime": true, "synthesizer_rate_hz": 1e4)");
  openAndStart(4096, 2);
  std::atomic<int32_t> result{-100};
  std::thread consumer([&] {
    KpxStreamBlock block{};
    int32_t r;
    while ((r = KpxStream_AcquireRead(stream, &block, -1)) == KPXSTREAM_OK)
      KpxStream_ReleaseRead(stream, &block);
    result = r;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(KpxStream_Stop(stream), KPXSTREAM_OK);
  consumer.join();
  EXPECT_EQ(result.load(), KPXSTREAM_STOPPED);
  EXPECT_EQ(KpxStream_Stop(stream), KPXSTREAM_OK);
}

TEST_F(StreamTest, FailedReadEndsTheStreamAfterTheBlocksBeforeIt) {
  openBoard(std::string(kRamp) + R"(, "faults": [{"op": "read", "skip": 2, "error": 1167}])");
  openAndStart(1024, 4);
  KpxStreamBlock block{};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(KpxStream_AcquireRead(stream, &block, 5000), KPXSTREAM_OK);
    KpxStream_ReleaseRead(stream, &block);
  }
  EXPECT_EQ(KpxStream_AcquireRead(stream, &block, 5000), KPXSTREAM_BOARD_FAILED);
  const KpxStreamStatus s = status();
  EXPECT_EQ(s.ended, 1);
  EXPECT_EQ(s.endReason, KPXSTREAM_END_BOARD_FAILED);
  EXPECT_EQ(s.boardError, ERR_READ_FAILED);
  EXPECT_EQ(s.platformError, 1167u);
  EXPECT_EQ(s.samplesMoved, 1024u);
}

TEST_F(StreamTest, WiredAdcWhoseDacStopsEndsTheStreamWithTheTimeout) {
  // An unpaced ADC wired to a DAC that played 1024 samples: the blocks it
  // covers come as played, the next read fails with 121 and ends the stream,
  // never zeros delivered as data.
  useRack(R"({"boards": [{"device": 0, "read_timeout_ms": 50, "input": {"dac": 1}},
                         {"device": 1, "board_id": "0x86"}]})");
  Kpxadac16_Open();
  board = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  const BoardHandle dac = Kpxadac16_GetHandle(BOARD_TYPE_DAC, 0);
  ASSERT_NE(board, -1);
  ASSERT_NE(dac, -1);
  std::vector<uint16_t> played(1024);
  for (size_t i = 0; i < played.size(); ++i) played[i] = static_cast<uint16_t>(i);
  ASSERT_NE(TalvoWriteBuffer(dac, played.data(), 2048), 0u);
  openAndStart(1024, 4);
  KpxStreamBlock block{};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(KpxStream_AcquireRead(stream, &block, 5000), KPXSTREAM_OK);
    expectRamp(block);  // the DAC played its indexes
    KpxStream_ReleaseRead(stream, &block);
  }
  EXPECT_EQ(KpxStream_AcquireRead(stream, &block, 5000), KPXSTREAM_BOARD_FAILED);
  const KpxStreamStatus s = status();
  EXPECT_EQ(s.endReason, KPXSTREAM_END_BOARD_FAILED);
  EXPECT_EQ(s.platformError, 121u);
  EXPECT_EQ(s.samplesMoved, 1024u);
}

TEST_F(StreamTest, CloseEndsARunningStreamWithBlocksStillHeld) {
  openBoard(kRamp);
  openAndStart(65536, 4);
  KpxStreamBlock block{};
  ASSERT_EQ(KpxStream_AcquireRead(stream, &block, 5000), KPXSTREAM_OK);
  KpxStream_Close(stream);
  stream = nullptr;
}

#ifdef __linux__
// Threads of this process that run under SCHED_FIFO.
int fifoThreads() {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    if (sched_getscheduler(std::stoi(task.path().filename().string())) == SCHED_FIFO) ++count;
  return count;
}
#endif

// The stream's thread asks for real-time priority, and the ring is locked in
// memory, where the process may have them (root may); the flag turns both
// off. The status says what the thread got.
TEST_F(StreamTest, ThreadPriorityAndRingLockFollowPermissionsAndTheFlag) {
  openBoard(kRamp);
  ASSERT_EQ(open(65536, 4), KPXSTREAM_OK);
  EXPECT_EQ(status().threadPriority, KPXSTREAM_PRIORITY_NOT_ASKED);
  ASSERT_EQ(KpxStream_Start(stream), KPXSTREAM_OK);
  const KpxStreamStatus asked = status();
  EXPECT_NE(asked.threadPriority, KPXSTREAM_PRIORITY_NOT_ASKED);
#ifdef __linux__
  EXPECT_EQ(fifoThreads(), asked.threadPriority == KPXSTREAM_PRIORITY_REALTIME ? 1 : 0);
  if (geteuid() == 0) {
    EXPECT_EQ(asked.threadPriority, KPXSTREAM_PRIORITY_REALTIME);
    EXPECT_EQ(asked.threadPriorityValue, KPXSTREAM_REALTIME_PRIORITY);
    EXPECT_EQ(asked.ringLocked, 1);
  }
#endif
  KpxStream_Close(stream);
  stream = nullptr;

  KpxStreamConfig config{};
  config.board = board;
  config.direction = KPXSTREAM_RECEIVE;
  config.blockBytes = 65536;
  config.blockCount = 4;
  config.flags = KPXSTREAM_FLAG_NORMAL_PRIORITY;
  ASSERT_EQ(KpxStream_Open(&config, &stream), KPXSTREAM_OK);
  ASSERT_EQ(KpxStream_Start(stream), KPXSTREAM_OK);
  const KpxStreamStatus plain = status();
  EXPECT_EQ(plain.threadPriority, KPXSTREAM_PRIORITY_NOT_ASKED);
  EXPECT_EQ(plain.threadPriorityValue, 0);
  EXPECT_EQ(plain.ringLocked, 0);
#ifdef __linux__
  EXPECT_EQ(fifoThreads(), 0);
#endif
}

// A real-time DAC whose FIFO runs dry while the producer pauses: the
// underrun is counted at the next write and told at the next acquire.
TEST_F(StreamTest, TransmitReportsUnderrunsAtAcquire) {
  openBoard(R"("realtime": true, "synthesizer_rate_hz": 1e6, "fifo_depth": 2000)", 0x86);
  ASSERT_EQ(open(2000, 4, KPXSTREAM_TRANSMIT), KPXSTREAM_OK);
  ASSERT_EQ(KpxStream_Start(stream), KPXSTREAM_OK);
  uint64_t told = 0;
  KpxStreamBlock block{};
  auto send = [&] {
    ASSERT_EQ(KpxStream_AcquireWrite(stream, &block, 5000), KPXSTREAM_OK);
    told += block.lostBefore;
    ASSERT_EQ(block.bytes, 2000u);
    ASSERT_EQ(KpxStream_SubmitWrite(stream, &block), KPXSTREAM_OK);
  };
  auto waitWritten = [&](uint64_t samples) {
    while (status().samplesMoved < samples) std::this_thread::sleep_for(1ms);
  };
  send();
  waitWritten(1000);
  std::this_thread::sleep_for(20ms);  // the FIFO (2 ms) runs dry
  send();
  waitWritten(2000);
  send();
  waitWritten(3000);
  // Nothing is queued any more: this acquire tells every underrun so far.
  ASSERT_EQ(KpxStream_AcquireWrite(stream, &block, 5000), KPXSTREAM_OK);
  told += block.lostBefore;
  block.bytes = 0;
  ASSERT_EQ(KpxStream_SubmitWrite(stream, &block), KPXSTREAM_OK);
  EXPECT_GT(told, 0u);
  EXPECT_EQ(told, status().underrunSamples);
  EXPECT_GE(status().underrunEvents, 1u);
  KpxStream_Stop(stream);
  EXPECT_EQ(KpxStream_AcquireWrite(stream, &block, 1000), KPXSTREAM_STOPPED);
}

}  // namespace
