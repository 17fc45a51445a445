#include "capture_session.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

#include "kpxadac_board.h"
#include "sha512.h"

namespace capture {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(500);
constexpr uint64_t kUnlimited = std::numeric_limits<uint64_t>::max();

std::string boardErrorName(BoardError error) {
  const char* text = KpxBoard_ErrorText(error);
  return text ? text : "board error " + std::to_string(error);
}

std::string formatProgress(uint64_t bytes, double seconds, uint64_t overruns,
                           std::optional<uint64_t> sampleLimit) {
  const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
  char text[160];
  int length = std::snprintf(text, sizeof text, "%8.1f MB/s  %llu samples  %llu overruns",
                             rate / 1e6, static_cast<unsigned long long>(bytes / 2),
                             static_cast<unsigned long long>(overruns));
  if (sampleLimit && rate > 0) {
    const double bytesLeft =
        static_cast<double>(*sampleLimit * 2 - std::min(bytes, *sampleLimit * 2));
    std::snprintf(text + length, sizeof text - static_cast<size_t>(length), "  %.0f s left",
                  bytesLeft / rate);
  }
  return text;
}

// How often a writer waiting for a block looks at the stop flag: a signal
// handler cannot wake it.
constexpr int32_t kStopPollMs = 50;

class CaptureRun {
 public:
  CaptureRun(const CaptureSettings& settings, OutputFile& file, const std::atomic<bool>& stop,
             Console& console)
      : settings_(settings),
        file_(file),
        stop_(stop),
        console_(console),
        bytesToWrite_(settings.sampleLimit ? *settings.sampleLimit * 2 : kUnlimited) {
    if (settings.computeSha512) sha512_ = std::make_unique<Sha512>();
  }

  CaptureResult run() {
    result_.startTime = std::chrono::system_clock::now();
    const auto start = std::chrono::steady_clock::now();
    std::thread writer([this] { writeBlocks(); });
    showProgressUntilWritten(start);
    writer.join();
    console_.endProgress();

    if (std::string reason = file_.flushToDisk(); !reason.empty() && result_.writeFailure.empty())
      result_.writeFailure = reason;
    result_.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result_.bytesWritten = bytesWritten_.load();
    if (sha512_) result_.sha512 = sha512_->hexDigest();
    return std::move(result_);
  }

 private:
  // Takes the stream's blocks in order until it ends, writing each one.
  void writeBlocks() {
    KpxStream* stream = settings_.stream;
    uint64_t bytesLeft = bytesToWrite_;
    bool warnedOfCounters = false;
    KpxStreamBlock block{};
    int32_t got;
    while ((got = KpxStream_AcquireRead(stream, &block, kStopPollMs)) != KPXSTREAM_STOPPED &&
           got != KPXSTREAM_COMPLETE && got != KPXSTREAM_BOARD_FAILED) {
      if (stop_.load() && !result_.stopped) {
        result_.stopped = true;
        KpxStream_Stop(stream);
      }
      if (got != KPXSTREAM_OK) continue;
      noteGap(block);
      if (block.flags & KPXSTREAM_BLOCK_COUNTERS_UNREAD && !warnedOfCounters) {
        warnedOfCounters = true;
        console_.message(
            "warning: the channel's error counters cannot be read; overruns may go unseen");
      }
      if (result_.writeFailure.empty()) writeBlock(block, bytesLeft);
      samplesTaken_ += block.bytes / 2;
      KpxStream_ReleaseRead(stream, &block);
      if (settings_.writerDelayMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(settings_.writerDelayMs));
    }
    if (got == KPXSTREAM_BOARD_FAILED) result_.readFailure = readFailure();
    {
      std::lock_guard lock(doneMutex_);
      writerDone_ = true;
    }
    doneChanged_.notify_all();
  }

  void noteGap(const KpxStreamBlock& block) {
    if (block.lostBefore == 0) return;
    OverrunEvent gap;
    gap.fileSample = samplesTaken_;
    gap.globalSample = block.index;
    gap.lostSamples = block.lostBefore;
    result_.overruns.push_back(gap);
    result_.lostSamples = block.lostTotal;
    overrunEvents_.fetch_add(1);
    console_.message("overrun: " + std::to_string(gap.lostSamples) +
                     " samples lost before sample " + std::to_string(gap.fileSample) +
                     " (board sample " + std::to_string(gap.globalSample) + ")");
  }

  void writeBlock(const KpxStreamBlock& block, uint64_t& bytesLeft) {
    const auto length = static_cast<size_t>(std::min<uint64_t>(block.bytes, bytesLeft));
    const auto* data = static_cast<const uint8_t*>(block.data);
    size_t written = 0;
    std::string reason = file_.write(data, length, written);
    result_.statistics.add(data, written);
    if (sha512_) sha512_->update(data, written);
    bytesLeft -= written;
    bytesWritten_.fetch_add(written);
    if (!reason.empty()) {
      result_.writeFailure = reason;
      KpxStream_Stop(settings_.stream);
    }
  }

  std::string readFailure() const {
    KpxStreamStatus status{};
    KpxStream_GetStatus(settings_.stream, &status);
    return "read from the board failed after " + std::to_string(status.samplesMoved) +
           " samples (" + boardErrorName(status.boardError) + ")";
  }

  void showProgressUntilWritten(std::chrono::steady_clock::time_point start) {
    std::unique_lock lock(doneMutex_);
    while (!doneChanged_.wait_for(lock, kProgressInterval, [this] { return writerDone_; })) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      console_.progress(formatProgress(bytesWritten_.load(), seconds, overrunEvents_.load(),
                                       settings_.sampleLimit));
    }
  }

  const CaptureSettings& settings_;
  OutputFile& file_;
  const std::atomic<bool>& stop_;
  Console& console_;
  const uint64_t bytesToWrite_;
  std::unique_ptr<Sha512> sha512_;  // writer thread only
  CaptureResult result_;            // writer thread only, until it is done
  uint64_t samplesTaken_ = 0;       // samples of the blocks taken so far
  std::atomic<uint64_t> bytesWritten_{0};
  std::atomic<uint64_t> overrunEvents_{0};
  std::mutex doneMutex_;
  std::condition_variable doneChanged_;
  bool writerDone_ = false;
};

}  // namespace

CaptureResult runCapture(const CaptureSettings& settings, OutputFile& file,
                         const std::atomic<bool>& stop, Console& console) {
  return CaptureRun(settings, file, stop, console).run();
}

}  // namespace capture
