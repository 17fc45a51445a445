// Streaming transfers: chunking, short and failing reads, refusal while
// busy, cancel, and the per-board lock seen from other threads.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "kpxadac_ioctl.h"
#include "kpxadc.h"
#include "sim_fixture.h"
#include "system_text.h"

using namespace kpx::driver;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class StreamingTest : public SimTest {
 protected:
  BoardHandle board = -1;

  // One running ADC board with a ramp signal (and the given faults).
  void openRampBoard(const std::string& faults = "[]", const char* id = "0x8A") {
    useRack(std::string(R"({"boards": [{"device": 0, "board_id": ")") + id +
            R"(", "signal": {"type": "ramp"}, "faults": )" + faults + "}]}");
    Kpxadac16_Open();
    board = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
    if (board == -1) board = Kpxadac16_GetHandle(BOARD_TYPE_DAC, 0);
    ASSERT_NE(board, -1);
    KPXADC_SetClockSource(board, 0);
    KPXADC_SetRunState(board, 1);
    TalvoReset(board, 0, 0);
    testbed::clearJournal();
  }

  static std::vector<testbed::JournalEntry> operations(const std::string& op) {
    std::vector<testbed::JournalEntry> out;
    for (auto& e : testbed::journal())
      if (e.op == op) out.push_back(e);
    return out;
  }

  static uint32_t announcedWords(const testbed::JournalEntry& e) {
    uint32_t words = 0;
    std::memcpy(&words, e.in.data(), 4);
    return words;
  }
};

TEST_F(StreamingTest, ZeroLengthTouchesNothing) {
  openRampBoard();
  EXPECT_EQ(TalvoReadBuffer(board, nullptr, 0), 0u);
  EXPECT_EQ(TalvoReadBuffer(0x5555, nullptr, 0), 0u);
  EXPECT_TRUE(testbed::journal().empty());
}

TEST_F(StreamingTest, OneToThreeBytesPassThroughReadingWithoutRequests) {
  openRampBoard();
  uint8_t buffer[3] = {9, 9, 9};
  for (uint32_t length = 1; length <= 3; ++length) {
    EXPECT_EQ(TalvoReadBuffer(board, buffer, length), 0u);
    BoardRecord record = Kpxadac16_GetBoardRecord(board);
    EXPECT_EQ(record.state, STATE_IDLE);
    EXPECT_EQ(record.readTotal, 0u);
    EXPECT_EQ(record.readRequested, length);
  }
  EXPECT_TRUE(testbed::journal().empty());
  EXPECT_EQ(buffer[0], 9);
}

TEST_F(StreamingTest, TenBytesMoveOneChunkOfEight) {
  openRampBoard();
  uint8_t buffer[10];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(TalvoReadBuffer(board, buffer, 10), 8u);
  auto words = requests(IOCTL_SET_TRANSFER_WORDS);
  ASSERT_EQ(words.size(), 1u);
  EXPECT_EQ(announcedWords(words[0]), 2u);
  auto reads = operations("read");
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].length, 8u);
  const uint8_t ramp[8] = {0, 0, 1, 0, 2, 0, 3, 0};
  EXPECT_EQ(0, std::memcmp(buffer, ramp, 8));
  EXPECT_EQ(buffer[8], 0xEE);
  EXPECT_EQ(buffer[9], 0xEE);
  EXPECT_EQ(Kpxadac16_GetReadTotal(board), 8u);
}

TEST_F(StreamingTest, LargeReadIsCutAtTheChunkLimit) {
  openRampBoard();
  const uint32_t length = TALVO_MAX_CHUNK + 8;
  std::vector<uint16_t> samples(length / 2);
  EXPECT_EQ(TalvoReadBuffer(board, samples.data(), length), length);
  auto reads = operations("read");
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].length, TALVO_MAX_CHUNK);
  EXPECT_EQ(reads[1].length, 8u);
  auto words = requests(IOCTL_SET_TRANSFER_WORDS);
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(announcedWords(words[0]), TALVO_MAX_CHUNK / 4);
  EXPECT_EQ(announcedWords(words[1]), 2u);
  // The ramp runs on unbroken across the chunk boundary.
  for (size_t k = 0; k < samples.size(); ++k)
    ASSERT_EQ(samples[k], static_cast<uint16_t>(k)) << "sample " << k;
}

TEST_F(StreamingTest, ShortReadEndsWithTheRemainderBelowAWord) {
  openRampBoard(R"([{"op": "read", "returned": 6, "count": 1}])");
  uint8_t buffer[8] = {};
  EXPECT_EQ(TalvoReadBuffer(board, buffer, 8), 6u);
  EXPECT_EQ(Kpxadac16_GetState(board), STATE_IDLE);
  EXPECT_EQ(operations("read").size(), 1u);
}

TEST_F(StreamingTest, FailureOnALaterChunkKeepsEarlierBytes) {
  openRampBoard(R"([{"op": "read", "returned": 4, "count": 1},
                    {"op": "read", "error": 31, "skip": 1, "count": 1}])");
  uint8_t buffer[16] = {};
  CaptureStdout();
  EXPECT_EQ(TalvoReadBuffer(board, buffer, 16), 0u);
  EXPECT_EQ(GetCapturedStdout(),
            "[TalvoReadBuffer] ERROR! TalvoReadFile error! ErrNo: 31\n" + systemText(31) + "\n");
  BoardRecord record = Kpxadac16_GetBoardRecord(board);
  EXPECT_EQ(record.readTotal, 4u);
  EXPECT_EQ(record.lastError, ERR_READ_FAILED);
  EXPECT_EQ(record.state, STATE_IDLE);
  auto reads = operations("read");
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[1].length, 12u);
  // The lock was released: another thread's lookup proceeds.
  BoardState seen = STATE_NONE;
  std::thread([&] { seen = Kpxadac16_GetState(board); }).join();
  EXPECT_EQ(seen, STATE_IDLE);
}

TEST_F(StreamingTest, ErrorWithoutSystemTextPrintsADefinedLine) {
  openRampBoard(R"([{"op": "read", "error": 54321}])");
  uint8_t buffer[8];
  CaptureStdout();
  EXPECT_EQ(TalvoReadBuffer(board, buffer, 8), 0u);
  EXPECT_EQ(GetCapturedStdout(),
            "[TalvoReadBuffer] ERROR! TalvoReadFile error! ErrNo: 54321\n"
            "Unknown error 54321.\n");
}

TEST_F(StreamingTest, DeviceThatNeverDeliversEndsTheTransfer) {
  openRampBoard(R"([{"op": "read", "returned": 0}])");
  uint8_t buffer[64];
  CaptureStdout();
  EXPECT_EQ(TalvoReadBuffer(board, buffer, sizeof buffer), 0u);
  std::string out = GetCapturedStdout();
  EXPECT_EQ(out.rfind("[TalvoReadBuffer] ERROR! TalvoReadFile error! ErrNo: 1460\n", 0), 0u);
  EXPECT_EQ(operations("read").size(), 16u);
  EXPECT_EQ(Kpxadac16_GetLastError(board), ERR_READ_FAILED);
  EXPECT_EQ(Kpxadac16_GetState(board), STATE_IDLE);
}

#ifdef _WIN32
// A read the driver holds pending (only the test driver can): the library's
// synchronous ReadFile blocks until another thread cancels the handle's I/O,
// and the transfer then fails as a read that ended with 995.
TEST_F(StreamingTest, HeldReadCancelledFromAnotherThreadFailsWith995) {
  if (!testbed::onDriver()) GTEST_SKIP() << "the virtual boards complete every read at once";
  Kpxadac16_CloseAll();
  ASSERT_EQ(testbed::configureDriverRack("board device=0\nfault device=0 op=read pend=1 count=1"),
            "");
  Kpxadac16_Open();
  board = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  ASSERT_NE(board, -1);
  std::vector<uint8_t> buffer(4096, 0xEE);
  std::atomic<uint32_t> result{12345};
  CaptureStdout();
  std::thread reader([&] { result = TalvoReadBuffer(board, buffer.data(), 4096); });
  // Bounded: a read that never got held fails the test below instead.
  for (int i = 0; i < 1000 && testbed::pendingReads(0) == 0; ++i) Sleep(10);
  const uint32_t held = testbed::pendingReads(0);
  const BOOL cancelled = CancelIoEx(reinterpret_cast<HANDLE>(board), nullptr);
  reader.join();
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(held, 1u);
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(result.load(), 0u);
  EXPECT_EQ(out,
            "[TalvoReadBuffer] ERROR! TalvoReadFile error! ErrNo: 995\n" + systemText(995) + "\n");
  EXPECT_EQ(Kpxadac16_GetLastError(board), ERR_READ_FAILED);
  EXPECT_EQ(Kpxadac16_GetState(board), STATE_IDLE);
  EXPECT_EQ(Kpxadac16_GetReadTotal(board), 0u);
  EXPECT_EQ(buffer[0], 0xEE);
  // The board streams again after the cancelled read.
  KPXADC_SetRunState(board, 1);
  EXPECT_EQ(TalvoReadBuffer(board, buffer.data(), 8), 8u);
}
#endif

TEST_F(StreamingTest, WritesMirrorReads) {
  openRampBoard(R"([{"op": "write", "error": 31, "skip": 1, "count": 1}])", "0x86");
  std::vector<uint8_t> data(10, 0x5A);
  EXPECT_EQ(TalvoWriteBuffer(board, data.data(), 10), 8u);
  EXPECT_TRUE(requests(IOCTL_SET_TRANSFER_WORDS).empty());  // only reads announce
  EXPECT_EQ(Kpxadac16_GetWriteTotal(board), 8u);
  CaptureStdout();
  EXPECT_EQ(TalvoWriteBuffer(board, data.data(), 8), 0u);
  EXPECT_EQ(GetCapturedStdout(), "[TalvoWriteBuffer] ERROR! TalvoWriteFile error: 31\n");
  EXPECT_EQ(Kpxadac16_GetLastError(board), ERR_WRITE_FAILED);
  EXPECT_EQ(Kpxadac16_GetBoardRecord(board).writeRequested, 8u);
}

TEST_F(StreamingTest, BusyBoardRefusesATransfer) {
  openRampBoard();
  testbed::setGate(0, "IOCTL_GET_BOARD_STATUS");
  std::thread query([&] { Kpxadac16_GetBoardStatus(board); });
  testbed::waitForGate();
  uint8_t buffer[8];
  EXPECT_EQ(TalvoReadBuffer(board, buffer, 8), 0u);
  EXPECT_EQ(Kpxadac16_GetLastError(board), ERR_NOT_IDLE);
  EXPECT_EQ(Kpxadac16_GetState(board), STATE_QUERY);
  EXPECT_EQ(TalvoWriteBuffer(board, buffer, 8), 0u);
  testbed::releaseGate();
  query.join();
  EXPECT_TRUE(operations("read").empty());
}

TEST_F(StreamingTest, CancelOutsideATransfer) {
  openRampBoard();
  EXPECT_EQ(TalvoCancelRead(board), 1);
  EXPECT_EQ(TalvoCancelWrite(board), 1);
  EXPECT_EQ(TalvoCancelRead(0x4242), -1);
  EXPECT_EQ(TalvoCancelWrite(0x4242), -1);
  EXPECT_EQ(Kpxadac16_GetState(board), STATE_IDLE);
  EXPECT_TRUE(operations("cancel").empty());
}

// A transfer holds the board's lock: lookups from other threads wait for
// its end, so they see the finished transfer and never the running one.
TEST_F(StreamingTest, LookupsFromOtherThreadsWaitForARunningTransfer) {
  openRampBoard();
  std::vector<uint8_t> buffer(4096);
  testbed::setGate(0, "read");
  std::thread reader([&] { EXPECT_EQ(TalvoReadBuffer(board, buffer.data(), 4096), 4096u); });
  testbed::waitForGate();

  BoardState stateSeen = STATE_NONE;
  uint32_t totalSeen = 0;
  int32_t cancelResult = -2;
  std::thread observer([&] {
    stateSeen = Kpxadac16_GetState(board);
    totalSeen = Kpxadac16_GetReadTotal(board);
    cancelResult = TalvoCancelRead(board);  // finds the board idle again
  });
  testbed::releaseGate();
  reader.join();
  observer.join();
  EXPECT_EQ(stateSeen, STATE_IDLE);
  EXPECT_EQ(totalSeen, 4096u);
  EXPECT_EQ(cancelResult, 1);
}

TEST_F(StreamingTest, SecondTransferWaitsAndThenRuns) {
  openRampBoard();
  std::vector<uint8_t> first(4096), second(4096);
  testbed::setGate(0, "read");
  std::thread reader([&] { EXPECT_EQ(TalvoReadBuffer(board, first.data(), 4096), 4096u); });
  testbed::waitForGate();
  std::thread secondReader([&] { EXPECT_EQ(TalvoReadBuffer(board, second.data(), 4096), 4096u); });
  testbed::releaseGate();
  reader.join();
  secondReader.join();
  EXPECT_EQ(operations("read").size(), 2u);
  // The two reads took consecutive stretches of the ramp, one after the other.
  uint16_t a = 0, b = 0;
  std::memcpy(&a, first.data(), 2);
  std::memcpy(&b, second.data(), 2);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 2048);
}

TEST_F(StreamingTest, ChannelRequests) {
  openRampBoard(R"([{"op": "IOCTL_GET_TALVO_ERROR", "error": 31}])");
  CaptureStdout();
  TalvoErrorCounts counts{7, 9};
  EXPECT_EQ(TalvoGetError(board, &counts), -1);
  EXPECT_EQ(counts.rxOverrunCount, 7u);
  EXPECT_EQ(counts.txUnderrunCount, 9u);
  EXPECT_EQ(GetCapturedStdout(), "IOCTL_GET_TALVO_ERROR failed:  31\n");

  EXPECT_EQ(TalvoReset(board, 0x12, 0x34), 0);
  EXPECT_EQ(TalvoFlowControl(board, 0xAB, 0xCD), 0);
  auto reset = requests(IOCTL_TALVO_RESET);
  ASSERT_EQ(reset.size(), 1u);
  EXPECT_EQ(reset[0].in, (std::vector<uint8_t>{0x12, 0x34}));
  auto flow = requests(IOCTL_TALVO_FLOWCONTROL);
  ASSERT_EQ(flow.size(), 1u);
  EXPECT_EQ(flow[0].in, (std::vector<uint8_t>{0xAB, 0xCD}));
}

TEST_F(StreamingTest, PreloadStagesLengthAndData) {
  openRampBoard("[]", "0x86");
  EXPECT_EQ(TalvoPreloadWrite(board, nullptr, 8), 0u);
  EXPECT_TRUE(testbed::journal().empty());

  uint8_t empty = 0;
  EXPECT_EQ(TalvoPreloadWrite(board, &empty, 0), 0u);
  auto sent = requests(IOCTL_TALVO_PRELOAD_WRITE);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].in, (std::vector<uint8_t>{0, 0, 0, 0}));

  const uint8_t data[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(TalvoPreloadWrite(board, data, 5), 5u);
  sent = requests(IOCTL_TALVO_PRELOAD_WRITE);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].in, (std::vector<uint8_t>{5, 0, 0, 0, 1, 2, 3, 4, 5}));

  // A length whose staging size overflows 32 bits is refused before any
  // byte of the data is touched.
  testbed::clearJournal();
  CaptureStdout();
  EXPECT_EQ(TalvoPreloadWrite(board, data, 0xFFFFFFFD), 0u);
  GetCapturedStdout();
  EXPECT_TRUE(testbed::journal().empty());
}

}  // namespace
