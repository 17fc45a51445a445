// Board registry: enumeration, lookups by type and index, closing, guarded
// queries and accessors, through the virtual boards.
#include "registry.h"

#include <cstring>
#include <thread>

#include "kpxadac_ioctl.h"
#include "platform/platform.h"
#include "sim_fixture.h"

using namespace kpx::driver;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr const char* kAdcDacAdc = R"({"boards": [
  {"device": 0, "board_id": "0x8A"},
  {"device": 1, "board_id": "0x86"},
  {"device": 2, "board_id": "0x82"}]})";

class RegistryTest : public SimTest {};

TEST_F(RegistryTest, EmptyRackRegistersNothing) {
  int32_t before = Kpxadac16_Open();
  // All 65 device names were tried, in order.
  auto entries = testbed::journal();
  ASSERT_EQ(entries.size(), 65u);
  for (int n = 0; n <= 64; ++n) EXPECT_EQ(entries[n].device, n);
  EXPECT_EQ(Kpxadac16_Open(), before);
  for (BoardType type : {BOARD_TYPE_ADC, BOARD_TYPE_DAC})
    for (int index : {0, 1, 255}) EXPECT_EQ(Kpxadac16_GetHandle(type, uint8_t(index)), -1);
}

TEST_F(RegistryTest, LookupByTypeAndIndexFollowsRegistrationOrder) {
  useRack(kAdcDacAdc);
  int32_t before = Kpxadac16_Open();
  Kpxadac16_CloseAll();
  int32_t count = Kpxadac16_Open();
  EXPECT_EQ(count, before + 3);

  BoardHandle adc0 = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  BoardHandle adc1 = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 1);
  BoardHandle dac0 = Kpxadac16_GetHandle(BOARD_TYPE_DAC, 0);
  ASSERT_NE(adc0, -1);
  ASSERT_NE(adc1, -1);
  ASSERT_NE(dac0, -1);
  EXPECT_EQ(Kpxadac16_GetHandle(BOARD_TYPE_DAC, 1), -1);
  EXPECT_EQ(Kpxadac16_GetHandle(2, 0), -1);
  EXPECT_EQ(Kpxadac16_GetBoardId(BOARD_TYPE_ADC, 0), 0x8A);
  EXPECT_EQ(Kpxadac16_GetBoardId(BOARD_TYPE_ADC, 1), 0x82);
  EXPECT_EQ(Kpxadac16_GetBoardId(BOARD_TYPE_DAC, 0), 0x86);
  EXPECT_EQ(Kpxadac16_GetBoardId(BOARD_TYPE_DAC, 1), -1);

  BoardRecord first = Kpxadac16_GetBoardRecord(adc0);
  BoardRecord third = Kpxadac16_GetBoardRecord(adc1);
  BoardRecord second = Kpxadac16_GetBoardRecord(dac0);
  EXPECT_EQ(third.typeIndex, first.typeIndex + 1);
  EXPECT_EQ(first.type, BOARD_TYPE_ADC);
  EXPECT_EQ(second.type, BOARD_TYPE_DAC);
  EXPECT_EQ(first.state, STATE_IDLE);
  EXPECT_EQ(first.readTotal, 0u);

  // Closing the first ADC board moves the other one to index 0; its
  // typeIndex stays, and the count still includes the closed board.
  Kpxadac16_Close(adc0);
  EXPECT_EQ(Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0), adc1);
  EXPECT_EQ(Kpxadac16_GetBoardRecord(adc1).typeIndex, third.typeIndex);
  EXPECT_EQ(Kpxadac16_GetBoardRecord(adc0).handle, 0);
  EXPECT_GE(Kpxadac16_Open(), count + 3);
}

TEST_F(RegistryTest, SecondEnumerationRegistersEachBoardAgain) {
  useRack(kAdcDacAdc);
  int32_t first = Kpxadac16_Open();
  int32_t second = Kpxadac16_Open();
  EXPECT_EQ(second, first + 3);
  BoardHandle a = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  BoardHandle b = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 2);
  EXPECT_NE(a, -1);
  EXPECT_NE(b, -1);
  EXPECT_NE(a, b);
}

TEST_F(RegistryTest, RefusedBoardIdIsReportedAndSkipped) {
  useRack(R"({"boards": [{"device": 0, "board_id": "0x7F"}, {"device": 3, "board_id": "0x8B"}]})");
  int32_t before = Kpxadac16_Open();
  Kpxadac16_CloseAll();
  CaptureStdout();
  int32_t after = Kpxadac16_Open();
  EXPECT_EQ(GetCapturedStdout(), "[addBoard] ERROR!! BOARD ID DO NOT MATCH!!!\n");
  EXPECT_EQ(after, before + 1);
  EXPECT_EQ(Kpxadac16_GetBoardId(BOARD_TYPE_ADC, 0), 0x8B);
  EXPECT_EQ(Kpxadac16_GetHandle(BOARD_TYPE_ADC, 1), -1);
}

TEST_F(RegistryTest, FailingIdRequestIsReportedAndSkipped) {
  useRack(R"({"boards": [{"device": 5, "faults": [{"op": "IOCTL_GET_BOARD_ID", "error": 31}]}]})");
  CaptureStdout();
  EXPECT_EQ(Kpxadac16_OpenBoard(5), 1);  // the device opened, registration failed
  EXPECT_EQ(GetCapturedStdout(), "IOCTL_GET_BOARD_ID failed:  31\n");
  EXPECT_EQ(Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0), -1);
  EXPECT_EQ(Kpxadac16_OpenBoard(6), 0);
}

TEST_F(RegistryTest, DuplicateHandleIsRefusedWithoutAnyRequest) {
  useRack(R"({"boards": [{"device": 0}]})");
  ASSERT_EQ(Kpxadac16_OpenBoard(0), 1);
  BoardHandle handle = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  testbed::clearJournal();
  EXPECT_EQ(kpx::addBoard(handle), -1);
  EXPECT_TRUE(testbed::journal().empty());
  EXPECT_EQ(kpx::removeBoard(handle), 0);
  EXPECT_EQ(kpx::removeBoard(handle), -1);
  EXPECT_EQ(kpx::addBoard(handle), 0);
}

TEST_F(RegistryTest, CloseIgnoresInvalidHandlesAndClosesUnregisteredOnes) {
  useRack(R"({"boards": [{"device": 0}]})");
  Kpxadac16_Close(-1);
  Kpxadac16_Close(0);
  EXPECT_TRUE(testbed::journal().empty());

  BoardHandle raw = kpx::platform::openDevice("\\\\.\\KPXADAC_0", kGenericReadWrite,
                                              kShareReadWrite, nullptr, kOpenExisting, 0, nullptr);
  ASSERT_NE(raw, -1);
  Kpxadac16_Close(raw);
  auto entries = testbed::journalOnceItHolds(2);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].op, "close");
  EXPECT_TRUE(entries[1].ok);
  // What the host guarantees as soon as the close returns: the handle is gone.
  uint32_t status = 0;
  uint32_t returned = 0;
  EXPECT_FALSE(kpx::platform::deviceControl(raw, IOCTL_GET_BOARD_STATUS, nullptr, 0, &status,
                                            sizeof status, &returned));
  EXPECT_EQ(Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0), -1);
}

TEST_F(RegistryTest, OpenUsesTheDriversExactArguments) {
  useRack(R"({"boards": [{"device": 12}]})");
  EXPECT_EQ(Kpxadac16_OpenBoard(12), 1);
  // 268 is cut to its low 8 bits: device 12 again.
  EXPECT_EQ(Kpxadac16_OpenBoard(static_cast<uint8_t>(268 & 0xFF)), 1);
  EXPECT_EQ(Kpxadac16_GetHandle(BOARD_TYPE_ADC, 1) != -1, true);
}

TEST_F(RegistryTest, BoardInfoExchangesBytesThreeAndFour) {
  useRack(R"({"boards": [{"device": 0, "board_id": "0x8A", "ident": [16, 17, 18, 19, 20]}]})");
  Kpxadac16_Open();
  BoardHandle handle = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  uint8_t info[6] = {};
  ASSERT_EQ(Kpxadac16_GetBoardInfo(handle, info), 0);
  const uint8_t expected[6] = {0x10, 0x11, 0x12, 0x14, 0x13, 0x8A};
  EXPECT_EQ(0, memcmp(info, expected, 6));
  EXPECT_EQ(Kpxadac16_GetState(handle), STATE_IDLE);
}

TEST_F(RegistryTest, QueriesReportFailuresAndKeepTheLastError) {
  useRack(R"({"boards": [{"device": 0, "status": 165, "fixed_clock": 1, "faults": [
    {"op": "IOCTL_GET_BOARD_STATUS", "error": 31, "count": 1},
    {"op": "IOCTL_GET_BOARD_ID", "error": 31, "skip": 1, "count": 1},
    {"op": "IOCTL_GET_FIXED_CLOCK", "error": 31, "skip": 1, "count": 1}]}]})");
  Kpxadac16_Open();
  BoardHandle handle = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  CaptureStdout();
  EXPECT_EQ(Kpxadac16_GetBoardStatus(handle), -2);
  EXPECT_EQ(Kpxadac16_GetLastError(handle), ERR_REQUEST_FAILED);
  EXPECT_EQ(Kpxadac16_GetState(handle), STATE_IDLE);
  EXPECT_EQ(Kpxadac16_GetBoardStatus(handle), 165);
  EXPECT_EQ(Kpxadac16_GetLastError(handle), ERR_REQUEST_FAILED);  // success does not clear it

  uint8_t info[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(Kpxadac16_GetBoardInfo(handle, info), -1);
  const uint8_t untouched[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(0, memcmp(info, untouched, 6));

  EXPECT_EQ(Kpxadac16_GetFixedClock(handle), 1);
  EXPECT_EQ(Kpxadac16_GetFixedClock(handle), -2);
  EXPECT_EQ(GetCapturedStdout(), "");  // the queries print nothing
}

TEST_F(RegistryTest, UnregisteredHandleGetsFixedAnswers) {
  BoardHandle stranger = 0x7777;
  EXPECT_EQ(Kpxadac16_GetLastError(stranger), ERR_NO_BOARD);
  EXPECT_EQ(Kpxadac16_GetState(stranger), STATE_NONE);
  EXPECT_EQ(Kpxadac16_GetReadTotal(stranger), 0u);
  EXPECT_EQ(Kpxadac16_GetWriteTotal(stranger), 0u);
  EXPECT_EQ(Kpxadac16_GetBoardStatus(stranger), -3);
  EXPECT_EQ(Kpxadac16_GetFixedClock(stranger), -3);
  uint8_t info[6];
  EXPECT_EQ(Kpxadac16_GetBoardInfo(stranger, info), -3);
  EXPECT_EQ(kpx::removeBoard(stranger), -1);
  BoardRecord record = Kpxadac16_GetBoardRecord(stranger);
  EXPECT_EQ(record.handle, 0);
  EXPECT_EQ(record.state, STATE_NONE);
  EXPECT_TRUE(testbed::journal().empty());
}

// One guarded query is held inside the driver while another thread starts
// the other one: the second is refused as not idle, with its own code.
void raceQueries(const char* heldRequest, bool holdStatus) {
  testbed::setGate(0, heldRequest);
  BoardHandle handle = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  uint8_t info[6];
  std::thread held([&] {
    if (holdStatus)
      Kpxadac16_GetBoardStatus(handle);
    else
      Kpxadac16_GetBoardInfo(handle, info);
  });
  testbed::waitForGate();
  EXPECT_EQ(Kpxadac16_GetState(handle), STATE_QUERY);
  if (holdStatus)
    EXPECT_EQ(Kpxadac16_GetBoardInfo(handle, info), -2);
  else
    EXPECT_EQ(Kpxadac16_GetBoardStatus(handle), -1);
  EXPECT_EQ(Kpxadac16_GetLastError(handle), ERR_NOT_IDLE);
  EXPECT_EQ(Kpxadac16_GetState(handle), STATE_QUERY);  // refusal leaves the state
  testbed::releaseGate();
  held.join();
  EXPECT_EQ(Kpxadac16_GetState(handle), STATE_IDLE);
}

TEST_F(RegistryTest, GuardedQueriesRefuseEachOtherWhileInFlight) {
  useRack(R"({"boards": [{"device": 0}]})");
  Kpxadac16_Open();
  raceQueries("IOCTL_GET_BOARD_STATUS", true);
  raceQueries("IOCTL_GET_BOARD_ID", false);
}

#ifdef _WIN32
// The test driver's own rack text: a refused text leaves no boards, and the
// devices follow the rack (Wine cannot refuse an open of a device that exists).
TEST_F(RegistryTest, TestDriverRefusesABadRackAndFollowsAGoodOne) {
  if (!testbed::onDriver()) GTEST_SKIP() << "the test driver's own rack text";
  Kpxadac16_CloseAll();
  EXPECT_EQ(testbed::configureDriverRack("board device=0 colour=5"), "unknown board key colour");
  Kpxadac16_Open();
  EXPECT_EQ(Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0), -1);
  Kpxadac16_CloseAll();
  ASSERT_EQ(testbed::configureDriverRack("board device=64 id=0x86; board device=7 id=0x8B fixed=1"),
            "");
  Kpxadac16_Open();
  EXPECT_EQ(Kpxadac16_GetBoardId(BOARD_TYPE_DAC, 0), 0x86);
  EXPECT_EQ(Kpxadac16_GetBoardId(BOARD_TYPE_ADC, 0), 0x8B);
  EXPECT_EQ(Kpxadac16_GetFixedClock(Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0)), 1);
  EXPECT_EQ(Kpxadac16_GetHandle(BOARD_TYPE_ADC, 1), -1);
}
#endif

}  // namespace
