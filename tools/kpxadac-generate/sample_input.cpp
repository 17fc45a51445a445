#include "sample_input.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "input_file.h"
#include "sigmf_files.h"
#include "sigmf_reader.h"

namespace generate {
namespace {

namespace fs = std::filesystem;

bool endsWith(const std::string& text, std::string_view suffix) {
  return text.size() > suffix.size() && text.ends_with(suffix);
}

bool nameExists(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

}  // namespace

SampleInput::SampleInput() = default;
SampleInput::~SampleInput() = default;

std::string SampleInput::open(const std::string& path, bool loop) {
  loop_ = loop;
  if (path == "-") {
    name_ = "standard input";
    descriptor_ = kpx::tools::standardInputForBytes();
    return "";
  }
  // A SigMF pair, named by either file or by their base; a .sigmf-data
  // without its metadata is raw samples.
  std::string base;
  if (endsWith(path, kpx::tools::kSigmfMetaEnding) || endsWith(path, kpx::tools::kSigmfDataEnding))
    base = path.substr(0, path.size() - kpx::tools::kSigmfMetaEnding.size());
  else if (!nameExists(path) && nameExists(kpx::tools::sigmfMetaPath(path)))
    base = path;
  if (!base.empty() && endsWith(path, kpx::tools::kSigmfDataEnding) &&
      !nameExists(kpx::tools::sigmfMetaPath(base)))
    base.clear();

  file_ = std::make_unique<kpx::tools::InputFile>();
  if (base.empty()) {
    name_ = path;
    if (auto reason = file_->open(name_); !reason.empty()) return reason;
    if (file_->size() % 2 != 0)
      return "\"" + name_ + "\" holds " + std::to_string(file_->size()) +
             " bytes, an odd count: each 16-bit sample takes 2";
  } else {
    kpx::tools::SigmfMetadata meta;
    if (auto reason = kpx::tools::readSigmfMetadataFile(kpx::tools::sigmfMetaPath(base), meta);
        !reason.empty())
      return reason;
    name_ = kpx::tools::sigmfDataPath(base);
    if (auto reason = file_->open(name_); !reason.empty()) return reason;
    uint64_t samples = 0, ignored = 0;
    if (auto reason = kpx::tools::fitSigmfData(meta, file_->size(), samples, ignored);
        !reason.empty())
      return base + ": " + reason;
    // What the metadata describes is played; bytes after it (a recording
    // whose writer stopped) are not.
    bytesPerPass_ = samples * 2;
    if (ignored > 0)
      std::fprintf(stderr, "kpxadac-generate: %s: %llu trailing bytes ignored\n", name_.c_str(),
                   static_cast<unsigned long long>(ignored));
  }
  descriptor_ = file_->descriptor();
  return "";
}

size_t SampleInput::read(uint8_t* out, size_t maxBytes, std::string& reason) {
  size_t have = carried_;
  std::memcpy(out, carry_, carried_);
  carried_ = 0;
  while (!ended_ && have < 4) {
    size_t want = std::min<size_t>(maxBytes - have, size_t{1} << 24);
    if (bytesPerPass_)
      want = static_cast<size_t>(std::min<uint64_t>(want, *bytesPerPass_ - bytesThisPass_));
    const auto got = want == 0 ? 0 : kpx::tools::readNext(descriptor_, out + have, want);
    if (got < 0) {
      if (errno == EINTR) continue;
      reason = "cannot read " + name_ + ": " + std::strerror(errno);
      return 0;
    }
    if (got > 0) {
      have += static_cast<size_t>(got);
      bytesThisPass_ += static_cast<uint64_t>(got);
      continue;
    }
    // The end: again from the start, or done.
    if (loop_ && bytesThisPass_ >= 2 && kpx::tools::rewindToStart(descriptor_)) {
      bytesThisPass_ = 0;
      continue;
    }
    ended_ = true;
  }
  if (ended_ && have % 2 != 0) {
    reason = name_ + " ended with an odd byte: each 16-bit sample takes 2";
    return 0;
  }
  if (ended_ && have % 4 != 0 && have > 0) {
    // The odd sample at the end.
    const size_t samples = have / 2;
    have = samples * 2;
    if (samples % 2 != 0) {
      out[have] = out[have + 1] = 0;
      have += 2;
    }
    return have;
  }
  const size_t whole = have - have % 4;
  carried_ = have - whole;
  std::memcpy(carry_, out + whole, carried_);
  return whole;
}

}  // namespace generate
