// Every result text of the library in one place: the stream, records,
// group, waveform and board calls, the image load and the board queries. Programs
// and bindings print these rather than keeping texts of their own.
#include <iterator>

#include "group/kpxadac_group.h"
#include "kpxadac16.h"
#include "kpxadac_board.h"
#include "kpxadac_stream.h"
#include "records/kpxadac_records.h"
#include "waveform/kpxadac_waveform.h"

namespace {

struct ResultText {
  int32_t code;
  const char* text;
};

static_assert(TALVO_MAX_CHUNK == 66060288, "the block size text names TALVO_MAX_CHUNK");
static_assert(KPXGROUP_MIN_WINDOW == 256 && KPXGROUP_MAX_WINDOW == 4194304,
              "the window text names the group's window limits");

// Results of the KpxStream_ and KpxBoard_ calls (kpxadac_stream.h).
constexpr ResultText kStreamTexts[] = {
    {KPXSTREAM_OK, "ok"},
    {KPXSTREAM_TIMEOUT, "timed out"},
    {KPXSTREAM_STOPPED, "stopped"},
    {KPXSTREAM_COMPLETE, "complete"},
    {KPXSTREAM_BOARD_FAILED, "a board read or write failed"},
    {KPXSTREAM_ERR_NULL, "a required pointer is null"},
    {KPXSTREAM_ERR_BLOCK_SIZE, "the block size must be a multiple of 4 from 4 to 66060288 bytes"},
    {KPXSTREAM_ERR_BLOCK_COUNT, "a ring needs 2 to 65536 blocks"},
    {KPXSTREAM_ERR_DIRECTION,
     "the board type does not suit the direction (receive: ADC, transmit: DAC)"},
    {KPXSTREAM_ERR_NO_BOARD, "the board is not registered"},
    {KPXSTREAM_ERR_BOARD_BUSY, "the board already has an open stream"},
    {KPXSTREAM_ERR_NO_MEMORY, "out of memory"},
    {KPXSTREAM_ERR_ARGUMENT, "an argument is out of range"},
    {KPXSTREAM_ERR_STATE, "not possible in the stream's present state"},
    {KPXSTREAM_ERR_WRONG_DIRECTION, "a receive call on a transmit stream, or the reverse"},
    {KPXSTREAM_ERR_NOT_HELD, "the block is not one the caller holds"},
    {KPXSTREAM_ERR_SYNTHESIZER, "the clock synthesizer did not become ready"},
    {KPXSTREAM_ERR_FIXED_CLOCK, "the fixed clock did not become ready"},
    {KPXSTREAM_ERR_RESET, "the streaming channel could not be reset"},
    {KPXSTREAM_ERR_COUNTERS, "the streaming channel's error counters cannot be read"},
    {KPXSTREAM_ERR_THREAD, "the stream's thread could not be started"},
};

// Results of the KpxRecords_ calls (kpxadac_records.h).
constexpr ResultText kRecordsTexts[] = {
    {KPXRECORDS_OK, "ok"},
    {KPXRECORDS_TIMEOUT, "no record within the time-out"},
    {KPXRECORDS_STOPPED, "stopped"},
    {KPXRECORDS_COMPLETE, "complete"},
    {KPXRECORDS_BOARD_FAILED, "the stream ended on a failed board read"},
    {KPXRECORDS_ERR_NULL, "a required pointer is null"},
    {KPXRECORDS_ERR_EDGE, "the edge is not rising, falling or either"},
    {KPXRECORDS_ERR_LEVEL, "level outside -32768..32767"},
    {KPXRECORDS_ERR_HYSTERESIS, "hysteresis outside 0..65535"},
    {KPXRECORDS_ERR_LENGTH,
     "pre and post must be at least 0 and pre + post from 1 to 16777216 samples"},
    {KPXRECORDS_ERR_ARGUMENT, "holdoff, count, auto time or queue size out of range"},
    {KPXRECORDS_ERR_DIRECTION, "records need a receive stream"},
    {KPXRECORDS_ERR_NO_MEMORY, "the record queue could not be allocated"},
    {KPXRECORDS_ERR_STATE, "not possible in this state"},
    {KPXRECORDS_ERR_NOT_HELD, "the record is not held"},
    {KPXRECORDS_ERR_STREAM, "the stream could not be started"},
    {KPXRECORDS_ERR_THREAD, "the engine's thread could not be started"},
    {KPXRECORDS_ERR_BUFFER, "the buffer is shorter than a record"},
};

// Results of the KpxGroup_ calls (kpxadac_group.h).
constexpr ResultText kGroupTexts[] = {
    {KPXGROUP_OK, "ok"},
    {KPXGROUP_TIMEOUT, "timed out"},
    {KPXGROUP_STOPPED, "stopped"},
    {KPXGROUP_COMPLETE, "complete"},
    {KPXGROUP_BOARD_FAILED, "a board's read or write failed"},
    {KPXGROUP_ERR_NULL, "a required pointer is null"},
    {KPXGROUP_ERR_COUNT, "a group holds 1 to 64 boards"},
    {KPXGROUP_ERR_DUPLICATE, "a board is named twice"},
    {KPXGROUP_ERR_DIRECTION,
     "the board type does not suit the direction (receive: ADC, transmit: DAC)"},
    {KPXGROUP_ERR_MIXED_DIRECTIONS, "the boards of a group must all receive or all transmit"},
    {KPXGROUP_ERR_MIXED_BLOCKS, "the boards of a group must all have the same block size"},
    {KPXGROUP_ERR_NO_BOARD, "a board index names no registered board"},
    {KPXGROUP_ERR_BOARD_BUSY, "a board is already streaming elsewhere"},
    {KPXGROUP_ERR_BLOCK_SIZE,
     "the block size must be an even number of samples from 2 to 33030144"},
    {KPXGROUP_ERR_ARGUMENT, "an argument is out of range"},
    {KPXGROUP_ERR_NO_MEMORY, "out of memory"},
    {KPXGROUP_ERR_STATE, "not possible in the group's present state"},
    {KPXGROUP_ERR_WRONG_DIRECTION, "a receive call on a transmit group, or the reverse"},
    {KPXGROUP_ERR_NOT_HELD, "the block is not the one the caller holds"},
    {KPXGROUP_ERR_STREAM, "a board's stream refused"},
    {KPXGROUP_ERR_WINDOW, "the measuring window must be 256 to 4194304 samples"},
    {KPXGROUP_ERR_ALIGNMENT, "a board's alignment is not trustworthy"},
    {KPXGROUP_ERR_GAP_IN_WINDOW, "a gap fell in the measuring window"},
    {KPXGROUP_ERR_STARTED, "a stream has already started"},
};

// Alignment results (KpxGroupAlignment.result).
constexpr ResultText kAlignTexts[] = {
    {KPXGROUP_ALIGN_OK, "aligned"},
    {KPXGROUP_ALIGN_WEAK, "the correlation peak is not clearly above the noise"},
    {KPXGROUP_ALIGN_AMBIGUOUS,
     "ambiguous: another correlation peak comes close (a periodic reference?)"},
    {KPXGROUP_ALIGN_TOO_SHORT, "the window is too short"},
};

// Results of the KpxWave_ calls (kpxadac_waveform.h).
constexpr ResultText kWaveTexts[] = {
    {KPXWAVE_OK, "ok"},
    {KPXWAVE_ERR_NULL, "a required pointer is null"},
    {KPXWAVE_ERR_WAVEFORM, "unknown waveform"},
    {KPXWAVE_ERR_RATE, "sample rate must be above 0"},
    {KPXWAVE_ERR_FREQUENCY, "frequency out of range"},
    {KPXWAVE_ERR_AMPLITUDE, "amplitude above full scale"},
    {KPXWAVE_ERR_ARGUMENT, "setting out of range"},
    {KPXWAVE_ERR_NO_MEMORY, "out of memory"},
};

// BoardError values: why a board call failed (Kpxadac16_GetLastError).
constexpr ResultText kBoardErrorTexts[] = {
    {ERR_NOT_IDLE, "the board was busy"},
    {ERR_CANCELLED, "the transfer was cancelled"},
    {ERR_REQUEST_FAILED, "a driver request failed"},
    {ERR_READ_FAILED, "the driver's read failed"},
    {ERR_WRITE_FAILED, "the driver's write failed"},
    {ERR_NO_BOARD, "the board is not registered"},
};

// Results of Kpxadac16_LoadBitstreamFile; any other value is the driver's word.
constexpr ResultText kBitstreamFileTexts[] = {
    {0, "loaded"},
    {1, "file not found"},
    {2, "the board was busy"},
    {3, "the board is not registered"},
    {4, "no FPGA part is known for the board ID"},
    {6, "the board's identification failed"},
    {7, "the file's FPGA part does not match the board"},
    {8, "not a .bit file"},
    {KPXADAC16_BITFILE_UNREADABLE, "the file could not be read"},
    {KPXADAC16_BITFILE_TOO_LARGE, "the file is too large"},
    {KPXADAC16_BITFILE_NO_MEMORY, "out of memory"},
    {KPXADAC16_BITFILE_BAD_HEADER, "the .bit header is damaged"},
    {KPXADAC16_BITFILE_PART_TOO_LONG, "the part name in the file is too long"},
    {KPXADAC16_BITFILE_DIRECTORY, "the path names a directory, not a .bit file"},
    {KPXADAC16_BITFILE_NOT_REGULAR, "the path names a FIFO or a device, not a regular file"},
    {-1, "the download request failed"},
};

// Results of Kpxadac16_LoadBitstream; any other value is the driver's word.
constexpr ResultText kBitstreamImageTexts[] = {
    {0, "loaded"},
    {-1, "the download request failed"},
    {-2, "the board was busy"},
    {-3, "the board is not registered"},
    {KPXADAC16_IMAGE_TOO_LARGE, "the image is too large"},
    {KPXADAC16_IMAGE_NO_MEMORY, "out of memory"},
    {KPXADAC16_IMAGE_MISSING, "no image"},
};

// Refusals of Kpxadac16_GetBoardStatus and Kpxadac16_GetFixedClock; 0 and
// above is the board's answer.
constexpr ResultText kStatusQueryTexts[] = {
    {-1, "the board was busy"},
    {-2, "a driver request failed"},
    {-3, "the board is not registered"},
};

// Results of Kpxadac16_GetBoardInfo: -1 and -2 the reverse of the status query's.
constexpr ResultText kInfoQueryTexts[] = {
    {0, "answered"},
    {-1, "a driver request failed"},
    {-2, "the board was busy"},
    {-3, "the board is not registered"},
};

template <size_t N>
const char* lookup(const ResultText (&table)[N], int32_t code, const char* otherwise) {
  for (const ResultText& entry : table)
    if (entry.code == code) return entry.text;
  return otherwise;
}

}  // namespace

extern "C" {

const char* KpxStream_ResultText(int32_t result) {
  return lookup(kStreamTexts, result, "unknown result code");
}

const char* KpxRecords_ResultText(int32_t result) {
  return lookup(kRecordsTexts, result, "unknown result code");
}

const char* KpxGroup_ResultText(int32_t result) {
  return lookup(kGroupTexts, result, "unknown result code");
}

const char* KpxGroup_AlignText(int32_t result) {
  return lookup(kAlignTexts, result, "unknown alignment result");
}

const char* KpxWave_ResultText(int32_t result) {
  return lookup(kWaveTexts, result, "unknown result");
}

const char* KpxBoard_ErrorText(BoardError error) {
  return lookup(kBoardErrorTexts, static_cast<int32_t>(error), nullptr);
}

const char* KpxBoard_BitstreamResultText(int32_t result) {
  return lookup(kBitstreamFileTexts, result, "the driver refused the image");
}

const char* KpxBoard_ImageResultText(int32_t result) {
  return lookup(kBitstreamImageTexts, result, "the driver refused the image");
}

const char* KpxBoard_QueryResultText(int32_t query, int32_t result) {
  switch (query) {
    case KPXBOARD_QUERY_STATUS:
    case KPXBOARD_QUERY_FIXED_CLOCK:
      return result >= 0 ? "answered" : lookup(kStatusQueryTexts, result, "unknown result code");
    case KPXBOARD_QUERY_INFO:
      return lookup(kInfoQueryTexts, result, "unknown result code");
    default:
      return "unknown query";
  }
}

}  // extern "C"
