// Every result of every family of calls has a text of the library's own:
// present, non-empty and told apart from the other results of its family.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "kpxadac_board.h"
#include "kpxadac_group.h"
#include "kpxadac_records.h"
#include "kpxadac_stream.h"
#include "kpxadac_waveform.h"

namespace {

struct Family {
  const char* name;
  std::function<const char*(int32_t)> text;
  std::vector<int32_t> codes;
  const char* otherwise;  // the text of a value that is none of the codes
};

std::vector<Family> families() {
  std::vector<int32_t> bitFile;
  for (int32_t code = -1; code <= KPXADAC16_BITFILE_NOT_REGULAR; ++code)
    if (code != 5) bitFile.push_back(code);  // 5 is none of the file load's codes
  return {
      {"stream",
       KpxStream_ResultText,
       {KPXSTREAM_OK,
        KPXSTREAM_TIMEOUT,
        KPXSTREAM_STOPPED,
        KPXSTREAM_COMPLETE,
        KPXSTREAM_BOARD_FAILED,
        KPXSTREAM_ERR_NULL,
        KPXSTREAM_ERR_BLOCK_SIZE,
        KPXSTREAM_ERR_BLOCK_COUNT,
        KPXSTREAM_ERR_DIRECTION,
        KPXSTREAM_ERR_NO_BOARD,
        KPXSTREAM_ERR_BOARD_BUSY,
        KPXSTREAM_ERR_NO_MEMORY,
        KPXSTREAM_ERR_ARGUMENT,
        KPXSTREAM_ERR_STATE,
        KPXSTREAM_ERR_WRONG_DIRECTION,
        KPXSTREAM_ERR_NOT_HELD,
        KPXSTREAM_ERR_SYNTHESIZER,
        KPXSTREAM_ERR_FIXED_CLOCK,
        KPXSTREAM_ERR_RESET,
        KPXSTREAM_ERR_COUNTERS,
        KPXSTREAM_ERR_THREAD},
       "unknown result code"},
      {"records",
       KpxRecords_ResultText,
       {KPXRECORDS_OK, KPXRECORDS_TIMEOUT, KPXRECORDS_STOPPED, KPXRECORDS_COMPLETE,
        KPXRECORDS_BOARD_FAILED, KPXRECORDS_ERR_NULL, KPXRECORDS_ERR_EDGE, KPXRECORDS_ERR_LEVEL,
        KPXRECORDS_ERR_HYSTERESIS, KPXRECORDS_ERR_LENGTH, KPXRECORDS_ERR_ARGUMENT,
        KPXRECORDS_ERR_DIRECTION, KPXRECORDS_ERR_NO_MEMORY, KPXRECORDS_ERR_STATE,
        KPXRECORDS_ERR_NOT_HELD, KPXRECORDS_ERR_STREAM, KPXRECORDS_ERR_THREAD,
        KPXRECORDS_ERR_BUFFER},
       "unknown result code"},
      {"group",
       KpxGroup_ResultText,
       {KPXGROUP_OK,
        KPXGROUP_TIMEOUT,
        KPXGROUP_STOPPED,
        KPXGROUP_COMPLETE,
        KPXGROUP_BOARD_FAILED,
        KPXGROUP_ERR_NULL,
        KPXGROUP_ERR_COUNT,
        KPXGROUP_ERR_DUPLICATE,
        KPXGROUP_ERR_DIRECTION,
        KPXGROUP_ERR_MIXED_DIRECTIONS,
        KPXGROUP_ERR_MIXED_BLOCKS,
        KPXGROUP_ERR_NO_BOARD,
        KPXGROUP_ERR_BOARD_BUSY,
        KPXGROUP_ERR_BLOCK_SIZE,
        KPXGROUP_ERR_ARGUMENT,
        KPXGROUP_ERR_NO_MEMORY,
        KPXGROUP_ERR_STATE,
        KPXGROUP_ERR_WRONG_DIRECTION,
        KPXGROUP_ERR_NOT_HELD,
        KPXGROUP_ERR_STREAM,
        KPXGROUP_ERR_WINDOW,
        KPXGROUP_ERR_ALIGNMENT,
        KPXGROUP_ERR_GAP_IN_WINDOW,
        KPXGROUP_ERR_STARTED},
       "unknown result code"},
      {"alignment",
       KpxGroup_AlignText,
       {KPXGROUP_ALIGN_OK, KPXGROUP_ALIGN_WEAK, KPXGROUP_ALIGN_AMBIGUOUS, KPXGROUP_ALIGN_TOO_SHORT},
       "unknown alignment result"},
      {"waveform",
       KpxWave_ResultText,
       {KPXWAVE_OK, KPXWAVE_ERR_NULL, KPXWAVE_ERR_WAVEFORM, KPXWAVE_ERR_RATE, KPXWAVE_ERR_FREQUENCY,
        KPXWAVE_ERR_AMPLITUDE, KPXWAVE_ERR_ARGUMENT, KPXWAVE_ERR_NO_MEMORY},
       "unknown result"},
      {"board error",
       [](int32_t e) { return KpxBoard_ErrorText(e); },
       {ERR_NOT_IDLE, ERR_CANCELLED, ERR_REQUEST_FAILED, ERR_READ_FAILED, ERR_WRITE_FAILED,
        ERR_NO_BOARD},
       nullptr},
      {"bitstream file", KpxBoard_BitstreamResultText, bitFile, "the driver refused the image"},
      {"bitstream image",
       KpxBoard_ImageResultText,
       {0, -1, -2, -3, KPXADAC16_IMAGE_TOO_LARGE, KPXADAC16_IMAGE_NO_MEMORY,
        KPXADAC16_IMAGE_MISSING},
       "the driver refused the image"},
      {"status query",
       [](int32_t r) { return KpxBoard_QueryResultText(KPXBOARD_QUERY_STATUS, r); },
       {0, -1, -2, -3},
       "unknown result code"},
      {"fixed-clock query",
       [](int32_t r) { return KpxBoard_QueryResultText(KPXBOARD_QUERY_FIXED_CLOCK, r); },
       {0, -1, -2, -3},
       "unknown result code"},
      {"identification query",
       [](int32_t r) { return KpxBoard_QueryResultText(KPXBOARD_QUERY_INFO, r); },
       {0, -1, -2, -3},
       "unknown result code"},
  };
}

TEST(ResultTexts, EveryCodeOfEveryFamilyHasItsOwnText) {
  for (const Family& family : families()) {
    SCOPED_TRACE(family.name);
    std::set<std::string> seen;
    for (int32_t code : family.codes) {
      const char* text = family.text(code);
      ASSERT_NE(text, nullptr) << code;
      EXPECT_NE(std::string(text), "") << code;
      if (family.otherwise) {
        EXPECT_STRNE(text, family.otherwise) << code;
      }
      EXPECT_TRUE(seen.insert(text).second) << code << " repeats \"" << text << "\"";
    }
    // A value that is none of the family's codes gets the family's fallback.
    const char* other = family.text(-1000);
    if (family.otherwise) {
      EXPECT_STREQ(other, family.otherwise);
    } else {
      EXPECT_EQ(other, nullptr);
    }
  }
}

TEST(ResultTexts, QueriesAndImagesShareTheBoardErrorsWords) {
  // A refused query or image load says what the same board error says.
  const struct {
    const char* what;
    const char* text;
    BoardError error;
  } cases[] = {
      {"status busy", KpxBoard_QueryResultText(KPXBOARD_QUERY_STATUS, -1), ERR_NOT_IDLE},
      {"clock failed", KpxBoard_QueryResultText(KPXBOARD_QUERY_FIXED_CLOCK, -2),
       ERR_REQUEST_FAILED},
      {"info failed", KpxBoard_QueryResultText(KPXBOARD_QUERY_INFO, -1), ERR_REQUEST_FAILED},
      {"info busy", KpxBoard_QueryResultText(KPXBOARD_QUERY_INFO, -2), ERR_NOT_IDLE},
      {"info unregistered", KpxBoard_QueryResultText(KPXBOARD_QUERY_INFO, -3), ERR_NO_BOARD},
      {"image busy", KpxBoard_ImageResultText(-2), ERR_NOT_IDLE},
      {"image unregistered", KpxBoard_ImageResultText(-3), ERR_NO_BOARD},
  };
  for (const auto& c : cases) EXPECT_STREQ(c.text, KpxBoard_ErrorText(c.error)) << c.what;
  EXPECT_STREQ(KpxBoard_QueryResultText(7, 0), "unknown query");
  EXPECT_STREQ(KpxBoard_QueryResultText(KPXBOARD_QUERY_STATUS, 255), "answered");
}

}  // namespace
