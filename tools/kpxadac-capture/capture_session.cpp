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
    result_.startTime = settings_.startTime;
    const auto start = std::chrono::steady_clock::now();
    std::thread writer([this] { writeBlocks(); });
    superviseUntilWritten(start);
    writer.join();
    console_.endProgress();
    if (!metadataFailure_.empty() && result_.writeFailure.empty())
      result_.writeFailure = metadataFailure_;

    if (std::string reason = file_.flushToDisk(); !reason.empty() && result_.writeFailure.empty())
      result_.writeFailure = reason;
    // Whole samples only: a failed write may have left half of one.
    const uint64_t written = bytesWritten_.load();
    if (written % 2) {
      if (file_.cutTo(written - 1).empty()) bytesWritten_.store(written - 1);
    }
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
      watchRing();
      if (block.flags & KPXSTREAM_BLOCK_COUNTERS_UNREAD && !warnedOfCounters) {
        warnedOfCounters = true;
        console_.message(
            "warning: the channel's error counters cannot be read; overruns may go unseen");
      }
      if (result_.writeFailure.empty()) writeBlock(block, bytesLeft);
      samplesTaken_ += block.bytes / 2;
      if (block.lostBefore) announce(gapWritten_);
      KpxStream_ReleaseRead(stream, &block);
      if (settings_.writerDelayMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(settings_.writerDelayMs));
    }
    if (got == KPXSTREAM_BOARD_FAILED) result_.readFailure = readFailure();
    announce(writerDone_);
  }

  void announce(bool& flag) {
    {
      std::lock_guard lock(stateMutex_);
      flag = true;
    }
    stateChanged_.notify_all();
  }

  // A ring that fills means the disk falls behind; said before the board
  // loses anything, once until the ring has drained to half again.
  void watchRing() {
    KpxStreamStatus status{};
    if (KpxStream_GetStatus(settings_.stream, &status) != KPXSTREAM_OK || status.blockCount == 0)
      return;
    const uint64_t waiting = status.blocksWaiting + 1;  // the block just taken included
    if (!ringWarned_ && waiting * 4 > uint64_t{status.blockCount} * 3) {
      ringWarned_ = true;
      console_.message("warning: the ring is " + std::to_string(waiting * 100 / status.blockCount) +
                       "% full: the output falls behind the board");
    } else if (ringWarned_ && waiting * 2 <= status.blockCount) {
      ringWarned_ = false;
    }
  }

  void noteGap(const KpxStreamBlock& block) {
    if (block.lostBefore == 0) return;
    OverrunEvent gap;
    gap.fileSample = samplesTaken_;
    gap.globalSample = block.index;
    gap.lostSamples = block.lostBefore;
    result_.overruns.push_back(gap);
    {
      std::lock_guard lock(stateMutex_);
      gaps_.push_back(gap);
    }
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

  // Shows the progress and keeps the metadata current until the writer is done.
  void superviseUntilWritten(std::chrono::steady_clock::time_point start) {
    auto lastMetadata = std::chrono::steady_clock::now();
    std::unique_lock lock(stateMutex_);
    while (!writerDone_) {
      stateChanged_.wait_for(lock, kProgressInterval,
                             [this] { return writerDone_ || gapWritten_; });
      if (writerDone_) break;
      const bool gap = gapWritten_;
      gapWritten_ = false;
      const auto now = std::chrono::steady_clock::now();
      const bool metadataDue = settings_.keepMetadata && metadataFailure_.empty() &&
                               (gap || now - lastMetadata >= kMetadataInterval);
      std::vector<OverrunEvent> gaps = metadataDue ? gaps_ : std::vector<OverrunEvent>{};
      lock.unlock();
      const double seconds = std::chrono::duration<double>(now - start).count();
      console_.progress(formatProgress(bytesWritten_.load(), seconds, overrunEvents_.load(),
                                       settings_.sampleLimit));
      if (metadataDue) {
        keepMetadataCurrent(gaps);
        lastMetadata = std::chrono::steady_clock::now();
      }
      lock.lock();
    }
  }

  // The metadata describes only data that is on the disk: flushed first.
  void keepMetadataCurrent(const std::vector<OverrunEvent>& gaps) {
    const uint64_t samples = bytesWritten_.load() / 2;
    std::string failure = file_.flushData();
    if (failure.empty()) failure = settings_.keepMetadata(samples, gaps);
    if (failure.empty()) return;
    metadataFailure_ = failure;
    KpxStream_Stop(settings_.stream);
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
  std::mutex stateMutex_;
  std::condition_variable stateChanged_;
  bool writerDone_ = false;         // guarded
  bool gapWritten_ = false;         // guarded: a block after a gap was written
  std::vector<OverrunEvent> gaps_;  // guarded: the gaps so far
  std::string metadataFailure_;     // calling thread only, until the writer is done
  bool ringWarned_ = false;         // writer thread only
};

}  // namespace

CaptureResult runCapture(const CaptureSettings& settings, OutputFile& file,
                         const std::atomic<bool>& stop, Console& console) {
  return CaptureRun(settings, file, stop, console).run();
}

}  // namespace capture
