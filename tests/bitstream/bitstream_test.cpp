// FPGA configuration from .bit files and from memory: the part test, the
// order of the result codes, the guarded states, and files that are refused
// before anything reaches the driver.
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "bad_files.h"
#include "bit_file.h"
#include "kpxadac_board.h"
#include "kpxadac_ioctl.h"
#include "sim_fixture.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace kpx::driver;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Sanitizer allocators report a failed allocation instead of returning null.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerAllocator = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitizerAllocator = true;
#else
constexpr bool kSanitizerAllocator = false;
#endif
#else
constexpr bool kSanitizerAllocator = false;
#endif

std::vector<uint8_t> withLengthPrefix(const std::vector<uint8_t>& image) {
  const auto n = static_cast<uint32_t>(image.size());
  std::vector<uint8_t> out(4 + image.size());
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(n >> (8 * i));
  std::copy(image.begin(), image.end(), out.begin() + 4);
  return out;
}

class BitstreamTest : public SimTest {
 protected:
  // Loads `image` from a file on the board and returns the result.
  int32_t loadFile(const std::vector<uint8_t>& image) {
    return Kpxadac16_LoadBitstreamFile(board, writeTempFile("image.bit", image).c_str());
  }

  static size_t requestCount() { return testbed::journal().size(); }
};

// ---- Part table --------------------------------------------------------------

TEST_F(BitstreamTest, MatchingPartIsDownloadedWholeWithItsLength) {
  openBoard(R"("bitstream_result": "0x12345678")", 0x8A);
  const auto image = bitImageForPart("4vlx40ff668");
  EXPECT_EQ(loadFile(image), 0x12345678);
  const auto journal = testbed::journal();
  ASSERT_EQ(journal.size(), 2u);
  EXPECT_EQ(journal[0].code, IOCTL_GET_BOARD_ID);
  EXPECT_EQ(journal[1].code, IOCTL_SET_FPGA_BITSTREAM);
  EXPECT_EQ(journal[1].in, withLengthPrefix(image));
  EXPECT_EQ(journal[1].outLength, 4u);
  EXPECT_EQ(testbed::loadedPart(0), "4vlx40ff668");
  EXPECT_EQ(Kpxadac16_GetState(board), STATE_IDLE);
}

TEST_F(BitstreamTest, PartTableAcceptsAndRefuses) {
  const struct {
    int boardId;
    std::string part;
    bool accepted;
  } cases[] = {
      {0x8A, "4vlx40ff668", true},     {0x8A, "xc4vlx40ff668", true},  {0x8B, "4vlx40ff668", false},
      {0x8B, "4vlx160ff1148", false},  {0x8E, "4vlx160ff1148", true},  {0x8A, "4VLX40FF668", false},
      {0x8A, "xc4vlx400ff668", false},  // a longer device number
      {0x8A, "24vlx40ff668", false},   {0x8A, "4vlx40-10ff668", true}, {0x82, "2v3000bf957", true},
      {0x86, "xc2v3000bf957", true},   {0x87, "2v3000bf957", false},   {0x8F, "4vsx55ff1148", true},
      {0x8D, "4vlx100ff1148", true},   {0x8C, "4vlx100ff1148", false},
  };
  for (const auto& c : cases) {
    openBoard(R"("bitstream_result": 77)", c.boardId);
    EXPECT_EQ(loadFile(bitImageForPart(c.part)), c.accepted ? 77 : 7)
        << c.part << " on 0x" << std::hex << c.boardId;
    EXPECT_EQ(requests(IOCTL_SET_FPGA_BITSTREAM).size(), c.accepted ? 1u : 0u) << c.part;
  }
}

TEST_F(BitstreamTest, OnlyTheFirstFourFieldsAreWalked) {
  openBoard(R"("bitstream_result": 1000)", 0x8A);
  // 'b' as the fifth field is never read.
  EXPECT_EQ(loadFile(bitImage({{'a', "a"}, {'c', "c"}, {'d', "d"}, {'x', "x"}, {'b', "4vlx40"}})),
            7);
  // A zero length byte ends the walk before its key is looked at.
  EXPECT_EQ(loadFile(bitImage({{'a', "a"}, {'b', "", false}, {'b', "4vlx40"}})), 7);
  // The high length byte is ignored: only the low byte moves the walk on.
  EXPECT_EQ(loadFile(bitImage({{'a', "design", true, 0x01}, {'b', "4vlx40ff668"}})), 1000);
  // The values of all 'b' fields walked make one name.
  EXPECT_EQ(loadFile(bitImage({{'b', "4vlx"}, {'b', "40"}, {'c', "c"}, {'d', "d"}})), 1000);
  EXPECT_EQ(requests(IOCTL_SET_FPGA_BITSTREAM).size(), 2u);
}

// ---- Refusals before any request -------------------------------------------

TEST_F(BitstreamTest, MissingFileGives1AndTouchesNothing) {
  openBoard();
  CaptureStdout();
  EXPECT_EQ(Kpxadac16_LoadBitstreamFile(board, (testing::TempDir() + "no/such.bit").c_str()), 1);
  EXPECT_EQ(Kpxadac16_LoadBitstreamFile(board, nullptr), 1);
  EXPECT_EQ(GetCapturedStdout(), "Error, File not found!\nError, File not found!\n");
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(BitstreamTest, FileWithoutTheHeaderGives8WithNoRequestAtAll) {
  openBoard();
  auto raw = bitImageForPart("4vlx40");
  raw.erase(raw.begin(), raw.begin() + 13);  // a raw configuration image
  EXPECT_EQ(loadFile(raw), 8);
  EXPECT_EQ(loadFile({}), 8);
  const auto header = bitImageForPart("4vlx40");
  EXPECT_EQ(loadFile(std::vector<uint8_t>(header.begin(), header.begin() + 12)), 8);
  auto changed = header;
  changed[12] = 0x02;
  EXPECT_EQ(loadFile(changed), 8);
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(BitstreamTest, MalformedFieldsAreRefusedWithoutReadingPastTheFile) {
  openBoard();
  const auto good = bitImageForPart("4vlx40ff668");
  // The header alone, and cuts inside the second field's prefix and value.
  for (size_t size : {size_t{13}, size_t{14}, size_t{15}, size_t{16 + 29 + 2}, size_t{16 + 29 + 5}})
    EXPECT_EQ(loadFile(std::vector<uint8_t>(good.begin(), good.begin() + size)),
              KPXADAC16_BITFILE_BAD_HEADER)
        << size;
  // A length that runs past the end of a short file.
  auto longField = bitImage({{'a', "a"}, {'b', "4vlx40"}}, 0);
  longField.resize(longField.size() - 1);  // drop the last byte of 'e'
  longField[13 + 5 + 2] = 200;             // 'b' claims 200 bytes
  EXPECT_EQ(loadFile(longField), KPXADAC16_BITFILE_BAD_HEADER);
  // A part name without its NUL.
  EXPECT_EQ(loadFile(bitImage({{'a', "a"}, {'b', "4vlx40ff668", false}, {'c', "c"}, {'d', "d"}})),
            KPXADAC16_BITFILE_BAD_HEADER);
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(BitstreamTest, PartNameLongerThan255CharactersIsRefused) {
  openBoard();
  const std::string first(254, 'x');
  // 255 characters fit: the file goes on to the identification query.
  EXPECT_EQ(loadFile(bitImage({{'b', first}, {'b', "4"}})), 7);
  EXPECT_EQ(requestCount(), 1u);
  testbed::clearJournal();
  EXPECT_EQ(loadFile(bitImage({{'b', first}, {'b', "4v"}})), KPXADAC16_BITFILE_PART_TOO_LONG);
  EXPECT_EQ(loadFile(bitImage({{'b', first}, {'b', first}, {'b', first}, {'b', "4vlx40"}})),
            KPXADAC16_BITFILE_PART_TOO_LONG);
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(BitstreamTest, FileTooLargeForTheRequestIsRefusedUnread) {
  openBoard();
  const std::string path = writeTempFile("huge.bit", bitImageForPart("4vlx40"));
  std::error_code error;
  std::filesystem::resize_file(path, 0xFFFFFFFCull, error);  // n + 4 needs 33 bits
  if (error) GTEST_SKIP() << "cannot make a sparse file here: " << error.message();
  // Measured with 64-bit sizes on every host, Windows included.
  EXPECT_EQ(Kpxadac16_LoadBitstreamFile(board, path.c_str()), KPXADAC16_BITFILE_TOO_LARGE);
  std::filesystem::remove(path, error);
  EXPECT_EQ(requestCount(), 0u);
}

#ifndef _WIN32
TEST_F(BitstreamTest, PathsThatAreNoRegularFileAreRefusedUnreadWithWhatTheyAre) {
  openBoard();
  const std::filesystem::path folder = testing::TempDir() + "kpxadac_bitstream_bad";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::string fifo = (folder / "held-fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Both ends held open: a reader that opened it would wait for data.
  const int keep = ::open(fifo.c_str(), O_RDWR);
  ASSERT_GE(keep, 0);
  struct Case {
    std::string path;
    int32_t result;
  };
  std::vector<Case> cases = {{fifo, KPXADAC16_BITFILE_NOT_REGULAR}};
  for (const auto& bad : test_support::badInputFiles(folder, std::nullopt)) {
    if (bad.words == "directory") cases.push_back({bad.path, KPXADAC16_BITFILE_DIRECTORY});
    if (bad.words == "FIFO" || bad.words == "device")
      cases.push_back({bad.path, KPXADAC16_BITFILE_NOT_REGULAR});
    if (bad.words == "does not exist") cases.push_back({bad.path, 1});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    CaptureStdout();
    const int32_t result = test_support::withinTime(
        [&] { return Kpxadac16_LoadBitstreamFile(board, c.path.c_str()); }, c.path);
    GetCapturedStdout();
    EXPECT_EQ(result, c.result) << KpxBoard_BitstreamResultText(result);
  }
  EXPECT_NE(
      std::string(KpxBoard_BitstreamResultText(KPXADAC16_BITFILE_DIRECTORY)).find("directory"),
      std::string::npos);
  ::close(keep);
  EXPECT_EQ(requestCount(), 0u);
}

// Runs `body` in a child process whose address space is capped at 1 GiB, so
// that a staging buffer of gigabytes cannot be allocated; the child exits
// with 0 when `body` returns true.
template <typename Body>
void underMemoryCap(Body body) {
  const auto child = [&] {
    const rlimit cap{1ull << 30, 1ull << 30};
    if (::setrlimit(RLIMIT_AS, &cap) != 0) std::_Exit(2);
    std::_Exit(body() ? 0 : 1);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

TEST_F(BitstreamTest, FailedAllocationIsRefusedWithItsCode) {
  if (kSanitizerAllocator) GTEST_SKIP() << "the sanitizer's allocator does not return null";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  openBoard();
  const std::string path = writeTempFile("big.bit", bitImageForPart("4vlx40"));
  std::error_code error;
  std::filesystem::resize_file(path, 0xF0000000ull, error);
  if (error) GTEST_SKIP() << "cannot make a sparse file here: " << error.message();
  underMemoryCap([&] {
    return Kpxadac16_LoadBitstreamFile(board, path.c_str()) == KPXADAC16_BITFILE_NO_MEMORY &&
           testbed::journal().empty();
  });
  std::filesystem::remove(path, error);

  const uint8_t small[4] = {1, 2, 3, 4};
  underMemoryCap([&] {
    // The image is never read: the staging buffer fails first.
    return Kpxadac16_LoadBitstream(board, small, 0xF0000000u) == KPXADAC16_IMAGE_NO_MEMORY &&
           testbed::journal().empty();
  });
}
#endif

// ---- Guarded states ----------------------------------------------------------

TEST_F(BitstreamTest, BusyBoardIsRefusedByBothEntries) {
  openBoard();
  testbed::setGate(0, "IOCTL_GET_BOARD_STATUS");
  int32_t status = 0;
  std::thread query([&] { status = Kpxadac16_GetBoardStatus(board); });
  testbed::waitForGate();
  const std::string path = writeTempFile("image.bit", bitImageForPart("4vlx40ff668"));
  EXPECT_EQ(Kpxadac16_LoadBitstreamFile(board, path.c_str()), 6);
  EXPECT_EQ(Kpxadac16_GetLastError(board), ERR_NOT_IDLE);
  const uint8_t image[3] = {1, 2, 3};
  EXPECT_EQ(Kpxadac16_LoadBitstream(board, image, sizeof image), -2);
  EXPECT_EQ(Kpxadac16_GetState(board), STATE_QUERY);
  testbed::releaseGate();
  query.join();
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(requests(IOCTL_SET_FPGA_BITSTREAM).empty());
  EXPECT_TRUE(requests(IOCTL_GET_BOARD_ID).empty());
}

TEST_F(BitstreamTest, DownloadHoldsTheBoardInProgramming) {
  openBoard(R"("bitstream_result": 5)", 0x8A);
  testbed::setGate(0, "IOCTL_SET_FPGA_BITSTREAM");
  int32_t result = 0;
  const std::string path = writeTempFile("image.bit", bitImageForPart("4vlx40ff668"));
  std::thread load([&] { result = Kpxadac16_LoadBitstreamFile(board, path.c_str()); });
  testbed::waitForGate();
  EXPECT_EQ(Kpxadac16_GetState(board), STATE_PROGRAMMING);
  EXPECT_EQ(Kpxadac16_GetBoardStatus(board), -1);
  EXPECT_EQ(Kpxadac16_GetLastError(board), ERR_NOT_IDLE);
  testbed::releaseGate();
  load.join();
  EXPECT_EQ(result, 5);
  EXPECT_EQ(Kpxadac16_GetState(board), STATE_IDLE);
}

TEST_F(BitstreamTest, UnregisteredHandle) {
  openBoard();
  const BoardHandle stranger = board + 1000;
  const std::string path = writeTempFile("image.bit", bitImageForPart("4vlx40ff668"));
  EXPECT_EQ(Kpxadac16_LoadBitstreamFile(stranger, path.c_str()), 6);
  const uint8_t image[3] = {1, 2, 3};
  EXPECT_EQ(Kpxadac16_LoadBitstream(stranger, image, sizeof image), -3);
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(BitstreamTest, FailedDownloadFromEitherEntry) {
  openBoard(R"("faults": [{"op": "IOCTL_SET_FPGA_BITSTREAM", "error": 31}])", 0x8A);
  const std::string path = writeTempFile("image.bit", bitImageForPart("4vlx40ff668"));
  const uint8_t image[3] = {1, 2, 3};
  CaptureStdout();
  EXPECT_EQ(Kpxadac16_LoadBitstreamFile(board, path.c_str()), -1);
  EXPECT_EQ(Kpxadac16_GetState(board), STATE_IDLE);
  EXPECT_EQ(Kpxadac16_GetLastError(board), ERR_REQUEST_FAILED);
  EXPECT_EQ(Kpxadac16_LoadBitstream(board, image, sizeof image), -1);
  EXPECT_EQ(GetCapturedStdout(),
            "IOCTL_SET_FPGA_BITSTREAM failed:  31\nIOCTL_SET_FPGA_BITSTREAM failed:  31\n");
  EXPECT_EQ(Kpxadac16_GetState(board), STATE_IDLE);
  EXPECT_EQ(Kpxadac16_GetLastError(board), ERR_REQUEST_FAILED);
}

TEST_F(BitstreamTest, FailedIdentificationGives6) {
  openBoard(R"("faults": [{"op": "IOCTL_GET_BOARD_ID", "error": 31, "skip": 1}])", 0x8A);
  CaptureStdout();
  EXPECT_EQ(loadFile(bitImageForPart("4vlx40ff668")), 6);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(Kpxadac16_GetLastError(board), ERR_REQUEST_FAILED);
  EXPECT_TRUE(requests(IOCTL_SET_FPGA_BITSTREAM).empty());
}

// ---- From memory ---------------------------------------------------------------

TEST_F(BitstreamTest, MemoryImageIsSentUnchecked) {
  openBoard(R"("bitstream_result": 7)", 0x8B);
  const auto image = bitImageForPart("2v8000");  // not this board's part
  EXPECT_EQ(Kpxadac16_LoadBitstream(board, image.data(), static_cast<uint32_t>(image.size())), 7);
  auto sent = requests(IOCTL_SET_FPGA_BITSTREAM);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].in, withLengthPrefix(image));
  EXPECT_EQ(testbed::loadedPart(0), "2v8000");

  testbed::clearJournal();
  EXPECT_EQ(Kpxadac16_LoadBitstream(board, nullptr, 0), 7);
  sent = requests(IOCTL_SET_FPGA_BITSTREAM);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].in, (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST_F(BitstreamTest, MemoryImageThatCannotBeStagedIsRefused) {
  openBoard();
  const uint8_t small[4] = {1, 2, 3, 4};
  // The length is checked before the image is touched or the board looked up.
  EXPECT_EQ(Kpxadac16_LoadBitstream(board, small, 0xFFFFFFFCu), KPXADAC16_IMAGE_TOO_LARGE);
  EXPECT_EQ(Kpxadac16_LoadBitstream(board, small, 0xFFFFFFFFu), KPXADAC16_IMAGE_TOO_LARGE);
  EXPECT_EQ(Kpxadac16_LoadBitstream(board + 1000, small, 0xFFFFFFFFu), KPXADAC16_IMAGE_TOO_LARGE);
  EXPECT_EQ(Kpxadac16_LoadBitstream(board, nullptr, 4), KPXADAC16_IMAGE_MISSING);
  EXPECT_EQ(requestCount(), 0u);
}

}  // namespace
