// Register access, chunked FPGA memory transfers and the transfer-words
// announcement, checked by what reached the virtual driver.
#include <cstring>
#include <string>
#include <vector>

#include "kpxadac_ioctl.h"
#include "sim_fixture.h"

using namespace kpx::driver;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

uint32_t word(const std::vector<uint8_t>& bytes, size_t index) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + 4 * index, 4);
  return value;
}

using RequestsTest = SimTest;

TEST_F(RequestsTest, RegisterReadAndWrite) {
  openBoard();
  EXPECT_EQ(Kpxadac16_WriteReg(board, 0x70, 0x189D89D8), 0x189D89D8);
  EXPECT_EQ(Kpxadac16_ReadReg(board, 0x70), 0x189D89D8u);
  auto writes = requests(IOCTL_WRITE_SET_HSREG);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].inLength, 8u);
  EXPECT_EQ(writes[0].outLength, 4u);
  EXPECT_EQ(word(writes[0].in, 0), 0x70u);
  EXPECT_EQ(word(writes[0].in, 1), 0x189D89D8u);
  auto reads = requests(IOCTL_GET_HSREG);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].inLength, 4u);
  EXPECT_EQ(reads[0].outLength, 4u);

  // All ones read back as all ones, silently.
  testbed::pokeRegister(0, 0x24, 0xFFFFFFFF);
  CaptureStdout();
  EXPECT_EQ(Kpxadac16_ReadReg(board, 0x24), 0xFFFFFFFFu);
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(RequestsTest, FailedRegisterRequestsPrintTheirLine) {
  openBoard(
      R"("faults": [{"op": "IOCTL_GET_HSREG", "error": 31}, {"op": "IOCTL_WRITE_SET_HSREG", "error": 6}])");
  CaptureStdout();
  EXPECT_EQ(Kpxadac16_ReadReg(board, 8), 0xFFFFFFFFu);
  EXPECT_EQ(Kpxadac16_WriteReg(board, 8, 5), -1);
  EXPECT_EQ(GetCapturedStdout(), "IOCTL_GET_HSREG failed:  31\nIOCTL_WRITE_SET_HSREG failed:  6\n");
}

// The error number a failing driver gives reaches the printed line unchanged
// (through the driver: NTSTATUS and back, docs/windows.md).
TEST_F(RequestsTest, FailedRequestsPrintTheDriversErrorNumber) {
  for (uint32_t error : {1u, 8u, 31u, 32u, 87u, 121u, 122u, 158u, 170u, 995u, 1168u, 1460u}) {
    openBoard(R"("faults": [{"op": "IOCTL_GET_HSREG", "error": )" + std::to_string(error) + "}]");
    CaptureStdout();
    EXPECT_EQ(Kpxadac16_ReadReg(board, 8), 0xFFFFFFFFu);
    EXPECT_EQ(GetCapturedStdout(), "IOCTL_GET_HSREG failed:  " + std::to_string(error) + "\n");
  }
}

TEST_F(RequestsTest, FpgaMemoryChunksAtTheDriverLimit) {
  openBoard();
  EXPECT_EQ(Kpxadac16_WriteFpgaMem(board, 0x100, 0, nullptr), 0);
  EXPECT_TRUE(testbed::journal().empty());

  std::vector<uint32_t> data(2, 0);
  data[0] = 0x11223344;
  data[1] = 0x5566;
  EXPECT_EQ(Kpxadac16_WriteFpgaMem(board, 0x100, 6, data.data()), 6);
  auto writes = requests(IOCTL_WRITE_FPGA_MEM);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].outLength, 6u);
  EXPECT_EQ(word(writes[0].in, 0), 0x100u);
  EXPECT_EQ(word(writes[0].in, 1), 6u);

  const uint32_t limit = KPXADAC16_FPGA_MEM_MAX_CHUNK;
  std::vector<uint32_t> big(limit / 4 + 1, 0);
  big[limit / 4] = 0xA5;  // the odd last byte lives in the last word
  testbed::clearJournal();
  EXPECT_EQ(Kpxadac16_WriteFpgaMem(board, 0x1000, limit, big.data()), int32_t(limit));
  EXPECT_EQ(requests(IOCTL_WRITE_FPGA_MEM).size(), 1u);

  testbed::clearJournal();
  EXPECT_EQ(Kpxadac16_WriteFpgaMem(board, 0x1000, limit + 1, big.data()), int32_t(limit + 1));
  writes = requests(IOCTL_WRITE_FPGA_MEM);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(word(writes[0].in, 0), 0x1000u);
  EXPECT_EQ(word(writes[0].in, 1), limit + 1);
  EXPECT_EQ(writes[0].outLength, limit);
  EXPECT_EQ(word(writes[1].in, 0), 0x1000u + limit);
  EXPECT_EQ(word(writes[1].in, 1), 1u);
  EXPECT_EQ(writes[1].outLength, 1u);

  // The second chunk carried the byte at position `limit`.
  uint32_t back = 0;
  EXPECT_EQ(Kpxadac16_ReadFpgaMem(board, 0x1000 + limit, 1, &back), 1);
  EXPECT_EQ(back & 0xFF, 0xA5u);
  EXPECT_EQ(Kpxadac16_ReadFpgaMem(board, 0x100, 6, data.data()), 6);
  EXPECT_EQ(data[0], 0x11223344u);
  EXPECT_EQ(data[1] & 0xFFFF, 0x5566u);
}

TEST_F(RequestsTest, FailingSecondChunkGivesMinusOne) {
  openBoard(R"("faults": [{"op": "IOCTL_READ_FPGA_MEM", "error": 31, "skip": 1, "count": 1}])");
  const uint32_t length = KPXADAC16_FPGA_MEM_MAX_CHUNK + 8;
  std::vector<uint32_t> buffer(length / 4);
  CaptureStdout();
  EXPECT_EQ(Kpxadac16_ReadFpgaMem(board, 0, length, buffer.data()), -1);
  EXPECT_EQ(GetCapturedStdout(), "IOCTL_READ_FPGA_MEM failed:  31\n");
  EXPECT_EQ(requests(IOCTL_READ_FPGA_MEM).size(), 2u);
}

TEST_F(RequestsTest, TransferWordsDropsOddBytes) {
  openBoard(R"("faults": [{"op": "IOCTL_SET_TRANSFER_WORDS", "error": 31, "skip": 2}])");
  EXPECT_EQ(Kpxadac16_SetTransferWords(board, 7), 1);
  EXPECT_EQ(Kpxadac16_SetTransferWords(board, 3), 1);
  CaptureStdout();
  EXPECT_EQ(Kpxadac16_SetTransferWords(board, 8), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  auto sent = requests(IOCTL_SET_TRANSFER_WORDS);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(word(sent[0].in, 0), 1u);
  EXPECT_EQ(word(sent[1].in, 0), 0u);
}

TEST_F(RequestsTest, ClosedHandleFailsWithInvalidHandle) {
  openBoard();
  BoardHandle stale = board;
  Kpxadac16_Close(board);
  CaptureStdout();
  EXPECT_EQ(Kpxadac16_ReadReg(stale, 0), 0xFFFFFFFFu);
  EXPECT_EQ(GetCapturedStdout(), "IOCTL_GET_HSREG failed:  6\n");
}

}  // namespace
