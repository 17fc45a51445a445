// Driver-side lock, profiling words, the V360 snapshot and reset: results,
// printed lines, and what the caller's records hold afterwards.
#include <cstring>
#include <string>

#include "kpxadac_ioctl.h"
#include "platform/platform.h"
#include "sim_fixture.h"

using namespace kpx::driver;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class DiagnosticsTest : public SimTest {
 protected:
  // The driver's own answer to a request without input, bypassing the
  // library (through the platform layer, so on either backend).
  template <size_t N>
  void rawAnswer(uint32_t code, uint8_t (&out)[N]) {
    uint32_t returned = 0;
    ASSERT_TRUE(kpx::platform::deviceControl(board, code, nullptr, 0, out, N, &returned));
  }
};

TEST_F(DiagnosticsTest, LockAndUnlockReportFailureWithOne) {
  openBoard();
  CaptureStdout();
  EXPECT_EQ(Kpxadac16_LockBoard(board), 0);
  EXPECT_TRUE(testbed::isLocked(0));
  EXPECT_EQ(Kpxadac16_UnlockBoard(board), 0);
  EXPECT_FALSE(testbed::isLocked(0));
  EXPECT_EQ(GetCapturedStdout(), "");

  CaptureStdout();
  EXPECT_EQ(Kpxadac16_UnlockBoard(board), 1);  // not locked
  EXPECT_EQ(GetCapturedStdout(), "IOCTL_UNLOCK_BOARD failed:  158\n");

  // A second handle of the same device finds the lock taken.
  const kpx::platform::Handle other =
      kpx::platform::openDevice("\\\\.\\KPXADAC_0", kGenericReadWrite, kShareReadWrite, nullptr,
                                kOpenExisting, kNoFlags, nullptr);
  ASSERT_NE(other, kpx::platform::kInvalidHandle);
  EXPECT_EQ(Kpxadac16_LockBoard(board), 0);
  CaptureStdout();
  EXPECT_EQ(Kpxadac16_LockBoard(other), 1);
  EXPECT_EQ(Kpxadac16_UnlockBoard(other), 1);
  EXPECT_EQ(GetCapturedStdout(),
            "IOCTL_LOCK_BOARD failed:  170\nIOCTL_UNLOCK_BOARD failed:  170\n");
  EXPECT_TRUE(testbed::isLocked(0));
  EXPECT_TRUE(kpx::platform::closeHandle(other));
}

TEST_F(DiagnosticsTest, LockAndUnlockSendNoBlocks) {
  openBoard();
  EXPECT_EQ(Kpxadac16_LockBoard(board), 0);
  EXPECT_EQ(Kpxadac16_UnlockBoard(board), 0);
  for (uint32_t code : {IOCTL_LOCK_BOARD, IOCTL_UNLOCK_BOARD}) {
    auto sent = requests(code);
    ASSERT_EQ(sent.size(), 1u) << requestName(code);
    EXPECT_EQ(sent[0].inLength, 0u);
    EXPECT_EQ(sent[0].outLength, 0u);
  }
}

TEST_F(DiagnosticsTest, SnapshotKeepsTheTwoUncopiedPairs) {
  openBoard();
  uint8_t raw[44];
  rawAnswer(IOCTL_V360_DEBUG, raw);

  V360DebugRecord record;
  std::memset(&record, 0x5A, sizeof record);
  ASSERT_EQ(Kpxadac16_V360Debug(board, &record), 0);
  uint8_t bytes[sizeof record];
  std::memcpy(bytes, &record, sizeof record);
  for (size_t i = 0; i < sizeof bytes; ++i) {
    const bool kept = i == 4 || i == 5 || i == 34 || i == 35;
    EXPECT_EQ(bytes[i], kept ? 0x5A : raw[i]) << "byte " << i;
  }
  // The virtual snapshot gives every byte its own value, so a field copied
  // to the wrong place cannot go unnoticed.
  EXPECT_NE(raw[4], 0x5A);
  EXPECT_NE(raw[34], 0x5A);
}

TEST_F(DiagnosticsTest, FailedSnapshotAndProfilingLeaveTheRecordsUntouched) {
  openBoard(R"("faults": [{"op": "IOCTL_V360_DEBUG", "error": 31},
                {"op": "IOCTL_GET_PROFILING", "error": 1167}])");
  V360DebugRecord snapshot;
  std::memset(&snapshot, 0xA7, sizeof snapshot);
  ProfilingRecord profiling;
  std::memset(&profiling, 0xA7, sizeof profiling);
  CaptureStdout();
  EXPECT_EQ(Kpxadac16_V360Debug(board, &snapshot), -1);
  EXPECT_EQ(Kpxadac16_GetProfiling(board, &profiling), -1);
  EXPECT_EQ(GetCapturedStdout(),
            "IOCTL_V360_DEBUG failed:  31\nIOCTL_GET_PROFILING failed:  1167\n");
  const auto* s = reinterpret_cast<const uint8_t*>(&snapshot);
  for (size_t i = 0; i < sizeof snapshot; ++i) EXPECT_EQ(s[i], 0xA7) << "snapshot byte " << i;
  const auto* p = reinterpret_cast<const uint8_t*>(&profiling);
  for (size_t i = 0; i < sizeof profiling; ++i) EXPECT_EQ(p[i], 0xA7) << "profiling byte " << i;
}

TEST_F(DiagnosticsTest, ProfilingWordsArriveInTheDriversOrder) {
  openBoard();
  // Make the words differ: requests, reads and bytes.
  Kpxadac16_ReadReg(board, 8);
  Kpxadac16_ReadReg(board, 8);
  uint8_t raw[20];
  rawAnswer(IOCTL_GET_PROFILING, raw);
  ProfilingRecord record{};
  ASSERT_EQ(Kpxadac16_GetProfiling(board, &record), 0);
  EXPECT_EQ(std::memcmp(record.words, raw, sizeof raw), 0);
  EXPECT_NE(record.words[0], 0u);
  auto sent = requests(IOCTL_GET_PROFILING);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].inLength, 0u);
  EXPECT_EQ(sent[1].outLength, 20u);
}

TEST_F(DiagnosticsTest, ResetProfilingSendsItsParametersInOrder) {
  openBoard(R"("faults": [{"op": "IOCTL_RESET_PROFILING", "error": 87, "skip": 1}])");
  EXPECT_EQ(Kpxadac16_ResetProfiling(board, 0x12, 0x34), 0);
  auto sent = requests(IOCTL_RESET_PROFILING);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].in, (std::vector<uint8_t>{0x12, 0x34}));
  EXPECT_EQ(sent[0].outLength, 0u);

  CaptureStdout();
  EXPECT_EQ(Kpxadac16_ResetProfiling(board, 1, 2), -1);
  EXPECT_EQ(GetCapturedStdout(), "IOCTL_RESET_PROFILING failed:  87\n");
}

TEST_F(DiagnosticsTest, V360ResetResult) {
  openBoard(R"("faults": [{"op": "IOCTL_V360_RESET", "error": 31, "skip": 1, "count": 1}])");
  EXPECT_EQ(Kpxadac16_V360Reset(board), 0);
  CaptureStdout();
  EXPECT_EQ(Kpxadac16_V360Reset(board), -1);
  EXPECT_EQ(GetCapturedStdout(), "IOCTL_V360_RESET failed:  31\n");
  EXPECT_EQ(Kpxadac16_V360Reset(board), 0);
}

TEST_F(DiagnosticsTest, SleepNeverReachesTheDriver) {
  openBoard();
  Kpxadac16_Sleep(KPXADAC_INVALID_HANDLE, 0);
  Kpxadac16_Sleep(board, 1);
  EXPECT_TRUE(testbed::journal().empty());
}

}  // namespace
