#include "records_session.h"

#include <algorithm>
#include <cstdio>
#include <memory>

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
  // The metadata lists every record, so its rewrite grows with the
  // recording; its interval grows with it, keeping the writer's time for
  // the records.
  auto keepMetadataCurrent = [&](std::chrono::steady_clock::time_point now) {
    KpxStreamStatus status{};
    KpxStream_GetStatus(stream, &status);
    result.records.streamLostSamples = status.overrunSamples;
    std::string failure = file.flushData();
    if (failure.empty()) failure = keepMetadata(result.records);
    const auto done = std::chrono::steady_clock::now();
    nextMetadata =
        done + std::max<std::chrono::steady_clock::duration>(kMetadataInterval, 10 * (done - now));
    if (failure.empty()) return;
    result.writeFailure = failure;
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
    if (keepMetadata && result.writeFailure.empty() && now >= nextMetadata)
      keepMetadataCurrent(now);
  }
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
