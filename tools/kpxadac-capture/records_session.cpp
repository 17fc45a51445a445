#include "records_session.h"

#include <algorithm>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>

#include "capture_session.h"
#include "kpxadac_board.h"
#include "sha512.h"

namespace capture {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(500);
// How often a writer waiting for a record looks at the stop flag.
constexpr int32_t kStopPollMs = 50;

std::string progressLine(const RecordsResult& result, double seconds) {
  const auto& c = result.records.counts;
  char text[200];
  std::snprintf(text, sizeof text,
                "%8.1f records/s  %llu records  lost: %llu to gaps, %llu skipped",
                seconds > 0 ? static_cast<double>(result.records.records.size()) / seconds : 0.0,
                static_cast<unsigned long long>(result.records.records.size()),
                static_cast<unsigned long long>(c.lostToGaps),
                static_cast<unsigned long long>(c.skippedSlow));
  return text;
}

std::string readFailure(KpxStream* stream) {
  KpxStreamStatus status{};
  KpxStream_GetStatus(stream, &status);
  const char* error = KpxBoard_ErrorText(status.boardError);
  return "read from the board failed after " + std::to_string(status.samplesMoved) + " samples (" +
         (error ? error : "board error " + std::to_string(status.boardError)) + ")";
}

struct RewriteOutcome {
  std::string failure;  // "" when the metadata was replaced
  std::chrono::steady_clock::duration took{};
};

// Rewrites the metadata of the records written so far on a thread of its
// own, one rewrite at a time, so that writing the records goes on meanwhile.
// Each rewrite flushes the data file first: every record it lists was
// written before it started.
class MetadataRewrite {
 public:
  MetadataRewrite(OutputFile& file, const RecordsMetadataKeeper& keep) : file_(file), keep_(keep) {}
  ~MetadataRewrite() {
    if (pending_.valid()) pending_.wait();
  }

  bool running() const {
    return pending_.valid() &&
           pending_.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
  }

  void start(RecordsDescription written) {
    pending_ = std::async(std::launch::async, [this, written = std::move(written)] {
      const auto began = std::chrono::steady_clock::now();
      std::string failure = file_.flushData();
      if (failure.empty()) failure = keep_(written);
      return RewriteOutcome{failure, std::chrono::steady_clock::now() - began};
    });
  }

  // The outcome of the rewrite started last, once it has finished (waiting
  // for it if asked); nothing when none is pending.
  std::optional<RewriteOutcome> take(bool wait) {
    if (!pending_.valid() || (!wait && running())) return std::nullopt;
    return pending_.get();
  }

 private:
  OutputFile& file_;
  const RecordsMetadataKeeper& keep_;
  std::future<RewriteOutcome> pending_;
};

}  // namespace

RecordsResult runRecords(KpxStream* stream, const KpxRecordsConfig& config, OutputFile& file,
                         bool computeSha512, const std::atomic<bool>& stop, Console& console,
                         const RecordsMetadataKeeper& keepMetadata) {
  RecordsResult result;
  result.records.config = config;
  std::unique_ptr<Sha512> sha512;
  if (computeSha512) sha512 = std::make_unique<Sha512>();
  KpxRecords* records = nullptr;
  int32_t opened = KpxRecords_Open(stream, &config, &records);
  if (opened == KPXRECORDS_OK) opened = KpxRecords_Start(records);
  if (opened != KPXRECORDS_OK) {
    result.readFailure = std::string("records: ") + KpxRecords_ResultText(opened);
    KpxRecords_Close(records);
    return result;
  }
  result.startTime = std::chrono::system_clock::now();
  const auto start = std::chrono::steady_clock::now();
  auto lastProgress = start;
  auto nextMetadata = start + kMetadataInterval;
  MetadataRewrite rewrite(file, keepMetadata);
  // Takes the outcome of a finished rewrite; a failure ends the capture.
  auto takeRewriteOutcome = [&](bool wait) {
    std::optional<RewriteOutcome> outcome = rewrite.take(wait);
    if (!outcome) return;
    // Rewrites grow with the recording: the next comes later when this one
    // took long, keeping the metadata to a tenth of a core.
    nextMetadata = std::chrono::steady_clock::now() + std::max<std::chrono::steady_clock::duration>(
                                                          kMetadataInterval, 10 * outcome->took);
    if (outcome->failure.empty() || !result.writeFailure.empty()) return;
    result.writeFailure = outcome->failure;
    KpxRecords_Stop(records);
  };
  KpxRecord record{};
  int32_t got;
  while ((got = KpxRecords_Acquire(records, &record, kStopPollMs)) == KPXRECORDS_OK ||
         got == KPXRECORDS_TIMEOUT) {
    if (stop.load() && !result.stopped) {
      result.stopped = true;
      KpxRecords_Stop(records);
    }
    if (got == KPXRECORDS_OK) {
      result.records.counts = record.counts;
      if (result.writeFailure.empty()) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(record.samples);
        const size_t length = size_t{record.length} * sizeof(int16_t);
        size_t written = 0;
        std::string reason = file.write(bytes, length, written);
        result.statistics.add(bytes, written);
        if (sha512) sha512->update(bytes, written);
        result.bytesWritten += written;
        if (reason.empty()) {
          result.records.records.push_back({record.firstIndex, record.triggerIndex, record.flags});
        } else {
          result.writeFailure = reason;
          KpxRecords_Stop(records);
        }
      }
      KpxRecords_Release(records, &record);
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastProgress >= kProgressInterval) {
      lastProgress = now;
      KpxRecordsStatus status{};
      KpxRecords_GetStatus(records, &status);
      result.records.counts = status.counts;
      console.progress(progressLine(result, std::chrono::duration<double>(now - start).count()));
    }
    if (keepMetadata) {
      takeRewriteOutcome(false);
      if (result.writeFailure.empty() && !rewrite.running() && now >= nextMetadata) {
        KpxStreamStatus status{};
        KpxStream_GetStatus(stream, &status);
        result.records.streamLostSamples = status.overrunSamples;
        rewrite.start(result.records);
      }
    }
  }
  takeRewriteOutcome(true);
  console.endProgress();
  if (got == KPXRECORDS_BOARD_FAILED) result.readFailure = readFailure(stream);
  KpxRecordsStatus status{};
  KpxRecords_GetStatus(records, &status);
  result.records.counts = status.counts;
  KpxRecords_Close(records);
  KpxStreamStatus streamStatus{};
  KpxStream_GetStatus(stream, &streamStatus);
  result.records.streamLostSamples = streamStatus.overrunSamples;
  if (std::string reason = file.flushToDisk(); !reason.empty() && result.writeFailure.empty())
    result.writeFailure = reason;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (sha512) result.sha512 = sha512->hexDigest();
  return result;
}

}  // namespace capture
