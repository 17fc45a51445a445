// The samples of --wave file: a SigMF recording of real ri16_le samples, a
// raw file of 16-bit little-endian samples, or raw samples on standard input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kpx::tools {
class InputFile;
}

namespace generate {

class SampleInput {
 public:
  SampleInput();
  SampleInput(const SampleInput&) = delete;
  SampleInput& operator=(const SampleInput&) = delete;
  ~SampleInput();

  // Opens `path` ("-": standard input). A name ending in .sigmf-meta or
  // .sigmf-data, or the base of such a pair, is read as SigMF after its
  // metadata is checked, and the samples it describes are played (bytes
  // after them are ignored, with a warning). A file must be a regular file
  // (a FIFO or a device is refused: pipe streams into standard input), and
  // a raw file of an odd number of bytes is refused. Returns the reason on
  // failure.
  std::string open(const std::string& path, bool loop);

  // Reads whole sample pairs (the board moves 32-bit words) into `out`, at
  // most `maxBytes` (a multiple of 4). Returns as soon as it has any, so a
  // slow pipe is played as it comes; returns 0 at the end (never with
  // `loop`). An odd sample at the very end is paired with a 0. Sets
  // `reason` on a read error, and when standard input ends with an odd byte.
  size_t read(uint8_t* out, size_t maxBytes, std::string& reason);

  const std::string& name() const { return name_; }

 private:
  std::unique_ptr<kpx::tools::InputFile> file_;  // none for standard input
  int descriptor_ = -1;
  std::optional<uint64_t> bytesPerPass_;  // a SigMF recording: what its metadata describes
  bool loop_ = false;
  bool ended_ = false;
  uint64_t bytesThisPass_ = 0;  // a looping file that gives nothing would spin
  std::string name_;
  uint8_t carry_[4] = {};  // bytes read beyond the last whole pair
  size_t carried_ = 0;
};

}  // namespace generate
