#include "virtual_boards/signal_generator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/files.h"
#include "virtual_boards/bounded_json.h"

namespace kpx::sim {
namespace {

uint16_t toLittleEndian(uint16_t v) {
  if constexpr (std::endian::native == std::endian::little) return v;
  return static_cast<uint16_t>((v >> 8) | (v << 8));
}

struct WaveDeleter {
  void operator()(KpxWave* wave) const { KpxWave_Destroy(wave); }
};
using WavePtr = std::unique_ptr<KpxWave, WaveDeleter>;

// One period, copied out by index: the ramp, and the tone with its noise.
class PeriodSource : public SampleSource {
 public:
  explicit PeriodSource(std::vector<uint16_t> period) : period_(std::move(period)) {}
  void fill(uint8_t* out, uint64_t first, size_t count) const override {
    const size_t n = period_.size();
    size_t at = static_cast<size_t>(first % n);
    while (count > 0) {
      const size_t run = std::min(count, n - at);
      std::memcpy(out, period_.data() + at, run * 2);
      out += run * 2;
      count -= run;
      at = 0;
    }
  }

 private:
  std::vector<uint16_t> period_;  // little-endian bytes on every host
};

// Any other waveform, generated as it is read; a read that does not continue
// the last one moves the generator first.
class LiveSource : public SampleSource {
 public:
  explicit LiveSource(WavePtr wave) : wave_(std::move(wave)) {}
  void fill(uint8_t* out, uint64_t first, size_t count) const override {
    std::lock_guard lock(mutex_);
    if (KpxWave_Position(wave_.get()) != first) KpxWave_Seek(wave_.get(), first);
    KpxWave_GenerateLittleEndian(wave_.get(), out, count);
  }

 private:
  mutable std::mutex mutex_;
  WavePtr wave_;
};

// A recording: samples 0 .. count - 1 of its data file, then again from 0
// (loop) or zeros. Reads go to an offset each, so the file needs no lock.
class FileSource : public SampleSource {
 public:
  FileSource(platform::FileHandle file, uint64_t count, bool loop)
      : file_(file), count_(count), loop_(loop) {}
  ~FileSource() override { platform::closeFile(file_); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  void fill(uint8_t* out, uint64_t first, size_t count) const override {
    while (count > 0) {
      uint64_t at = first;
      if (loop_ && count_ > 0) at %= count_;
      if (at >= count_) {
        std::memset(out, 0, count * 2);
        return;
      }
      const auto run = static_cast<size_t>(std::min<uint64_t>(count, count_ - at));
      size_t got = 0;
      while (got < run * 2) {
        const int64_t n = platform::readFileAt(file_, at * 2 + got, out + got, run * 2 - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      // A file cut short since it was opened reads as zeros from there.
      std::memset(out + got, 0, run * 2 - got);
      out += run * 2;
      first += run;
      count -= run;
    }
  }

 private:
  platform::FileHandle file_;
  uint64_t count_;
  bool loop_;
};

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() && text.ends_with(suffix);
}

// The largest SigMF metadata read (a records capture of a million records
// writes about 250 MB of it).
constexpr uint64_t kMaxSigmfMetaBytes = uint64_t{1} << 30;

// The data file of a recording: the file itself when raw, the .sigmf-data
// of a SigMF pair (named by either file, or by their common base) after its
// metadata has been checked.
std::string dataFileOf(const std::string& path, std::string& reason) {
  using platform::FileKind;
  std::string base;
  if (endsWith(path, ".sigmf-meta")) base = path.substr(0, path.size() - 11);
  if (endsWith(path, ".sigmf-data")) base = path.substr(0, path.size() - 11);
  const std::string metaPath = (base.empty() ? path : base) + ".sigmf-meta";
  if (base.empty() && platform::fileKind(path.c_str()) == FileKind::kMissing &&
      platform::fileKind(metaPath.c_str()) != FileKind::kMissing)
    base = path;
  if (base.empty()) return path;
  // A .sigmf-data without its metadata is read as raw samples.
  if (endsWith(path, ".sigmf-data") && platform::fileKind(metaPath.c_str()) == FileKind::kMissing)
    return path;
  std::string text;
  if (auto refused = platform::readWholeFile(metaPath.c_str(), kMaxSigmfMetaBytes, text)) {
    reason = *refused;
    return "";
  }
  nlohmann::json j;
  try {
    j = parseBoundedJson(text, metaPath);
  } catch (const JsonTooDeep& e) {
    reason = e.reason;
    return "";
  } catch (const nlohmann::json::exception&) {
    reason = metaPath + ": not JSON";
    return "";
  }
  const nlohmann::json* global = j.is_object() && j.contains("global") ? &j["global"] : nullptr;
  if (!global || !global->is_object()) {
    reason = metaPath + ": no \"global\" object";
    return "";
  }
  const auto datatype = global->find("core:datatype");
  if (datatype == global->end() || !datatype->is_string() || *datatype != "ri16_le") {
    reason = metaPath + ": core:datatype is not \"ri16_le\", the only type read";
    return "";
  }
  const auto channels = global->find("core:num_channels");
  if (channels != global->end() && (!channels->is_number_integer() || *channels != 1)) {
    reason = metaPath + ": only one channel is read";
    return "";
  }
  return base + ".sigmf-data";
}

std::shared_ptr<const SampleSource> makeFileSource(const SignalSettings& settings,
                                                   std::string& reason) {
  const std::string data = dataFileOf(settings.path, reason);
  if (data.empty()) return nullptr;
  uint64_t bytes = 0;
  const platform::FileHandle file = platform::openInputFile(data.c_str(), bytes, reason);
  if (file == platform::kNoFile) return nullptr;
  return std::make_shared<FileSource>(file, bytes / 2, settings.loop);
}

WavePtr makeWave(const SignalSettings& settings, double sampleRateHz, std::string& reason) {
  KpxWaveSettings wave = settings.wave;
  wave.sampleRateHz = sampleRateHz;
  KpxWave* made = nullptr;
  const int32_t result = KpxWave_Create(&wave, &made);
  if (result != KPXWAVE_OK) reason = KpxWave_ResultText(result);
  return WavePtr(made);
}

bool sameTone(const KpxWaveSettings& a, double rateA, const KpxWaveSettings& b, double rateB) {
  if (a.frequenciesHz[0] != b.frequenciesHz[0] || a.amplitudeDbfs != b.amplitudeDbfs ||
      a.phaseDeg != b.phaseDeg || a.noiseLsbRms != b.noiseLsbRms || a.seed != b.seed ||
      a.harmonicsUsed != b.harmonicsUsed || rateA != rateB)
    return false;
  for (int i = 0; i < KPXWAVE_HARMONICS; ++i)
    if ((a.harmonicsUsed & (1u << i)) && a.harmonicsDbc[i] != b.harmonicsDbc[i]) return false;
  return true;
}

std::shared_ptr<const SampleSource> makeTone(const SignalSettings& settings, double sampleRateHz,
                                             std::string& reason) {
  // Building a tone period takes a few milliseconds; racks are rebuilt for
  // every test, so recent tones are kept and shared.
  struct Cached {
    KpxWaveSettings wave;
    double rate;
    std::shared_ptr<const SampleSource> source;
  };
  static std::mutex cacheMutex;
  static std::vector<Cached> cache;
  {
    std::lock_guard lock(cacheMutex);
    for (const Cached& c : cache)
      if (sameTone(c.wave, c.rate, settings.wave, sampleRateHz)) return c.source;
  }
  // A whole number of cycles in the period, so that it repeats seamlessly;
  // at most the generator's limit, half a cycle a sample.
  SignalSettings periodic = settings;
  const double n = static_cast<double>(SampleSource::kTonePeriod);
  const double wanted =
      sampleRateHz > 0 ? std::round(settings.wave.frequenciesHz[0] * n / sampleRateHz) : 0;
  periodic.wave.frequenciesHz[0] = std::clamp(wanted, 0.0, n / 2) * sampleRateHz / n;
  WavePtr wave = makeWave(periodic, sampleRateHz, reason);
  if (!wave) return nullptr;
  std::vector<uint16_t> period(SampleSource::kTonePeriod);
  KpxWave_GenerateLittleEndian(wave.get(), reinterpret_cast<uint8_t*>(period.data()),
                               period.size());
  auto source = std::make_shared<PeriodSource>(std::move(period));
  std::lock_guard lock(cacheMutex);
  if (cache.size() >= 8) cache.erase(cache.begin());
  cache.push_back({settings.wave, sampleRateHz, source});
  return source;
}

}  // namespace

KpxWaveSettings SignalSettings::defaultTone() {
  KpxWaveSettings wave;
  KpxWave_DefaultSettings(&wave, KPXWAVE_TONE, 105e6);
  wave.frequenciesHz[0] = 10e6;
  wave.amplitudeDbfs = -1.0;
  wave.noiseLsbRms = 2.0;
  wave.seed = 1;
  return wave;
}

std::shared_ptr<const SampleSource> SampleSource::make(const SignalSettings& settings,
                                                       double sampleRateHz, std::string& reason) {
  if (settings.kind == SignalSettings::Kind::kFile) return makeFileSource(settings, reason);
  switch (settings.wave.waveform) {
    case KPXWAVE_RAMP: {
      std::vector<uint16_t> period(65536);
      for (size_t k = 0; k < period.size(); ++k)
        period[k] = toLittleEndian(static_cast<uint16_t>(k));
      return std::make_shared<PeriodSource>(std::move(period));
    }
    case KPXWAVE_TONE:
      return makeTone(settings, sampleRateHz, reason);
    default: {
      WavePtr wave = makeWave(settings, sampleRateHz, reason);
      if (!wave) return nullptr;
      return std::make_shared<LiveSource>(std::move(wave));
    }
  }
}

std::shared_ptr<const SampleSource> SampleSource::silence() {
  return std::make_shared<FileSource>(platform::kNoFile, 0, false);
}

void SampleSource::fillBytes(uint8_t* out, uint64_t position, size_t length) const {
  if (length == 0) return;
  if (position % 2 != 0) {  // second byte of a sample
    uint8_t pair[2];
    fill(pair, position / 2, 1);
    *out++ = pair[1];
    ++position;
    --length;
  }
  const size_t whole = length / 2;
  fill(out, position / 2, whole);
  if (length % 2 != 0) {  // first byte of a sample
    uint8_t pair[2];
    fill(pair, position / 2 + whole, 1);
    out[whole * 2] = pair[0];
  }
}

int16_t SampleSource::sample(uint64_t index) const {
  uint8_t pair[2];
  fill(pair, index, 1);
  return static_cast<int16_t>(static_cast<uint16_t>(pair[0] | (pair[1] << 8)));
}

}  // namespace kpx::sim
