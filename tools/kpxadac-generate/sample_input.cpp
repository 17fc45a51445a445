#include "sample_input.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#ifdef _WIN32
#include <io.h>
#define KPX_READ _read
#define KPX_CLOSE _close
#define KPX_LSEEK _lseeki64
#else
#include <unistd.h>
#define KPX_READ ::read
#define KPX_CLOSE ::close
#define KPX_LSEEK ::lseek
#endif

namespace generate {
namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() && text.ends_with(suffix);
}

// The data file of `path`: itself when raw, the .sigmf-data of a SigMF pair
// whose metadata says one channel of ri16_le. Sets `reason` on failure.
std::string dataFileOf(const std::string& path, std::string& reason) {
  std::string base;
  if (endsWith(path, ".sigmf-meta") || endsWith(path, ".sigmf-data"))
    base = path.substr(0, path.size() - 11);
  else if (!std::ifstream(path).good() && std::ifstream(path + ".sigmf-meta").good())
    base = path;
  if (base.empty()) return path;
  std::ifstream meta(base + ".sigmf-meta");
  if (!meta) {
    if (endsWith(path, ".sigmf-data")) return path;  // no metadata: raw samples
    reason = "cannot read " + base + ".sigmf-meta";
    return "";
  }
  const nlohmann::json j = nlohmann::json::parse(meta, nullptr, false);
  if (!j.is_object() || !j.contains("global") || !j["global"].is_object()) {
    reason = base + ".sigmf-meta: no \"global\" object";
    return "";
  }
  const nlohmann::json& global = j["global"];
  const std::string datatype = global.value("core:datatype", std::string());
  if (datatype != "ri16_le") {
    reason = base + ".sigmf-meta: core:datatype is \"" + datatype +
             "\"; a DAC board plays real 16-bit samples, ri16_le";
    return "";
  }
  if (global.value("core:num_channels", 1) != 1) {
    reason = base + ".sigmf-meta: more than one channel";
    return "";
  }
  return base + ".sigmf-data";
}

}  // namespace

SampleInput::~SampleInput() {
  if (ownsDescriptor_) KPX_CLOSE(descriptor_);
}

std::string SampleInput::open(const std::string& path, bool loop) {
  loop_ = loop;
  if (path == "-") {
    name_ = "standard input";
#ifdef _WIN32
    _setmode(0, _O_BINARY);
#endif
    descriptor_ = 0;
    return "";
  }
  std::string reason;
  name_ = dataFileOf(path, reason);
  if (name_.empty()) return reason;
#ifdef _WIN32
  descriptor_ = _open(name_.c_str(), _O_RDONLY | _O_BINARY);
#else
  descriptor_ = ::open(name_.c_str(), O_RDONLY);
#endif
  if (descriptor_ < 0) return "cannot open " + name_ + ": " + std::strerror(errno);
  ownsDescriptor_ = true;
  return "";
}

size_t SampleInput::read(uint8_t* out, size_t maxBytes, std::string& reason) {
  size_t have = carried_;
  std::memcpy(out, carry_, carried_);
  carried_ = 0;
  while (!ended_ && have < 4) {
    const size_t want = std::min<size_t>(maxBytes - have, size_t{1} << 24);
    const auto got = KPX_READ(descriptor_, out + have, static_cast<unsigned>(want));
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
    if (loop_ && bytesThisPass_ >= 2 && KPX_LSEEK(descriptor_, 0, SEEK_SET) == 0) {
      bytesThisPass_ = 0;
      continue;
    }
    ended_ = true;
  }
  if (ended_ && have % 4 != 0 && have > 0) {
    // The odd sample at the end (a lone odd byte is dropped).
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
