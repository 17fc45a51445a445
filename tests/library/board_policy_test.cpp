// What the library tells every program about its boards: descriptions,
// rates, the receive set-up in steps, and where its failure lines go.
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "kpxadac_board.h"
#include "kpxadc.h"
#include "sim_fixture.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class BoardPolicyTest : public SimTest {
 protected:
  void TearDown() override {
    KpxBoard_SetMessageOutput(KPXBOARD_MESSAGES_STDOUT);
    SimTest::TearDown();
  }

  static KpxBoardDescription describe(int32_t position) {
    KpxBoardDescription d{};
    EXPECT_EQ(KpxBoard_Describe(position, &d), KPXSTREAM_OK);
    return d;
  }
};

TEST_F(BoardPolicyTest, DescribesBoardsInDeviceOrderWithTheirIdentity) {
  useRack(R"({"boards": [
      {"device": 7, "board_id": "0x8A", "ident": [1, 2, 3, 4, 5]},
      {"device": 2, "board_id": "0x86"}]})");
  Kpxadac16_Open();
  ASSERT_EQ(KpxBoard_Count(), 2);

  const KpxBoardDescription dac = describe(0);
  EXPECT_EQ(dac.device, 2);
  EXPECT_EQ(dac.type, BOARD_TYPE_DAC);
  EXPECT_EQ(dac.index, 0);
  EXPECT_STREQ(dac.fpgaPart, "2v3000");
  EXPECT_STREQ(dac.label, "KPX-ADAC DAC 0 (board ID 0x86, device 2)");

  const KpxBoardDescription adc = describe(1);
  EXPECT_EQ(adc.device, 7);
  EXPECT_EQ(adc.handle, Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0));
  EXPECT_EQ(adc.boardId, 0x8A);
  // The driver's order, unlike Kpxadac16_GetBoardInfo, which exchanges 3 and 4.
  const uint8_t driverOrder[6] = {1, 2, 3, 4, 5, 0x8A};
  EXPECT_EQ(0, std::memcmp(adc.ident, driverOrder, 6));
  uint8_t info[6] = {};
  ASSERT_EQ(Kpxadac16_GetBoardInfo(adc.handle, info), 0);
  EXPECT_EQ(info[3], 5);
  EXPECT_EQ(info[4], 4);
  EXPECT_STREQ(adc.fpgaPart, "4vlx40");

  KpxBoardDescription d{};
  EXPECT_EQ(KpxBoard_Describe(2, &d), KPXSTREAM_ERR_ARGUMENT);
  EXPECT_EQ(KpxBoard_Describe(-1, &d), KPXSTREAM_ERR_ARGUMENT);
  EXPECT_EQ(KpxBoard_Describe(0, nullptr), KPXSTREAM_ERR_NULL);
  // A closed board is forgotten with its record.
  Kpxadac16_Close(adc.handle);
  EXPECT_EQ(KpxBoard_DescribeHandle(adc.handle, &d), KPXSTREAM_ERR_NO_BOARD);
  EXPECT_EQ(KpxBoard_Count(), 1);
  EXPECT_EQ(KpxBoard_ExpectedPart(0x42), nullptr);
}

TEST_F(BoardPolicyTest, RatesFollowTheClockTheLibrarySetUp) {
  openBoard();  // the synthesizer board: the fixed-clock query answers 0
  double rate = -1;
  // Nobody set the synthesizer up: its setting, and so its rate, is unknown.
  EXPECT_EQ(KpxBoard_GetSampleRate(board, &rate), KPXBOARD_CLOCK_UNKNOWN);
  EXPECT_EQ(rate, 0);
  EXPECT_EQ(KpxBoard_ReportedClock(board), KPXBOARD_CLOCK_SYNTHESIZER);

  int32_t clock = KPXBOARD_CLOCK_UNKNOWN;
  ASSERT_EQ(KpxBoard_SetupClock(board, KPXSTREAM_SETUP_AUTO_CLOCK, &clock), KPXSTREAM_OK);
  EXPECT_EQ(clock, KPXBOARD_CLOCK_SYNTHESIZER);
  EXPECT_EQ(KpxBoard_GetSampleRate(board, &rate), KPXBOARD_CLOCK_SYNTHESIZER);
  EXPECT_EQ(rate, KpxBoard_SynthesizerRateHz());
  EXPECT_EQ(rate, 105e6);

  // The fixed clock's rate is the host's to say, per board.
  EXPECT_EQ(KpxBoard_FixedClockRateHz(board), 100e6);
  EXPECT_EQ(KpxBoard_SetFixedClockRate(board, 80e6), KPXSTREAM_OK);
  EXPECT_EQ(KpxBoard_SetFixedClockRate(board, 0), KPXSTREAM_ERR_ARGUMENT);
  EXPECT_EQ(KpxBoard_SetFixedClockRate(board, std::nan("")), KPXSTREAM_ERR_ARGUMENT);
  EXPECT_EQ(KpxBoard_SetFixedClockRate(KPXADAC_INVALID_HANDLE, 1e6), KPXSTREAM_ERR_NO_BOARD);
  EXPECT_EQ(KpxBoard_FixedClockRateHz(KPXADAC_INVALID_HANDLE), 100e6);
  ASSERT_EQ(KpxBoard_SetupClock(board, KPXSTREAM_SETUP_FIXED_CLOCK, &clock), KPXSTREAM_OK);
  EXPECT_EQ(KpxBoard_GetSampleRate(board, &rate), KPXBOARD_CLOCK_FIXED);
  EXPECT_EQ(rate, 80e6);

  // A stream reports the rate of the clock it set up, the host's fixed rate included.
  KpxStreamConfig config{};
  config.board = board;
  config.direction = KPXSTREAM_RECEIVE;
  config.blockBytes = 4096;
  config.blockCount = 2;
  config.setup = KPXSTREAM_SETUP_FIXED_CLOCK;
  KpxStream* stream = nullptr;
  ASSERT_EQ(KpxStream_Open(&config, &stream), KPXSTREAM_OK);
  KpxStreamStatus status{};
  KpxStream_GetStatus(stream, &status);
  EXPECT_EQ(status.clock, KPXSTREAM_CLOCK_FIXED);
  EXPECT_EQ(status.sampleRateHz, 80e6);
  KpxStream_Close(stream);
}

TEST_F(BoardPolicyTest, FixedClockBoardIsKnownWithoutASetUp) {
  openBoard(R"("fixed_clock": 1)");
  double rate = 0;
  EXPECT_EQ(KpxBoard_GetSampleRate(board, &rate), KPXBOARD_CLOCK_FIXED);
  EXPECT_EQ(rate, 100e6);
  EXPECT_EQ(KpxBoard_GetSampleRate(board, nullptr), KPXSTREAM_ERR_NULL);
}

TEST_F(BoardPolicyTest, ReceiveStepsRefuseWhatTheyCannotDo) {
  openBoard("", 0x86);  // a DAC board
  EXPECT_EQ(KpxBoard_SetupClock(board, KPXSTREAM_SETUP_AUTO_CLOCK, nullptr),
            KPXSTREAM_ERR_DIRECTION);
  EXPECT_EQ(KpxBoard_StartReceiving(board), KPXSTREAM_ERR_DIRECTION);
  EXPECT_EQ(KpxBoard_ResetChannel(board), KPXSTREAM_OK);
  EXPECT_EQ(KpxBoard_ResetChannel(KPXADAC_INVALID_HANDLE), KPXSTREAM_ERR_NO_BOARD);

  openBoard(R"("faults": [{"op": "IOCTL_TALVO_RESET", "error": 31}])");
  EXPECT_EQ(KpxBoard_SetupClock(board, KPXSTREAM_SETUP_NONE, nullptr), KPXSTREAM_ERR_ARGUMENT);
  ASSERT_EQ(KpxBoard_StartReceiving(board), KPXSTREAM_OK);
  EXPECT_EQ(testbed::peekRegister(0, KPXADC_REG_CUSTOM0), KpxBoard_ReceiveCReg0Value());
  EXPECT_EQ(testbed::peekRegister(0, KPXADC_REG_RUN) & 1u, 1u);
  EXPECT_EQ(KpxBoard_ResetChannel(board), KPXSTREAM_ERR_RESET);
}

TEST_F(BoardPolicyTest, FailureLinesGoWhereTheHostSendsThem) {
  openBoard(R"("faults": [{"op": "IOCTL_GET_HSREG", "error": 31}])");
  const auto failedRead = [this] {
    CaptureStdout();
    CaptureStderr();
    Kpxadac16_ReadReg(board, 0);
    return std::make_pair(GetCapturedStdout(), GetCapturedStderr());
  };
  const std::string line = "IOCTL_GET_HSREG failed:  31\n";
  EXPECT_EQ(failedRead(), std::make_pair(line, std::string()));
  EXPECT_EQ(KpxBoard_SetMessageOutput(KPXBOARD_MESSAGES_STDERR), KPXBOARD_MESSAGES_STDOUT);
  EXPECT_EQ(failedRead(), std::make_pair(std::string(), line));
  EXPECT_EQ(KpxBoard_SetMessageOutput(KPXBOARD_MESSAGES_NONE), KPXBOARD_MESSAGES_STDERR);
  EXPECT_EQ(failedRead(), std::make_pair(std::string(), std::string()));
  EXPECT_EQ(KpxBoard_SetMessageOutput(7), KPXSTREAM_ERR_ARGUMENT);
  EXPECT_EQ(KpxBoard_SetMessageOutput(KPXBOARD_MESSAGES_STDOUT), KPXBOARD_MESSAGES_NONE);
}

TEST_F(BoardPolicyTest, TextsOfResults) {
  EXPECT_STREQ(KpxBoard_ErrorText(ERR_READ_FAILED), "the driver's read failed");
  EXPECT_EQ(KpxBoard_ErrorText(5), nullptr);
  EXPECT_STREQ(KpxBoard_BitstreamResultText(7), "the file's FPGA part does not match the board");
  EXPECT_STREQ(KpxBoard_BitstreamResultText(0x1234), "the driver refused the image");
}

}  // namespace

// The clock a set-up would use, for each answer of the fixed-clock query: the
// plan, the reported clock, the rate before any set-up and the stream's own
// choice agree, a failed query counting as the fixed clock.
TEST_F(BoardPolicyTest, ClockPlanIsTheRuleTheSetUpFollows) {
  struct Case {
    const char* settings;
    int32_t clock;
    const char* name;
    const char* key;
  };
  const Case cases[] = {
      {"", KPXBOARD_CLOCK_SYNTHESIZER, "clock synthesizer", "synthesizer"},
      {R"("fixed_clock": 1)", KPXBOARD_CLOCK_FIXED, "onboard fixed clock", "fixed"},
      {R"("faults": [{"op": "IOCTL_GET_FIXED_CLOCK", "error": 31}])", KPXBOARD_CLOCK_FIXED,
       "onboard fixed clock", "fixed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    openBoard(c.settings);
    KpxClockPlan plan{};
    ASSERT_EQ(KpxBoard_ClockPlan(board, KPXSTREAM_SETUP_AUTO_CLOCK, &plan), KPXSTREAM_OK);
    EXPECT_EQ(plan.clock, c.clock);
    EXPECT_STREQ(plan.name, c.name);
    EXPECT_STREQ(plan.key, c.key);
    EXPECT_EQ(plan.rateHz, KpxBoard_ClockRateHz(board, c.clock));
    EXPECT_EQ(KpxBoard_ReportedClock(board), plan.clock);
    double rate = 0;
    // Before a set-up only the fixed clock can be told.
    EXPECT_EQ(KpxBoard_GetSampleRate(board, &rate),
              c.clock == KPXBOARD_CLOCK_FIXED ? KPXBOARD_CLOCK_FIXED : KPXBOARD_CLOCK_UNKNOWN);

    KpxStreamConfig config{};
    config.board = board;
    config.direction = KPXSTREAM_RECEIVE;
    config.blockBytes = 4096;
    config.blockCount = 2;
    config.setup = KPXSTREAM_SETUP_AUTO_CLOCK;
    KpxStream* stream = nullptr;
    ASSERT_EQ(KpxStream_Open(&config, &stream), KPXSTREAM_OK);
    KpxStreamStatus status{};
    KpxStream_GetStatus(stream, &status);
    EXPECT_EQ(status.clock, plan.clock);
    EXPECT_EQ(status.sampleRateHz, plan.rateHz);
    KpxStream_Close(stream);
  }
}

TEST_F(BoardPolicyTest, ClockPlanForAChoiceNeedsNoBoard) {
  KpxClockPlan plan{};
  ASSERT_EQ(KpxBoard_ClockPlan(KPXADAC_INVALID_HANDLE, KPXSTREAM_SETUP_SYNTHESIZER, &plan),
            KPXSTREAM_OK);
  EXPECT_EQ(plan.clock, KPXBOARD_CLOCK_SYNTHESIZER);
  EXPECT_EQ(plan.rateHz, KpxBoard_SynthesizerRateHz());
  ASSERT_EQ(KpxBoard_ClockPlan(KPXADAC_INVALID_HANDLE, KPXSTREAM_SETUP_FIXED_CLOCK, &plan),
            KPXSTREAM_OK);
  EXPECT_EQ(plan.clock, KPXBOARD_CLOCK_FIXED);
  EXPECT_EQ(plan.rateHz, KpxBoard_FixedClockRateHz(KPXADAC_INVALID_HANDLE));

  // The host's fixed rate of a board is the plan's.
  openBoard();
  ASSERT_EQ(KpxBoard_SetFixedClockRate(board, 80e6), KPXSTREAM_OK);
  ASSERT_EQ(KpxBoard_ClockPlan(board, KPXSTREAM_SETUP_FIXED_CLOCK, &plan), KPXSTREAM_OK);
  EXPECT_EQ(plan.rateHz, 80e6);

  // Refusals leave a plan that names nothing.
  const std::pair<BoardHandle, int32_t> refused[] = {
      {KPXADAC_INVALID_HANDLE, KPXSTREAM_SETUP_AUTO_CLOCK},
      {board, KPXSTREAM_SETUP_NONE},
      {board, 99},
  };
  for (const auto& [handle, choice] : refused) {
    plan.clock = KPXBOARD_CLOCK_FIXED;
    EXPECT_LT(KpxBoard_ClockPlan(handle, choice, &plan), 0) << choice;
    EXPECT_EQ(plan.clock, KPXBOARD_CLOCK_UNKNOWN);
    EXPECT_EQ(plan.rateHz, 0);
    EXPECT_STREQ(plan.name, "");
  }
  EXPECT_EQ(KpxBoard_ClockPlan(board, KPXSTREAM_SETUP_AUTO_CLOCK, nullptr), KPXSTREAM_ERR_NULL);
}
