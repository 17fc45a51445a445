// FPGA configuration: a Xilinx .bit file checked against the board's ID, or
// an image from memory sent unchecked, each in one download request that
// holds the board in STATE_PROGRAMMING.
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "bitstream_header.h"
#include "kpxadac_ioctl.h"
#include "messages.h"
#include "platform/files.h"
#include "registry.h"
#include "requests.h"

namespace kpx {

using namespace driver;

namespace {

// The download request: a 32-bit length n, then the n image bytes, in one
// heap block that is freed when the operation returns.
class StagedImage {
 public:
  // Length prefix of the request.
  static constexpr uint32_t kPrefix = 4;
  // Longest image whose request length still fits in 32 bits.
  static constexpr uint32_t kMaxLength = std::numeric_limits<uint32_t>::max() - kPrefix;

  // Allocates the block for an image of `length` (at most kMaxLength) bytes
  // and stores the length. ok() tells whether the allocation succeeded.
  explicit StagedImage(uint32_t length)
      : block_(new (std::nothrow) uint8_t[size_t{length} + kPrefix]), length_(length) {
    if (!block_) return;
    for (uint32_t i = 0; i < kPrefix; ++i)
      block_[i] = static_cast<uint8_t>(length >> (8 * i));  // little-endian
  }

  bool ok() const { return block_ != nullptr; }
  uint8_t* image() { return block_.get() + kPrefix; }
  const uint8_t* image() const { return block_.get() + kPrefix; }
  uint32_t length() const { return length_; }
  const uint8_t* request() const { return block_.get(); }
  uint32_t requestLength() const { return length_ + kPrefix; }

 private:
  std::unique_ptr<uint8_t[]> block_;
  uint32_t length_;
};

// The guarded download: STATE_PROGRAMMING while the request is in flight;
// a failed request prints its line.
Guarded download(BoardHandle handle, const StagedImage& staged, uint32_t& result) {
  result = 0;
  return runGuardedRequest(handle, STATE_PROGRAMMING, IOCTL_SET_FPGA_BITSTREAM, staged.request(),
                           staged.requestLength(), &result, sizeof result, Report::kPrintFailure);
}

// Result codes of the file entry (see kpxadac16.h).
constexpr int32_t kFileNotFound = 1;
constexpr int32_t kFileNotIdle = 2;
constexpr int32_t kFileNoBoard = 3;
constexpr int32_t kFileUnknownBoardId = 4;
constexpr int32_t kFileInfoFailed = 6;
constexpr int32_t kFilePartMismatch = 7;
constexpr int32_t kFileNotBitstream = 8;

// Reads the whole of a regular file into a staged image; a directory, a FIFO
// or a device is refused unread. Returns 0, or the code of the reason it
// could not.
int32_t readWholeFile(const char* fileName, std::optional<StagedImage>& staged) {
  using platform::FileKind;
  const auto refusal = [](FileKind kind) -> int32_t {
    if (kind == FileKind::kDirectory) return KPXADAC16_BITFILE_DIRECTORY;
    if (kind != FileKind::kRegular && kind != FileKind::kMissing)
      return KPXADAC16_BITFILE_NOT_REGULAR;
    return 0;
  };
  if (const int32_t refused = refusal(platform::fileKind(fileName))) return refused;
  uint64_t size = 0;
  std::string reason;
  const platform::FileHandle file = platform::openInputFile(fileName, size, reason);
  if (file == platform::kNoFile) {
    // A FIFO or a device put in its place since it was looked at.
    if (const int32_t refused = refusal(platform::fileKind(fileName))) return refused;
    printLine("Error, File not found!\n");
    return kFileNotFound;
  }
  int32_t result = 0;
  if (size > StagedImage::kMaxLength) {
    result = KPXADAC16_BITFILE_TOO_LARGE;
  } else {
    const auto length = static_cast<uint32_t>(size);
    staged.emplace(length);
    uint32_t have = 0;
    while (staged->ok() && have < length) {
      const int64_t got = platform::readFileAt(file, have, staged->image() + have, length - have);
      if (got <= 0) break;
      have += static_cast<uint32_t>(got);
    }
    if (!staged->ok())
      result = KPXADAC16_BITFILE_NO_MEMORY;
    else if (have != length)
      result = KPXADAC16_BITFILE_UNREADABLE;
  }
  platform::closeFile(file);
  return result;
}

int32_t headerResult(bitstream::HeaderStatus status) {
  switch (status) {
    case bitstream::HeaderStatus::kOk:
      return 0;
    case bitstream::HeaderStatus::kNotBitstream:
      return kFileNotBitstream;
    case bitstream::HeaderStatus::kMalformed:
      return KPXADAC16_BITFILE_BAD_HEADER;
    case bitstream::HeaderStatus::kPartNameTooLong:
      return KPXADAC16_BITFILE_PART_TOO_LONG;
  }
  return KPXADAC16_BITFILE_BAD_HEADER;
}

}  // namespace

}  // namespace kpx

using namespace kpx;

extern "C" {

int32_t Kpxadac16_LoadBitstreamFile(BoardHandle handle, const char* fileName) {
  if (!fileName) {
    printLine("Error, File not found!\n");
    return kFileNotFound;
  }
  std::optional<StagedImage> staged;
  const int32_t read = readWholeFile(fileName, staged);
  if (read != 0) return read;

  // Nothing reaches the driver before the header has passed and the part
  // name has been collected.
  std::string partName;
  const int32_t header =
      headerResult(bitstream::readHeader(staged->image(), staged->length(), partName));
  if (header != 0) return header;

  uint8_t info[6] = {};
  if (Kpxadac16_GetBoardInfo(handle, info) != 0) return kFileInfoFailed;
  const char* expected = expectedPart(info[5]);
  if (!expected) return kFileUnknownBoardId;
  if (!bitstream::partMatches(partName, expected)) return kFilePartMismatch;

  uint32_t result = 0;
  switch (download(handle, *staged, result)) {
    case Guarded::kNoBoard:
      return kFileNoBoard;
    case Guarded::kNotIdle:
      return kFileNotIdle;
    case Guarded::kFailed:
      return -1;
    case Guarded::kRan:
      break;
  }
  return static_cast<int32_t>(result);
}

int32_t Kpxadac16_LoadBitstream(BoardHandle handle, const uint8_t* image, uint32_t length) {
  // The request must be stageable before the board is looked at.
  if (length > StagedImage::kMaxLength) return KPXADAC16_IMAGE_TOO_LARGE;
  if (!image && length != 0) return KPXADAC16_IMAGE_MISSING;
  StagedImage staged(length);
  if (!staged.ok()) return KPXADAC16_IMAGE_NO_MEMORY;
  if (length != 0) std::memcpy(staged.image(), image, length);

  uint32_t result = 0;
  switch (download(handle, staged, result)) {
    case Guarded::kNoBoard:
      return -3;
    case Guarded::kNotIdle:
      return -2;
    case Guarded::kFailed:
      return -1;
    case Guarded::kRan:
      break;
  }
  return static_cast<int32_t>(result);
}

}  // extern "C"
